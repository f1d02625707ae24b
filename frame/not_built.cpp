#include "frame/not_built.h"

#include <cstring>

#include "frame/host_services.h"
#include "frame/module_globals.h"

namespace frame {
namespace {
void logNotBuilt(const char* name) {
  hostLogLine(hostInterface(), "NOTE: Function %s is not built yet; it did nothing.", name);
}
}  // namespace

int32_t notBuiltNumeric(const char* name, double* result) {
  logNotBuilt(name);
  std::memcpy(result, &kMissingValueBits, sizeof(double));
  return 0;
}

int32_t notBuiltCharacter(const char* name, CharacterSlot* result) {
  logNotBuilt(name);
  return 0;
}

int32_t notBuiltPlain(const char* name) {
  logNotBuilt(name);
  return 3;
}

}  // namespace frame
