// Security functions whose work is not built yet (access control templates): registered,
// logged, no effect.
#include "frame/not_built.h"
#include "secfuncs/functions.h"

namespace secfuncs {

int32_t metasecGetnact(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_GETNACT", r); }
int32_t metasecRemact(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_REMACT", r); }
int32_t metasecApplyact(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_APPLYACT", r); }
int32_t metasecSetacta(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_SETACTA", r); }
int32_t metasecGetacta(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_GETACTA", r); }
int32_t metasecGetnacta(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_GETNACTA", r); }
int32_t metasecNewact(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_NEWACT", r); }
int32_t metasecDelact(CallFrame*, double* r) { return frame::notBuiltNumeric("METASEC_DELACT", r); }

}  // namespace secfuncs
