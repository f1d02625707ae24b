// Attributes of access control templates: METASEC_GETNACTA, METASEC_GETACTA, METASEC_SETACTA.
//
//   GETNACTA(transaction, template, n, name out, value out)
//       n found; -4 bad n; -1 no interface (reported); -99 the listing failed (reported) or the
//       template has no attributes; -5 no n-th attribute.
//   GETACTA(transaction, template, name, value out)
//       0 found (names compare as the host compares names); -1; -99 the listing failed
//       (reported) or no attribute of that name.
//   SETACTA(transaction, template, name, value)
//       0; -1; the server's status (reported). Setting Name renames the template.
// Attribute lists are given back to the server before the function returns, on every path.
#include <cstring>

#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "secfuncs/functions.h"
#include "secfuncs/security_call.h"

namespace secfuncs {
namespace {

constexpr OpeningRules kGetnactaRules{3, NotStartedAt::kAfterConnection, true};
constexpr OpeningRules kAttributeRules{0, NotStartedAt::kAfterConnection, true};

// The template's attribute list, released when the function returns.
class AttributeList {
 public:
  explicit AttributeList(MetadataInterface* md) : md_(md) {}
  ~AttributeList() {
    if (listed_) releaseAttributeList(md_, head_);
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;

  // Lists the attributes of the template argument 2 names, in the call's transaction; a
  // refusal is reported and leaves the function's value as it stands.
  bool listTemplateOf(SecurityCall& call, CallFrame* frame) {
    const frame::TextArgument reference = frame::readCharacterInput(frame, 2);
    const StatusCode status = listActAttributes(md_, call.transaction(), reference.text,
                                                reference.length, &head_);
    listed_ = status == kStatusOk;
    if (!listed_) frame::reportStatus(status);
    return listed_;
  }
  AttributeEntry* head() const { return head_; }

 private:
  MetadataInterface* md_;
  AttributeEntry* head_ = nullptr;
  bool listed_ = false;
};

}  // namespace

int32_t metasecGetnacta(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kGetnactaRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  AttributeList attributes(call.interface());
  if (!attributes.listTemplateOf(call, frame)) return 0;
  if (attributes.head() == nullptr) return 0;  // -99 stays
  const int32_t n = call.validatedInteger();
  AttributeEntry* entry = nthEntry(attributes.head(), n);
  if (entry == nullptr) {
    call.setValue(kValueNotFound);
    return 0;
  }
  copyToOutput(frame::characterSlot(frame, 4), entry->name, entry->name ? entry->nameLength : 0);
  copyToOutput(frame::characterSlot(frame, 5), entry->value, entry->value ? entry->valueLength : 0);
  call.setValue(positionAsValue(n));
  return 0;
}

int32_t metasecGetacta(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kAttributeRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  AttributeList attributes(call.interface());
  if (!attributes.listTemplateOf(call, frame)) return 0;
  const frame::TextArgument name = frame::readCharacterInput(frame, 3);
  for (AttributeEntry* entry = attributes.head(); entry != nullptr; entry = entry->next) {
    if (!frame::equalTexts(entry->name, entry->nameLength, name.text, name.length)) continue;
    copyToOutput(frame::characterSlot(frame, 4), entry->value,
                 entry->value ? entry->valueLength : 0);
    call.setValue(kValueSuccess);
    break;
  }
  return 0;
}

int32_t metasecSetacta(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kAttributeRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  // The arguments' own buffers, with their trimmed lengths.
  AttributeEntry entry;
  std::memset(&entry, 0, sizeof entry);
  const frame::TextArgument name = frame::readCharacterInput(frame, 3);
  const frame::TextArgument value = frame::readCharacterInput(frame, 4);
  entry.name = const_cast<char*>(name.text);
  entry.nameLength = name.length;
  entry.value = const_cast<char*>(value.text);
  entry.valueLength = value.length;
  const frame::TextArgument reference = frame::readCharacterInput(frame, 2);
  const StatusCode status =
      setActAttribute(call.interface(), call.transaction(), reference.text, reference.length, &entry);
  if (status != kStatusOk) {
    call.setValue(statusAsValue(status));
    frame::reportStatus(status);
    return 0;
  }
  call.setValue(kValueSuccess);
  return 0;
}

}  // namespace secfuncs
