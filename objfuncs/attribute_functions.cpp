// Reading and changing the attributes and properties of one object: METADATA_GETATTR,
// METADATA_SETATTR, METADATA_GETNATR, METADATA_GETPROP, METADATA_SETPROP and METADATA_GETNPRP.
// Each works on the first object that argument 1 resolves to; -3 when it resolves to nothing,
// -1 when there is no metadata client interface.
//
//   GETATTR(uri, name, value out)             0 written; -2 no such attribute (output unchanged)
//   SETATTR(uri, name, value)                 0 stored; -2 setAttribute failed (reported)
//   GETNATR(uri, n, name out, value out)      count; -3 no attribute list; -4 bad n / out of range
//   GETPROP(uri, name, value out [, uri out]) 0 written; -2 no such property (outputs unchanged)
//   SETPROP(uri, name, value [, uri out])     0 changed; 1 created; -2 change failed (reported);
//                                             -4 creation failed (reported); -9 no memory
//   GETNPRP(uri, n, name out, value out)      count; -2 no property list; -4 bad n / out of range
//
// SETPROP drops the cached resolution of argument 1 after a change, since the cached object's
// property record no longer says what the server holds; SETATTR leaves the cache alone.
#include <algorithm>
#include <cstring>

#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"
#include "objfuncs/object_frame.h"

namespace objfuncs {
namespace {

constexpr FrameRules kObjectRules{0, true, -3};
constexpr FrameRules kListingRules{2, true, -3};

constexpr double kValueDone = 0;
constexpr double kValueCreated = 1;
constexpr double kValueMissing = -2;
constexpr double kValueChangeFailed = -2;
constexpr double kValueNoAttributeList = -3;
constexpr double kValueNoPropertyList = -2;
constexpr double kValueCreateFailed = -4;
constexpr double kValueNoMemory = -9;

const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

bool hasPropertyUriOutput(CallFrame* frame) { return frame::argumentCount(frame) >= 4; }

// The property URI of a record, written into argument 4. The identifier is copied and terminated
// here, so the "%*s" field prints exactly its length whatever the record holds after it.
void writePropertyUri(CallFrame* frame, const PropertyRecord* record) {
  char identifier[kIdentifierCapacity + 1] = {};
  const int32_t length = std::clamp(record->identifierLength, 0, kIdentifierCapacity);
  std::memcpy(identifier, record->identifier, static_cast<size_t>(length));
  frame::writeFormattedOutput(frame::characterSlot(frame, 4), kPropertyUriFormat, length,
                              identifier);
}

// Drops the cached resolution of argument 1. A blank text would forget every resolution, and
// cannot have resolved to the object anyway.
void forgetArgumentUri(ObjectCall& call, CallFrame* frame) {
  const frame::TextArgument uri = frame::readCharacterInput(frame, 1);
  if (uri.length > 0) mdaccess::forgetObjectUri(call.session(), uri.text, uri.length);
}

// The two listing functions differ only in the list they ask for and their value without one.
template <typename ListOperation>
int32_t listNamedValues(CallFrame* frame, double* result, ListOperation listOperation,
                        double valueWithoutList) {
  ObjectCall call(frame, result, kListingRules);
  if (!call.open()) return 0;
  NameValueNode* list = nullptr;
  const StatusCode status = listOperation(call.objects(), &list);
  if (status != kStatusOk) frame::reportStatus(status);
  if (list == nullptr) {
    call.setValue(valueWithoutList);
    return 0;
  }
  NameValueNode* node = mdaccess::listedAt(call.entry(), list, call.index());
  if (node == nullptr) {
    call.setValue(kValueInvalidIndex);
    return 0;
  }
  frame::writeTextOutput(frame::characterSlot(frame, 3), textOrEmpty(node->name), node->nameLength);
  frame::writeTextOutput(frame::characterSlot(frame, 4), textOrEmpty(node->value),
                         node->valueLength);
  call.setValue(static_cast<double>(mdaccess::countListed(call.entry(), list)));
  return 0;
}

// SETPROP on a property the object has: the record is the object's, changed in place.
void changeProperty(ObjectCall& call, CallFrame* frame, PropertyRecord* record,
                    frame::TextArgument value) {
  MetadataInterface* md = call.interface();
  poolFree(md, record->value);
  auto* block = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(value.length) + 1));
  if (block == nullptr) {
    // The old value is gone already: the record must not keep pointing at it, and the cached
    // object no longer says what the server holds, so the next call asks the server again.
    record->value = nullptr;
    record->valueLength = 0;
    call.setValue(kValueNoMemory);
    forgetArgumentUri(call, frame);
    return;
  }
  if (value.length > 0) std::memcpy(block, value.text, static_cast<size_t>(value.length));
  record->value = block;
  record->valueLength = value.length;
  record->changeFlags = kPropertyValueChanged;
  const StatusCode status = setProperty(call.objects(), record);
  if (hasPropertyUriOutput(frame)) writePropertyUri(frame, record);
  if (status != kStatusOk) {
    call.setValue(kValueChangeFailed);
    frame::reportStatus(status);
    return;
  }
  forgetArgumentUri(call, frame);
  call.setValue(kValueDone);
}

