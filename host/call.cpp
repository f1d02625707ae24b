// Calling a registered function: the call frame, the result forms and the current task.
#include <csetjmp>
#include <cstring>
#include <string>

#include "host/host_core.h"

namespace refhost::detail {

namespace {

struct CallbackEntry {
  void* callback;
  CallForm form;
  CallFrame* frame;
  double* numericResult = nullptr;
  CharacterSlot* characterResult = nullptr;
  int32_t returnCode = 0;
};

// Runs the callback with a landing place for hostRaiseError(1016) in the mode that leaves the
// call at once. Kept free of objects with destructors: the jump returns into this frame, and
// everything between it and hostRaiseError is the package's. True when the call was left.
bool enterCallback(HostCore& core, CallbackEntry& entry) {
  std::jmp_buf target;
  std::jmp_buf* const outer = core.leaveTarget;
  core.leaveTarget = &target;
  if (setjmp(target) != 0) {
    core.leaveTarget = outer;
    entry.returnCode = 0;
    return true;
  }
  switch (entry.form) {
    case CallForm::kNumeric:
      entry.returnCode =
          reinterpret_cast<NumericCallback>(entry.callback)(entry.frame, entry.numericResult);
      break;
    case CallForm::kCharacter:
      entry.returnCode =
          reinterpret_cast<CharacterCallback>(entry.callback)(entry.frame, entry.characterResult);
      break;
    case CallForm::kNone:
    default:
      entry.returnCode = reinterpret_cast<PlainCallback>(entry.callback)(entry.frame);
      break;
  }
  core.leaveTarget = outer;
  return false;
}

}  // namespace

namespace {

std::string countText(const FunctionDescriptor& d) {
  if (d.maxArgs == kNoUpperLimit) return "at least " + std::to_string(d.minArgs);
  if (d.minArgs == d.maxArgs) return "exactly " + std::to_string(d.minArgs);
  return std::to_string(d.minArgs) + " to " + std::to_string(d.maxArgs);
}

// Declared kind of argument i (from 0): argWord groups for the first ten, character inputs after
// that for functions without an upper limit, 0 (undeclared) otherwise.
uint32_t declaredKind(const FunctionDescriptor& d, int32_t i) {
  if (i < 10) return (d.argWord >> (3 * i)) & 7u;
  return d.maxArgs == kNoUpperLimit ? kArgCharacterInput : 0u;
}

const char* kindName(Argument::Kind kind) {
  switch (kind) {
    case Argument::Kind::kVariable: return "a character variable";
    case Argument::Kind::kLiteral: return "a text constant";
    case Argument::Kind::kNumber: return "a number";
    case Argument::Kind::kMissing: return "the missing value";
    default: return "absent";
  }
}

}  // namespace

CallResult HostCore::call(HostSession* session, const LoadedFunction& function,
                          std::span<Argument> args) {
  SessionRecord* record = session ? sessionOrThrow(session, function.name.c_str()) : top;
  if (!record) throw HostError(function.name + ": the host has no session to call in");
  if (!function.callback) throw HostError(function.name + ": the function has no callback");
  const FunctionDescriptor& d = function.descriptor;
  const int32_t count = static_cast<int32_t>(args.size());
  if (!function.acceptsCount(count)) {
    throw HostError(function.name + ": called with " + std::to_string(count) +
                    " argument" + (count == 1 ? "" : "s") + "; it accepts " + countText(d));
  }

  if ((d.callWord & 7u) > 2u) {
    throw HostError(function.name + ": the descriptor asks for result form " +
                    std::to_string(d.callWord & 7u) + ", which the host does not know");
  }

  // The frame lives in 8-byte words so that the pointers inside are aligned.
  std::vector<uint64_t> frameWords((callFrameSize(count) + 7) / 8, 0);
  auto* frame = reinterpret_cast<CallFrame*>(frameWords.data());
  frame->argumentCount = count;
  std::vector<CharacterSlot> constantSlots(static_cast<size_t>(count));
  std::vector<std::string> constantTexts(static_cast<size_t>(count));
  std::vector<double> numbers(static_cast<size_t>(count), 0.0);

  for (int32_t i = 0; i < count; ++i) {
    Argument& a = args[static_cast<size_t>(i)];
    CallFrameArgument* slot = callFrameArgument(frame, i);
    uint32_t kind = declaredKind(d, i);
    bool characterKind = kind == kArgCharacterInput || kind == kArgCharacterOutput;
    bool numericKind = kind == kArgNumericInput;
    bool isCharacter = a.kind == Argument::Kind::kVariable || a.kind == Argument::Kind::kLiteral;
    bool isNumeric = a.kind == Argument::Kind::kNumber || a.kind == Argument::Kind::kMissing;
    // A package reads the address as the declared kind: a mismatch would be read as garbage.
    if ((characterKind && isNumeric) || (numericKind && isCharacter)) {
      throw HostError(function.name + ": argument " + std::to_string(i + 1) + " is " +
                      kindName(a.kind) + ", but the function expects " +
                      (numericKind ? "a number" : "a character value"));
    }
    switch (a.kind) {
      case Argument::Kind::kVariable:
        if (!a.variable) throw HostError(function.name + ": argument " + std::to_string(i + 1) + " names no variable");
        slot->flags = 0;
        slot->address = a.variable->slot();
        break;
      case Argument::Kind::kLiteral: {
        std::string& text = constantTexts[static_cast<size_t>(i)];
        text = a.text;
        CharacterSlot& s = constantSlots[static_cast<size_t>(i)];
        s.capacity = static_cast<int64_t>(text.size());
        s.length = static_cast<int64_t>(text.size());
        s.text = text.data();
        slot->flags = kArgumentCannotReceive;
        slot->address = &s;
        break;
      }
      case Argument::Kind::kNumber:
        numbers[static_cast<size_t>(i)] = a.number;
        slot->flags = kArgumentCannotReceive;
        slot->address = &numbers[static_cast<size_t>(i)];
        break;
      case Argument::Kind::kMissing:
        numbers[static_cast<size_t>(i)] = missingValue();
        slot->flags = kArgumentCannotReceive;
        slot->address = &numbers[static_cast<size_t>(i)];
        break;
      case Argument::Kind::kAbsent:
        slot->flags = 0;
        slot->address = nullptr;
        break;
    }
  }

  ActiveGuard guard(this);
  HostSession* savedSession = task.session;
  int32_t savedError = pendingHostError;
  task.session = &record->abi;
  pendingHostError = 0;
  ++callDepth;

  CallResult result;
  result.form = function.form();
  CallbackEntry entry{function.callback, result.form, frame};
  switch (result.form) {
    case CallForm::kNumeric: {
      double value = missingValue();
      entry.numericResult = &value;
      // Left through hostRaiseError: the value stays missing.
      enterCallback(*this, entry);
      result.returnCode = entry.returnCode;
      result.numericValue = value;
      break;
    }
    case CallForm::kCharacter: {
      int64_t capacity = config.characterResultCapacity > 0 ? config.characterResultCapacity : 1;
      std::vector<char> buffer(static_cast<size_t>(capacity), ' ');
      CharacterSlot value{capacity, 0, buffer.data()};
      entry.characterResult = &value;
      enterCallback(*this, entry);
      result.returnCode = entry.returnCode;
      int64_t length = value.length < 0 ? 0 : (value.length > capacity ? capacity : value.length);
      result.characterValue.assign(buffer.data(), static_cast<size_t>(length));
      break;
    }
    case CallForm::kNone:
    default:
      enterCallback(*this, entry);
      result.returnCode = entry.returnCode;
      break;
  }

  --callDepth;
  result.hostError = pendingHostError;
  pendingHostError = savedError;
  // The session may have been ended by the call itself; never restore an ended session.
  task.session = findSession(savedSession) ? savedSession : (top ? &top->abi : nullptr);
  return result;
}

}  // namespace refhost::detail
