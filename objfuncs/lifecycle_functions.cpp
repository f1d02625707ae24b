// Creating and deleting objects: METADATA_NEWOBJ and METADATA_DELOBJ.
//
//   NEWOBJ(type, short uri out [, name [, repository [, related uri [, association]]]])
//       0 created, argument 2 holds the short object URI; -2 newObject failed (reported);
//       -9 no memory for the template (not reported); -1 no interface
//   DELOBJ(uri)
//       0 deleted; -2 deleteObject failed (reported); -3 the URI matches nothing; -1
//
// NEWOBJ seeds the resolution cache with a copy of the new object under the text it leaves in
// argument 2, so the URI it hands back resolves without asking the server, and drops the cached resolution
// of the related object, whose association the creation changes. DELOBJ drops the cached
// resolution of the URI text it was given once the object is gone.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"
#include "objfuncs/object_copy.h"
#include "objfuncs/object_frame.h"

namespace objfuncs {
namespace {

constexpr FrameRules kNewobjRules{0, false, 0};
constexpr FrameRules kDelobjRules{0, true, -3};

constexpr double kValueSuccess = 0;
constexpr double kValueOperationFailed = -2;
constexpr double kValueNoTemplate = -9;

frame::TextArgument optionalInput(CallFrame* frame, int argument) {
  if (frame::argumentCount(frame) < argument) return {nullptr, 0};
  return frame::readCharacterInput(frame, argument);
}

// Seeds the cache with `copy` under the text the caller's variable now holds: its text up to
// the length the call frame gives for it (the cache drops trailing blanks). That is the text the
// program will pass back, cut at the variable's capacity or shown only in part as it may be, and
// this session promises that it leads to the new object.
void seedCache(HostSession* session, const CharacterSlot* output, MetadataObject* copy) {
  const int64_t length =
      std::clamp<int64_t>(output->length, 0, std::max<int64_t>(output->capacity, 0));
  if (mdaccess::rememberObjectUri(session, output->text, static_cast<int32_t>(length), copy) !=
      kStatusOk) {
    releaseObjectList(copy);  // the cache did not take it
  }
}

}  // namespace

int32_t metadataNewobj(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kNewobjRules);
  if (!call.open()) return 0;
  MetadataInterface* md = call.interface();

  auto* created = static_cast<MetadataObject*>(poolAllocate(md, sizeof(MetadataObject)));
  if (created == nullptr) {
    call.setValue(kValueNoTemplate);
    return 0;
  }
  const frame::TextArgument type = frame::readCharacterInput(frame, 1);
  // The type is printed into the URI with a "%*s" field, which stops at a terminating zero, not
  // at the length: an argument's text carries neither, so the template gets a terminated copy
  // of the trimmed type. Without one there is no template.
  std::unique_ptr<char[]> typeText(new (std::nothrow) char[static_cast<size_t>(type.length) + 1]);
  if (typeText == nullptr) {
    poolFree(md, created);
    call.setValue(kValueNoTemplate);
    return 0;
  }
  if (type.length > 0) std::memcpy(typeText.get(), type.text, static_cast<size_t>(type.length));
  typeText[static_cast<size_t>(type.length)] = '\0';

  const frame::TextArgument repository = optionalInput(frame, 4);
  const frame::TextArgument related = optionalInput(frame, 5);
  const frame::TextArgument association = optionalInput(frame, 6);
  const frame::TextArgument name = optionalInput(frame, 3);
  // The template's texts belong to this call; only the block itself is the pool's.
  created->owner = md;
  created->operations = objectOperationTable(md);
  created->type = typeText.get();
  created->typeLength = type.length;
  created->name = const_cast<char*>(name.text);
  created->nameLength = name.length;

  StatusCode status = newObject(md, related.text, related.length, association.text,
                                association.length, repository.text, repository.length, created);
  if (status != kStatusOk) {
    frame::reportStatus(status);
    call.setValue(kValueOperationFailed);
    poolFree(md, created);  // nothing refers to the template after a refusal
    return 0;
  }

  if (related.length > 0) mdaccess::forgetObjectUri(call.session(), related.text, related.length);

  // The short URI goes into argument 2 blank-padded to its capacity, but its current length
  // stays what the caller's variable had: this function does not pad its output.
  CharacterSlot* output = frame::characterSlot(frame, 2);
  call.setValue(kValueSuccess);
  if (output == nullptr) {
    // An absent output receives nothing; with no URI text to key it, nothing is cached either.
    poolFree(md, created);
    return 0;
  }
  const int64_t givenLength = output->length;
  frame::formatCharacterOutput(output, kShortObjectUriFormat, created->typeLength, created->type,
                               created->identifierLength, created->identifier);
  output->length = givenLength;

  // Without a copy nothing is cached: an entry without objects would make the new URI match
  // nothing until the cache is purged.
  if (MetadataObject* copy = copyMetadataObject(md, created)) {
    seedCache(call.session(), output, copy);
  }
  poolFree(md, created);
  return 0;
}

int32_t metadataDelobj(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kDelobjRules);
  if (!call.open()) return 0;
  StatusCode status = deleteObject(call.interface(), call.objects());
  if (status != kStatusOk) {
    call.setValue(kValueOperationFailed);
    frame::reportStatus(status);
    return 0;
  }
  call.setValue(kValueSuccess);
  // A blank text would forget every resolution; it cannot have matched an object anyway.
  frame::TextArgument uri = frame::readCharacterInput(frame, 1);
  if (uri.length > 0) mdaccess::forgetObjectUri(call.session(), uri.text, uri.length);
  return 0;
}

}  // namespace objfuncs
