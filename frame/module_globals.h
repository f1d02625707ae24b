// Module globals of a package: set once by mcn_main before any callback runs, read afterwards.
// Each deliverable links its own copy, so objfuncs and secfuncs never share them.
#pragma once

#include "frame/host_abi.h"

namespace frame {

// Stores the host interface, the module token and the runtime table pointer, in that order.
void setModuleGlobals(HostInterface* host, void* moduleToken);

HostInterface* hostInterface();
void* moduleToken();
RuntimeTable* runtimeTable();

// The session of the executing call (the current task's session), or null without a task.
HostSession* currentSession();

}  // namespace frame
