// The named links of one object: METADATA_GETNASL, METADATA_GETNASS (also registered as
// METADATA_GETNASN), METADATA_SETASSN and METADATA_DELASSN. Each works on the first object that
// argument 1 resolves to; -3 when it resolves to nothing, -1 without a metadata client interface.
//
//   GETNASS(uri, name, n, short uri out)   count; -4 bad n, no objects, or n beyond the count
//   GETNASL(uri, n, name out)              count; 0 no associations; -4 bad n / beyond the count
//   SETASSN(uri, name, kind, target, ...)  0 changed; -4 setAssociation failed (reported);
//                                          -5 kind unknown; -6 no target resolved;
//                                          -9 no memory for a target copy (0x80000803 reported)
//   DELASSN(uri, name)                     0 deleted; -2 deleteAssociation failed (reported)
//
// SETASSN hands the interface a list of its own: one copy per target that resolves, in argument
// order, released through freeObjectList before the call returns. DELASSN drops the cached
// resolution of argument 1 after success; SETASSN leaves the cache alone.
#include <cstdint>

#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"
#include "objfuncs/object_copy.h"
#include "objfuncs/object_frame.h"

namespace objfuncs {
namespace {

constexpr FrameRules kGetnassRules{3, true, -3};
constexpr FrameRules kGetnaslRules{2, true, -3};
constexpr FrameRules kObjectRules{0, true, -3};

constexpr double kValueDone = 0;
constexpr double kValueNoAssociations = 0;
constexpr double kValueDeleteFailed = -2;
constexpr double kValueSetFailed = -4;
constexpr double kValueUnknownKind = -5;
constexpr double kValueNoTargets = -6;
// A target copy could not be allocated. The same value as the other functions' "no memory"
// (METADATA_SETPROP, METADATA_NEWOBJ), and none that a completed call can give.
constexpr double kValueNoMemory = -9;

constexpr int kFirstTargetArgument = 4;

const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The modification kinds in the order they are tried, with the flag setAssociation receives.
struct ModificationKind {
  const char* word;
  int32_t length;
  int32_t flag;
};
constexpr ModificationKind kModificationKinds[] = {
    {"Remove", 6, kAssociationRemove}, {"Merge", 5, kAssociationMerge},
    {"Append", 6, kAssociationAppend}, {"Modify", 6, kAssociationModify},
    {"Replace", 7, kAssociationReplace},
};

const ModificationKind* modificationKind(frame::TextArgument word) {
  for (const ModificationKind& kind : kModificationKinds) {
    if (frame::equalTexts(word.text, word.length, kind.word, kind.length)) return &kind;
  }
  return nullptr;
}

// The target list of SETASSN, chained in argument order. Whatever it holds when it goes out of
// scope goes back through freeObjectList.
class TargetList {
 public:
  explicit TargetList(MetadataInterface* md) : md_(md) {}
  ~TargetList() {
    if (head_ != nullptr) freeObjectList(md_, head_);
  }
  TargetList(const TargetList&) = delete;
  TargetList& operator=(const TargetList&) = delete;

  void append(MetadataObject* copy) {
    copy->previous = tail_;
    if (tail_ != nullptr) {
      tail_->next = copy;
    } else {
      head_ = copy;
    }
    tail_ = copy;
  }
  MetadataObject* head() const { return head_; }