// SETPROP on a property the object lacks: a new record built here; its texts are the arguments.
void createProperty(ObjectCall& call, CallFrame* frame, frame::TextArgument name,
                    frame::TextArgument value) {
  PropertyRecord record{};
  record.name = const_cast<char*>(name.text);
  record.nameLength = name.length;
  record.value = const_cast<char*>(value.text);
  record.valueLength = value.length;
  record.changeFlags = kPropertyNew;
  record.typeCode = kPropertyTypeCode;
  StatusCode status = setProperty(call.objects(), &record);
  if (status == kStatusOk && hasPropertyUriOutput(frame)) {
    PropertyRecord* created = nullptr;
    status = getProperty(call.objects(), name.text, name.length, &created);
    if (status == kStatusOk && created != nullptr) writePropertyUri(frame, created);
  }
  if (status != kStatusOk) {
    call.setValue(kValueCreateFailed);
    frame::reportStatus(status);
    return;
  }
  forgetArgumentUri(call, frame);
  call.setValue(kValueCreated);
}

}  // namespace

int32_t metadataGetattr(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  ValueText* value = nullptr;
  const StatusCode status = getAttribute(call.objects(), name.text, name.length, &value);
  if (status != kStatusOk) frame::reportStatus(status);
  if (value == nullptr) {
    call.setValue(kValueMissing);
    return 0;
  }
  frame::writeTextOutput(frame::characterSlot(frame, 3), textOrEmpty(value->text), value->length);
  call.setValue(kValueDone);
  return 0;
}

int32_t metadataSetattr(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  const frame::TextArgument value = frame::readCharacterInput(frame, 3);
  AttributeRecord record{};
  record.name = name.text;
  record.nameLength = name.length;
  record.value = value.text;
  record.valueLength = value.length;
  record.changeFlags = 1;
  const StatusCode status = setAttribute(call.objects(), &record);
  // The object's attribute list is handed out anew after a change; start its walk afresh.
  mdaccess::forgetListCursor(call.entry());
  if (status != kStatusOk) {
    call.setValue(kValueChangeFailed);
    frame::reportStatus(status);
    return 0;
  }
  call.setValue(kValueDone);
  return 0;
}

int32_t metadataGetnatr(CallFrame* frame, double* result) {
  return listNamedValues(frame, result, &listAttributes, kValueNoAttributeList);
}

int32_t metadataGetnprp(CallFrame* frame, double* result) {
  return listNamedValues(frame, result, &listProperties, kValueNoPropertyList);
}

int32_t metadataGetprop(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  PropertyRecord* record = nullptr;
  const StatusCode status = getProperty(call.objects(), name.text, name.length, &record);
  if (status != kStatusOk) frame::reportStatus(status);
  if (record == nullptr) {
    call.setValue(kValueMissing);
    return 0;
  }
  frame::writeTextOutput(frame::characterSlot(frame, 3), textOrEmpty(record->value),
                         record->valueLength);
  if (hasPropertyUriOutput(frame)) writePropertyUri(frame, record);
  call.setValue(kValueDone);
  return 0;
}

int32_t metadataSetprop(CallFrame* frame, double* result) {
  ObjectCall call(frame, result, kObjectRules);
  if (!call.open()) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 2);
  const frame::TextArgument value = frame::readCharacterInput(frame, 3);
  PropertyRecord* record = nullptr;
  // Only whether a record came back decides the path; the status is not looked at.
  (void)getProperty(call.objects(), name.text, name.length, &record);
  mdaccess::forgetListCursor(call.entry());
  if (record != nullptr) {
    changeProperty(call, frame, record, value);
  } else {
    createProperty(call, frame, name, value);
  }
  return 0;
}

}  // namespace objfuncs
