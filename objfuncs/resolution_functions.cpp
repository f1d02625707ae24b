// Finding objects and reading server-wide facts: METADATA_RESOLVE, METADATA_GETNOBJ,
// METADATA_PATHOBJ, METADATA_GETNTYP, METADATA_VERSION and METADATA_PAUSED.
//
//   RESOLVE(uri, type out, id out)      count of matches; 0 none; -1 no interface
//   GETNOBJ(uri, n, short uri out)      count of matches; -4 bad n / none / out of range; -1
//   PATHOBJ(a, b, c, type out, id out)  count found; 0 none; -2 malformed, -3 unknown repository,
//                                       other failures the status itself (negative); -1
//   GETNTYP(n, name out)                count of type names; 0 no list; -4 bad n; -1
//   VERSION(), PAUSED()                 the server's answer unchanged; -1 no interface
//
// Listing by index stays linear over n = 1..N: the count and the last position walked to are
// kept with the cached list (see mdaccess::objectAt), and the answers are those of a plain walk.
#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"
#include "objfuncs/object_frame.h"

namespace objfuncs {
namespace {

constexpr FrameRules kResolveRules{0, true, 0};
constexpr FrameRules kGetnobjRules{2, true, -4};
constexpr FrameRules kGetntypRules{1, false, 0};
constexpr FrameRules kServerRules{0, false, 0};  // VERSION, PAUSED, PATHOBJ

constexpr StatusCode kPathMalformed = 0x80172131u;
constexpr StatusCode kPathUnknownRepository = 0x80172132u;

// Texts of an object may be absent (null with length 0); the outputs then get blanks.
const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

int32_t metadataResolve(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kResolveRules);
  if (!call.open()) return 0;
  MetadataObject* first = call.objects();
  frame::writeTextOutput(frame::characterSlot(frame, 2), textOrEmpty(first->type),
                         first->typeLength);
  frame::writeTextOutput(frame::characterSlot(frame, 3), first->identifier,
                         first->identifierLength);
  call.setValue(static_cast<double>(mdaccess::countObjects(call.entry(), first)));
  return 0;
}

int32_t metadataGetnobj(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kGetnobjRules);
  if (!call.open()) return 0;
  MetadataObject* object = mdaccess::objectAt(call.entry(), call.objects(), call.index());
  if (object == nullptr) {
    call.setValue(kValueInvalidIndex);
    return 0;
  }
  frame::writeFormattedOutput(frame::characterSlot(frame, 3), kShortObjectUriFormat,
                              object->typeLength, textOrEmpty(object->type),
                              object->identifierLength, object->identifier);
  call.setValue(static_cast<double>(mdaccess::countObjects(call.entry(), call.objects())));
  return 0;
}

int32_t metadataPathobj(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kServerRules);
  if (!call.open()) return 0;
  frame::TextArgument repository = frame::readCharacterInput(frame, 1);
  frame::TextArgument path = frame::readCharacterInput(frame, 2);
  frame::TextArgument type = frame::readCharacterInput(frame, 3);
  MetadataObject* found = nullptr;
  StatusCode status = findByPath(call.interface(), repository.text, repository.length, path.text,
                                 path.length, type.text, type.length, &found);
  if (status != kStatusOk) {
    frame::reportStatus(status);
    if (status == kPathMalformed) {
      call.setValue(-2);
    } else if (status == kPathUnknownRepository) {
      call.setValue(-3);
    } else {
      call.setValue(static_cast<double>(static_cast<int32_t>(status)));
    }
    // A list that came back with the failure is nobody else's to release.
    if (found != nullptr) freeObjectList(call.interface(), found);
    return 0;
  }
  if (found == nullptr) {
    call.setValue(0);
    return 0;
  }
  // These two outputs keep the length of the value copied (no padding).
  frame::writeCharacterOutput(frame::characterSlot(frame, 4), textOrEmpty(found->type),
                              found->typeLength);
  frame::writeCharacterOutput(frame::characterSlot(frame, 5), found->identifier,
                              found->identifierLength);
  call.setValue(static_cast<double>(mdaccess::countObjects(nullptr, found)));
  freeObjectList(call.interface(), found);
  return 0;
}

int32_t metadataGetntyp(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kGetntypRules);
  if (!call.open()) return 0;
  mdaccess::TypeNamespace types = mdaccess::typeNamespace(call.session());
  if (types.status != kStatusOk) frame::reportStatus(types.status);
  NameNode* names = types.typeNamespace != nullptr ? types.typeNamespace->typeNames : nullptr;
  if (names == nullptr) {
    call.setValue(0);
    return 0;
  }
  NameNode* name = mdaccess::typeNameAt(types.record, names, call.index());
  if (name == nullptr) {
    call.setValue(kValueInvalidIndex);
    return 0;
  }
  frame::writeFormattedOutput(frame::characterSlot(frame, 2), kPlainNameFormat, name->nameLength,
                              textOrEmpty(name->name));
  call.setValue(static_cast<double>(mdaccess::countTypeNames(types.record, names)));
  return 0;
}

int32_t metadataVersion(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kServerRules);
  if (!call.open()) return 0;
  call.setValue(serverVersion(call.interface()));
  return 0;
}

int32_t metadataPaused(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kServerRules);
  if (!call.open()) return 0;
  call.setValue(static_cast<double>(isPaused(call.interface())));
  return 0;
}

}  // namespace objfuncs
