// Module globals of a package: set once by mcn_main before any callback runs, read afterwards.
// Each deliverable links its own copy, so objfuncs and secfuncs never share them.
#pragma once

#include "frame/host_abi.h"

namespace frame {

// Stores the host interface, the module token and the runtime table pointer, in that order.
void setModuleGlobals(HostInterface* host, void* moduleToken);

// Read by every service call of every function: inlined. Hidden, so that each deliverable's
// copy is its own and is reached without the symbol table.
extern HostInterface* gHost __attribute__((visibility("hidden")));

inline HostInterface* hostInterface() { return gHost; }
void* moduleToken();
RuntimeTable* runtimeTable();

// The session of the executing call (the current task's session), or null without a task.
inline HostSession* currentSession() {
  HostTask* task = gHost != nullptr ? gHost->currentTask : nullptr;
  return task != nullptr ? task->session : nullptr;
}

}  // namespace frame
