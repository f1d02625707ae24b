// The callbacks of secfuncs, one per registered function, in registration order.
#pragma once

#include "frame/host_abi.h"

namespace secfuncs {

int32_t metasecGetnid(CallFrame* frame, double* result);
int32_t metasecGetnact(CallFrame* frame, double* result);
int32_t metasecGetnauth(CallFrame* frame, double* result);
int32_t metasecSetauth(CallFrame* frame, double* result);
int32_t metasecRemact(CallFrame* frame, double* result);
int32_t metasecApplyact(CallFrame* frame, double* result);
int32_t metasecSetacta(CallFrame* frame, double* result);
int32_t metasecGetacta(CallFrame* frame, double* result);
int32_t metasecGetnacta(CallFrame* frame, double* result);
int32_t metasecNewact(CallFrame* frame, double* result);
int32_t metasecDelact(CallFrame* frame, double* result);
int32_t metasecLdump(CallFrame* frame, double* result);
int32_t metasecBegtran(CallFrame* frame, double* result);
int32_t metasecEndtran(CallFrame* frame, double* result);

}  // namespace secfuncs
