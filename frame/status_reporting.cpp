// Reset status and report status: the opening and the failure path of every function call.
#include "frame/status_reporting.h"

#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/package_context.h"

namespace frame {
namespace {

constexpr char kMessageVariable[] = "SYSMSG";
constexpr char kCodeVariable[] = "SYSRC";

// The scope is asked for anew before each macro-variable call: the host may hand out a different
// scope once a variable has been set, and the packages must not hold one across calls.
void setMessageVariable(HostInterface* host, HostSession* session, const StatusBlock* block) {
  HostMacroScope* scope = hostMacroScope(host, session);
  hostSetMacroText(host, scope, kMessageVariable, 6, block->message, block->length);
}

void setCodeVariable(HostInterface* host, HostSession* session, double value) {
  HostMacroScope* scope = hostMacroScope(host, session);
  hostSetMacroNumber(host, scope, kCodeVariable, 5, value);
}

}  // namespace

double statusCodeAsNumber(StatusCode code) {
  return static_cast<double>(static_cast<float>(static_cast<int32_t>(code)));
}

StatusBlock* locateStatusBlock(HostSession* session) {
  HostInterface* host = hostInterface();
  if (session == nullptr) {
    hostRaiseError(host, kHostErrorOutOfMemory);
    return nullptr;
  }
  PackageContext* context = packageContext(session);
  if (context == nullptr) {
    // The creation status is not reported: only an absent context matters here, and whatever
    // later step failed leaves a usable (partly filled) context behind.
    createPackageContext(session);
    context = packageContext(session);
    if (context == nullptr) {
      hostRaiseError(host, kHostErrorOutOfMemory);
      return nullptr;
    }
  }
  if (context->statusBlock == nullptr) {
    auto* block = static_cast<StatusBlock*>(hostAllocate(session->pool, sizeof(StatusBlock),
                                                         kTagGeneral));
    if (block == nullptr) {
      hostRaiseError(host, kHostErrorOutOfMemory);
      return nullptr;
    }
    context->statusBlock = block;
  }
  return context->statusBlock;
}

bool resetStatus() {
  HostInterface* host = hostInterface();
  HostSession* session = currentSession();
  StatusBlock* block = locateStatusBlock(session);
  if (block == nullptr) return false;
  block->length = 0;
  setMessageVariable(host, session, block);
  setCodeVariable(host, session, 0.0);
  hostLoadComponent(host);  // result deliberately not examined
  return true;
}

void reportStatus(StatusCode code) {
  HostInterface* host = hostInterface();
  HostSession* session = currentSession();
  StatusBlock* block = locateStatusBlock(session);
  if (block == nullptr) return;
  if (code == kStatusOk) {
    block->length = 0;
  } else {
    int32_t length = hostMessageText(host, session, block->message, code);
    // The host promises at most 512 bytes; a host that claims more must not make SYSMSG read
    // past the block.
    if (length < 0) length = 0;
    if (length > kStatusMessageCapacity) length = kStatusMessageCapacity;
    block->length = length;
  }
  setMessageVariable(host, session, block);
  setCodeVariable(host, session, statusCodeAsNumber(code));
}

}  // namespace frame
