// Object functions whose work is not built yet: registered, logged, no effect.
#include "frame/not_built.h"
#include "objfuncs/functions.h"

namespace objfuncs {

int32_t metadataGetattr(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETATTR", r); }
int32_t metadataSetattr(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_SETATTR", r); }
int32_t metadataGetprop(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETPROP", r); }
int32_t metadataSetprop(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_SETPROP", r); }
int32_t metadataGetnprp(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETNPRP", r); }
int32_t metadataGetnatr(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETNATR", r); }
int32_t metadataGetnass(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETNASS", r); }
int32_t metadataSetassn(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_SETASSN", r); }
int32_t metadataGetnasl(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_GETNASL", r); }
int32_t metadataDelassn(CallFrame*, double* r) { return frame::notBuiltNumeric("METADATA_DELASSN", r); }

}  // namespace objfuncs
