// The callbacks of objfuncs, one per registered function (METADATA_GETNASS and METADATA_GETNASN
// share one). Each is a thin adapter over the object function frame; the registration table
// lists them in registration order.
#pragma once

#include "frame/host_abi.h"

namespace objfuncs {

int32_t metadataResolve(CallFrame* frame, double* result);
int32_t metadataGetattr(CallFrame* frame, double* result);
int32_t metadataSetattr(CallFrame* frame, double* result);
int32_t metadataGetprop(CallFrame* frame, double* result);
int32_t metadataSetprop(CallFrame* frame, double* result);
int32_t metadataDelobj(CallFrame* frame, double* result);
int32_t metadataGetnprp(CallFrame* frame, double* result);
int32_t metadataGetnatr(CallFrame* frame, double* result);
int32_t metadataGetnass(CallFrame* frame, double* result);  // also METADATA_GETNASN
int32_t metadataGetnobj(CallFrame* frame, double* result);
int32_t metadataSetassn(CallFrame* frame, double* result);
int32_t metadataNewobj(CallFrame* frame, double* result);
int32_t metadataPurge(CallFrame* frame, double* result);
int32_t metadataGetnasl(CallFrame* frame, double* result);
int32_t metadataGetntyp(CallFrame* frame, double* result);
int32_t metadataVersion(CallFrame* frame, double* result);
int32_t metadataPaused(CallFrame* frame, double* result);
int32_t metadataDelassn(CallFrame* frame, double* result);
int32_t metadataPathobj(CallFrame* frame, double* result);
int32_t metadataAppprop(CallFrame* frame, CharacterSlot* result);
int32_t metadataGeturi(CallFrame* frame, double* result);
int32_t metadataPassid(CallFrame* frame);

}  // namespace objfuncs
