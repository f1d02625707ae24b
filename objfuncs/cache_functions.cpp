// METADATA_PURGE([uri]): discards cached resolutions. Without an argument the whole connection
// goes (every resolution, the type namespace and the interface), so the next call starts afresh;
// with one it forgets that URI's resolution, or every resolution when the text is blank, and the
// connection stays. Failures are reported; the value is always 0.
#include "frame/call_frame.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"

namespace objfuncs {

int32_t metadataPurge(CallFrame* frame, double* result) {
  // No connection is obtained first: purging must not create the connection it is to drop.
  if (!frame::resetStatus()) return 0;
  HostSession* session = frame::currentSession();
  StatusCode status = kStatusOk;
  if (frame::argumentCount(frame) < 1) {
    status = mdaccess::dropConnection(session);
  } else {
    frame::TextArgument uri = frame::readCharacterInput(frame, 1);
    status = mdaccess::forgetObjectUri(session, uri.text, uri.length);
  }
  if (status != kStatusOk) frame::reportStatus(status);
  *result = 0;
  return 0;
}

}  // namespace objfuncs
