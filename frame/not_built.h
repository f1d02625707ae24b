// Functions whose work is not built yet are still registered, so that the host's tables are
// complete; their callbacks say so in the host log and deliver the missing value.
#pragma once

#include "frame/host_abi.h"

namespace frame {

// Logs "<NAME> is not built yet" through the host and stores the missing value. Returns 0.
int32_t notBuiltNumeric(const char* name, double* result);
// Character result: logs and leaves the result as the host gave it. Returns 0.
int32_t notBuiltCharacter(const char* name, CharacterSlot* result);
// No result: logs and returns 3, the outcome "not obtained".
int32_t notBuiltPlain(const char* name);

}  // namespace frame
