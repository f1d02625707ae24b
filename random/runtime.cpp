// The runtime table binding: the single place the engine learns how to reach the host.
#include "random/engine.h"

namespace rng {
namespace {
RuntimeTable* gRuntime = nullptr;  // set once at module entry; read by every engine operation
}  // namespace

void bindRuntime(RuntimeTable* runtime) { gRuntime = runtime; }
RuntimeTable* boundRuntime() { return gRuntime; }

}  // namespace rng