 private:
  MetadataInterface* md_;
  MetadataObject* head_ = nullptr;
  MetadataObject* tail_ = nullptr;
};

// Resolves argument i and appends a copy of its first object. False only when the copy could
// not be allocated; a target that resolves to nothing adds nothing.
bool addTarget(ObjectCall& call, CallFrame* frame, int argument, TargetList& targets) {
  const frame::TextArgument uri = frame::readCharacterInput(frame, argument);
  mdaccess::Resolution resolution = mdaccess::resolveObjectUri(call.session(), uri.text, uri.length);
  // Targets report every failure, no match included: it is the only sign that one was skipped.
  if (resolution.status != kStatusOk) frame::reportStatus(resolution.status);
  bool copied = true;
  if (resolution.objects != nullptr) {
    MetadataObject* copy = copyMetadataObject(call.interface(), resolution.objects);
    if (copy != nullptr) {
      targets.append(copy);
    } else {
      copied = false;
    }
  }
  if (resolution.callerOwnsList && resolution.objects != nullptr) {
    releaseObjectList(resolution.objects);
  }
  if (resolution.interfaceToRelease != nullptr) releaseInterface(resolution.interfaceToRelease);
  return copied;
}

}  // namespace

int32_t metadataGetnass(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kGetnassRules);
  if (!call.open()) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  MetadataObject* list = nullptr;
  const StatusCode status = getAssociation(call.objects(), name.text, name.length, &list);
  if (status != kStatusOk) frame::reportStatus(status);
  MetadataObject* object = mdaccess::listedAt(call.entry(), list, call.index());
  if (object == nullptr) {
    call.setValue(kValueInvalidIndex);
    return 0;
  }
  frame::writeFormattedOutput(frame::characterSlot(frame, 4), kShortObjectUriFormat,
                              object->typeLength, textOrEmpty(object->type),
                              object->identifierLength, object->identifier);
  call.setValue(static_cast<double>(mdaccess::countListed(call.entry(), list)));
  return 0;
}

int32_t metadataGetnasl(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kGetnaslRules);
  if (!call.open()) return 0;
  NameNode* names = nullptr;
  const StatusCode status = listAssociationNames(call.objects(), &names);
  if (status != kStatusOk) frame::reportStatus(status);
  if (names == nullptr) {
    call.setValue(kValueNoAssociations);
    return 0;
  }
  NameNode* name = mdaccess::listedAt(call.entry(), names, call.index());
  if (name == nullptr) {
    call.setValue(kValueInvalidIndex);
    return 0;
  }
  frame::writeFormattedOutput(frame::characterSlot(frame, 3), kPlainNameFormat, name->nameLength,
                              textOrEmpty(name->name));
  call.setValue(static_cast<double>(mdaccess::countListed(call.entry(), names)));
  return 0;
}

int32_t metadataSetassn(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const int32_t count = frame::argumentCount(frame);
  if (count < kFirstTargetArgument) {
    call.setValue(kValueNoTargets);
    return 0;
  }
  TargetList targets(call.interface());
  for (int argument = kFirstTargetArgument; argument <= count; ++argument) {
    if (!addTarget(call, frame, argument, targets)) {
      frame::reportStatus(kStatusNoMemory);
      call.setValue(kValueNoMemory);
      return 0;
    }
  }
  if (targets.head() == nullptr) {
    call.setValue(kValueNoTargets);
    return 0;
  }
  const ModificationKind* kind = modificationKind(frame::readCharacterInput(frame, 3));
  if (kind == nullptr) {
    call.setValue(kValueUnknownKind);
    return 0;
  }
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  const StatusCode status =
      setAssociation(call.objects(), name.text, name.length, kind->flag, targets.head());
  // The association lists of the subject are handed out anew after a change.
  mdaccess::forgetListCursor(call.entry());
  if (status != kStatusOk) {
    frame::reportStatus(status);
    call.setValue(kValueSetFailed);
    return 0;
  }
  call.setValue(kValueDone);
  return 0;
}

int32_t metadataDelassn(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const MetadataObject* object = call.objects();
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  const StatusCode status =
      deleteAssociation(call.interface(), object->identifier, object->identifierLength,
                        object->type, object->typeLength, name.text, name.length);
  if (status != kStatusOk) {
    call.setValue(kValueDeleteFailed);
    frame::reportStatus(status);
    return 0;
  }
  call.setValue(kValueDone);
  const frame::TextArgument uri = frame::readCharacterInput(frame, 1);
  // A blank text would forget every resolution; it cannot have matched an object anyway.
  if (uri.length > 0) mdaccess::forgetObjectUri(call.session(), uri.text, uri.length);
  return 0;
}

}  // namespace objfuncs
