// The runtime table binding: the single place the engine learns how to reach the host.
#include "random/engine.h"
#include "random/text16.h"

namespace rng {
namespace {
RuntimeTable* gRuntime = nullptr;  // set once at module entry; read by every engine operation
}  // namespace

void bindRuntime(RuntimeTable* runtime) { gRuntime = runtime; }
RuntimeTable* boundRuntime() { return gRuntime; }

char16_t upperCase16(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c < 128) return c;
  // The case service is a later addition to the table: only a table that is large enough has it.
  if (gRuntime != nullptr && gRuntime->structureSize >= sizeof(RuntimeTable) &&
      gRuntime->upperCase16 != nullptr)
    return gRuntime->upperCase16(c);
  return c;
}

}  // namespace rng
