// Object functions whose work is not built yet: registered, logged, no effect.
#include "frame/not_built.h"
#include "objfuncs/functions.h"

namespace objfuncs {

int32_t metadataAppprop(CallFrame*, CharacterSlot* r) { return frame::notBuiltCharacter("METADATA_APPPROP", r); }
int32_t metadataGeturi(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETURI", r); }
int32_t metadataPassid(CallFrame*) { return frame::notBuiltPlain("METADATA_PASSID"); }

}  // namespace objfuncs
