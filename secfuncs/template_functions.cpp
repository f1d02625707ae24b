// Access control templates: METASEC_GETNACT, METASEC_NEWACT, METASEC_DELACT, METASEC_APPLYACT,
// METASEC_REMACT.
//
//   GETNACT(transaction, repository or "REPOSID:<identifier>", n, text1 out, text2 out,
//           text3 out [, flags])
//       n found; -4 bad n; -1 no interface (reported); -3 repository text not resolved
//       (reported); -2 listing failed (passed to the host and reported); -5 no list or no n-th
//       entry. The identifier form goes to the server whole, prefix included; the prefix is
//       recognised in any letter case and only with its colon. The list is the server's.
//   NEWACT(transaction, repository, name1, value1 [, name2, value2 ...])
//       0; -1 no interface (reported); -2 odd argument count (0x8017210D, nothing sent);
//       -2147481597 a pool allocation failed (0x80000803, nothing sent); -99 the server refused
//       (reported). Names and values go to the server as trimmed copies.
//   DELACT(transaction, template)
//       0; -1; -2 the server refused (reported); -2147481597 the reference could not be copied.
//   APPLYACT(transaction, repository, template [, flags]), REMACT(same, three or four)
//       0; -1; -3 repository text not resolved (reported); the server's status (reported);
//       -2147481597 the reference could not be copied. A blank repository applies to (removes
//       from) the default repository; a repository or object URI to that one. APPLYACT with two
//       arguments names no template: -2 and 0x8017210E reported, nothing sent.
// The reference copy of DELACT, APPLYACT and REMACT is freed on every path.
#include <cstring>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"
#include "secfuncs/functions.h"
#include "secfuncs/security_call.h"

namespace secfuncs {
namespace {

constexpr OpeningRules kGetnactRules{3, NotStartedAt::kNever, true};
constexpr OpeningRules kNewactRules{0, NotStartedAt::kFirst, true};
constexpr OpeningRules kDelactRules{0, NotStartedAt::kNever, true};
constexpr OpeningRules kApplyRules{0, NotStartedAt::kNever, true};

constexpr StatusCode kOddAttributeCount = 0x8017210Du;
constexpr StatusCode kNoTemplateReference = 0x8017210Eu;
constexpr char kIdentifierPrefix[] = "REPOSID:";
constexpr int32_t kPrefixLength = 8;

void copyPair(CharacterSlot* slot, const TextPair& pair) {
  copyToOutput(slot, pair.text, pair.text == nullptr ? 0 : pair.length);
}

// A pool copy of a trimmed argument text, one byte longer (zero-filled by the pool). Null when
// the pool is exhausted.
char* poolCopy(MetadataInterface* md, const frame::TextArgument& text) {
  auto* copy = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(text.length) + 1));
  if (copy != nullptr && text.length > 0) {
    std::memcpy(copy, text.text, static_cast<size_t>(text.length));
  }
  return copy;
}

// The zero-filled reference record of DELACT, APPLYACT and REMACT; frees its copy on every path.
class ReferenceRecord {
 public:
  explicit ReferenceRecord(MetadataInterface* md) : md_(md) {
    std::memset(&record_, 0, sizeof record_);
  }
  ~ReferenceRecord() {
    if (record_.text != nullptr) poolFree(md_, record_.text);
  }
  ReferenceRecord(const ReferenceRecord&) = delete;
  ReferenceRecord& operator=(const ReferenceRecord&) = delete;

  bool copy(const frame::TextArgument& text) {
    record_.text = poolCopy(md_, text);
    record_.length = text.length;
    return record_.text != nullptr;
  }
  ActReference* get() { return &record_; }

 private:
  MetadataInterface* md_;
  ActReference record_;
};

void reportNoMemory(SecurityCall& call) {
  frame::reportStatus(kStatusNoMemory);
  call.setValue(statusAsValue(kStatusNoMemory));
}

int32_t applyOrRemove(CallFrame* frame, double* result, bool apply) {
  SecurityOpening opening(frame, result, kApplyRules);
  const int32_t count = frame::argumentCount(frame);
  const int32_t flags = count == 4 ? flagsArgument(frame, 4) : 0;
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  if (count < 3) {
    // No template reference to apply: say so instead of reading an argument that is not there.
    frame::reportStatus(kNoTemplateReference);
    call.setValue(kValueRequestFailed);
    return 0;
  }
  ReferenceRecord reference(call.interface());
  if (!reference.copy(frame::readCharacterInput(frame, 3))) {
    reportNoMemory(call);
    return 0;
  }
  if (!call.chooseRoute(2)) return 0;
  StatusCode status;
  if (call.defaultRoute()) {
    status = apply ? applyAct(call.interface(), call.transaction(), flags, reference.get())
                   : removeAct(call.interface(), call.transaction(), flags, reference.get());
  } else {
    status = apply ? repoApplyAct(call.repository(), call.transaction(), flags, reference.get())
                   : repoRemoveAct(call.repository(), call.transaction(), flags, reference.get());
  }
  if (status != kStatusOk) {
    frame::reportStatus(status);
    call.setValue(statusAsValue(status));
    return 0;
  }
  call.setValue(kValueSuccess);
  return 0;
}

}  // namespace

