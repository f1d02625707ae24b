// The frame of every served operation: count the call, apply an injected fault, run the body,
// record what enforcement decided for the audit trail.
#pragma once

#include <string>

#include "mdserver/interface/client_interface.h"

namespace mdserver {

// Runs body unless a fault without result applies; the fault's status wins when one applies.
// The principal's memberships and kept decisions are brought up to date first.
template <typename Body>
StatusCode dispatch(ClientInterface* ci, const char* operation, Body&& body) {
  const InjectedFault* fault = ci->enter(operation);
  if (fault && !fault->withResult) {
    return ci->fail(fault->status, std::string("injected fault in ") + operation);
  }
  // Every operation is decided on the state committed when it runs, the change count read once.
  struct Operation {
    ClientInterface* ci;
    explicit Operation(ClientInterface* c) : ci(c) { ci->beginOperation(); }
    ~Operation() { ci->endOperation(); }
  } running(ci);
  ci->refreshSecurityState();
  StatusCode status = body();
  if (fault) status = ci->fail(fault->status, std::string("injected fault in ") + operation);
  // What enforcement decided on the way, with how the operation ended (client_interface.h).
  ci->recordAudit(operation, status);
  return status;
}

}  // namespace mdserver