int32_t metasecGetnact(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kGetnactRules);
  if (!opening.validate()) return 0;
  const int32_t flags = frame::argumentCount(frame) == 7 ? flagsArgument(frame, 7) : 0;
  if (!opening.connect()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);

  const frame::TextArgument text = frame::readCharacterInput(frame, 2);
  const int32_t k = text.length < kPrefixLength ? text.length : kPrefixLength;
  const bool identifier =
      k == kPrefixLength && frame::equalTexts(kIdentifierPrefix, kPrefixLength, text.text, k);
  ActEntry* list = nullptr;
  StatusCode status;
  if (identifier) {
    status = listActsById(call.interface(), call.transaction(), text.text, text.length, flags,
                          &list);
  } else {
    if (!call.chooseRoute(2, kValueResolveFailed, /*blankIsDefault=*/false)) return 0;
    status = repoListActs(call.repository(), call.transaction(), flags, &list);
  }
  if (status != kStatusOk) {
    call.setValue(kValueRequestFailed);
    passStatusToHost(status);
    frame::reportStatus(status);
    return 0;
  }
  const int32_t n = call.validatedInteger();
  ActEntry* entry = list == nullptr ? nullptr : nthEntry(list, n);
  if (entry == nullptr) {
    call.setValue(kValueNotFound);
    return 0;
  }
  copyPair(frame::characterSlot(frame, 4), entry->texts[0]);
  copyPair(frame::characterSlot(frame, 5), entry->texts[1]);
  copyPair(frame::characterSlot(frame, 6), entry->texts[2]);
  call.setValue(positionAsValue(n));
  return 0;
}

int32_t metasecNewact(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kNewactRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  MetadataInterface* md = call.interface();
  const int32_t count = frame::argumentCount(frame);

  StatusCode pending = kStatusOk;
  AttributeEntry* head = nullptr;
  AttributeEntry* tail = nullptr;
  if (count % 2 != 0) {
    hostIssueMessage(frame::hostInterface(), "METASEC_NEWACT ", 15);
    call.setValue(kValueRequestFailed);
    pending = kOddAttributeCount;
  } else {
    for (int i = 3; i + 1 <= count; i += 2) {
      auto* entry = static_cast<AttributeEntry*>(poolAllocate(md, sizeof(AttributeEntry)));
      if (entry == nullptr) {
        pending = kStatusNoMemory;
        break;
      }
      entry->previous = tail;
      (tail != nullptr ? tail->next : head) = entry;
      tail = entry;
      const frame::TextArgument name = frame::readCharacterInput(frame, i);
      const frame::TextArgument value = frame::readCharacterInput(frame, i + 1);
      entry->name = poolCopy(md, name);
      entry->nameLength = name.length;
      if (entry->name == nullptr) {
        pending = kStatusNoMemory;
        break;
      }
      entry->value = poolCopy(md, value);
      entry->valueLength = value.length;
      if (entry->value == nullptr) {
        pending = kStatusNoMemory;
        break;
      }
    }
    if (pending == kStatusNoMemory) {
      call.setValue(statusAsValue(kStatusNoMemory));
    } else {
      const frame::TextArgument target = frame::readCharacterInput(frame, 2);
      pending = newAct(md, call.transaction(), target.text, target.length, head);
    }
  }
  releaseTransactionHandle(call.handOverTransaction());
  if (pending != kStatusOk) {
    frame::reportStatus(pending);
  } else {
    call.setValue(kValueSuccess);
  }
  if (head != nullptr) releaseAttributeList(md, head);
  return 0;
}

int32_t metasecDelact(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kDelactRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  ReferenceRecord reference(call.interface());
  if (!reference.copy(frame::readCharacterInput(frame, 2))) {
    reportNoMemory(call);
    return 0;
  }
  const StatusCode status = deleteAct(call.interface(), call.transaction(), reference.get());
  if (status != kStatusOk) {
    frame::reportStatus(status);
    call.setValue(kValueRequestFailed);
    return 0;
  }
  call.setValue(kValueSuccess);
  return 0;
}

int32_t metasecApplyact(CallFrame* frame, double* result) {
  return applyOrRemove(frame, result, true);
}

int32_t metasecRemact(CallFrame* frame, double* result) {
  return applyOrRemove(frame, result, false);
}

}  // namespace secfuncs
