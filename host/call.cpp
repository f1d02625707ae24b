// Calling a registered function: the call frame, the result forms and the current task.
#include <csetjmp>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_core.h"
#include "host/java_runtime.h"

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

// The frame of one call with the constants it points at: on the C stack for the usual counts
// and texts, so a call allocates nothing; a larger call takes the rest from the heap. Kept free
// of the callback's way: it lives in call(), outside the landing place of enterCallback.
class FrameStorage {
 public:
  static constexpr int32_t kInlineArguments = 12;
  static constexpr size_t kInlineTextBytes = 1024;
  static constexpr size_t kInlineResultBytes = 512;

  explicit FrameStorage(int32_t count) {
    const size_t words = (callFrameSize(count) + 7) / 8;  // 8-byte words: pointers aligned
    if (count > kInlineArguments) {
      Heap& heap = heapPart();
      heap.words.assign(words, 0);
      heap.slots.resize(static_cast<size_t>(count));
      heap.numbers.resize(static_cast<size_t>(count));
      words_ = heap.words.data();
      slots_ = heap.slots.data();
      numbers_ = heap.numbers.data();
    } else {
      // The header only: call() writes both words of every argument entry it hands over.
      std::memset(inlineWords_, 0, sizeof(CallFrame));
    }
  }
  FrameStorage(const FrameStorage&) = delete;
  FrameStorage& operator=(const FrameStorage&) = delete;

  CallFrame* frame() { return reinterpret_cast<CallFrame*>(words_); }
  CharacterSlot& constantSlot(int32_t i) { return slots_[i]; }
  double& number(int32_t i) { return numbers_[i]; }

  // A terminated copy of text that lives as long as this storage.
  char* copy(std::string_view text) {
    char* target = nullptr;
    if (text.size() < kInlineTextBytes - textUsed_) {
      target = inlineText_ + textUsed_;
      textUsed_ += text.size() + 1;
    } else {
      auto& texts = heapPart().texts;
      texts.push_back(std::make_unique<char[]>(text.size() + 1));
      target = texts.back().get();
    }
    if (!text.empty()) std::memcpy(target, text.data(), text.size());
    target[text.size()] = '\0';
    return target;
  }

  // Room for a character result of `capacity` bytes.
  char* resultBuffer(size_t capacity) {
    if (capacity <= kInlineResultBytes) return inlineResult_;
    auto& result = heapPart().result;
    result.resize(capacity);
    return result.data();
  }

 private:
  uint64_t inlineWords_[(sizeof(CallFrame) + sizeof(CallFrameArgument) * kInlineArguments + 7) / 8];
  CharacterSlot inlineSlots_[kInlineArguments];
  double inlineNumbers_[kInlineArguments];
  char inlineText_[kInlineTextBytes];
  char inlineResult_[kInlineResultBytes];
  size_t textUsed_ = 0;
  uint64_t* words_ = inlineWords_;
  CharacterSlot* slots_ = inlineSlots_;
  double* numbers_ = inlineNumbers_;
  // What does not fit inline; made only by the calls that need it, so the usual call builds and
  // destroys one null pointer here.
  struct Heap {
    std::vector<uint64_t> words;
    std::vector<CharacterSlot> slots;
    std::vector<double> numbers;
    std::vector<std::unique_ptr<char[]>> texts;
    std::vector<char> result;
  };
  Heap& heapPart() {
    if (!heap_) heap_ = std::make_unique<Heap>();
    return *heap_;
  }
  std::unique_ptr<Heap> heap_;
};

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

// Whether a value of kind `given` cannot stand for an argument declared `declared`: a number or
// the missing value for a character argument, a character value for a numeric one. One bit per
// pair, so the check costs a shift on every argument of every call.
constexpr uint64_t kMismatchBits = [] {
  using K = Argument::Kind;
  const auto bit = [](uint32_t declared, K given) {
    return uint64_t{1} << (declared * 8 + static_cast<uint32_t>(given));
  };
  return bit(kArgCharacterInput, K::kNumber) | bit(kArgCharacterInput, K::kMissing) |
         bit(kArgCharacterOutput, K::kNumber) | bit(kArgCharacterOutput, K::kMissing) |
         bit(kArgNumericInput, K::kVariable) | bit(kArgNumericInput, K::kLiteral);
}();
static_assert(static_cast<uint32_t>(Argument::Kind::kAbsent) < 8);

bool kindMismatch(uint32_t declared, Argument::Kind given) {
  return (kMismatchBits >> (declared * 8 + static_cast<uint32_t>(given))) & 1u;
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
  ArgumentView inlineViews[FrameStorage::kInlineArguments];
  std::vector<ArgumentView> heapViews;
  ArgumentView* views = inlineViews;
  if (args.size() > std::size(inlineViews)) {
    heapViews.resize(args.size());
    views = heapViews.data();
  }
  for (size_t i = 0; i < args.size(); ++i) views[i] = ArgumentView::of(args[i]);
  return call(session, function, std::span<const ArgumentView>(views, args.size()));
}

CallResult HostCore::call(HostSession* session, const LoadedFunction& function,
                          std::span<const ArgumentView> args) {
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

  FrameStorage storage(count);
  CallFrame* frame = storage.frame();
  frame->argumentCount = count;

  uint64_t kindWord = d.argWord;  // the next argument's declared kind in its lowest 3 bits
  for (int32_t i = 0; i < count; ++i, kindWord >>= 3) {
    const ArgumentView& a = args[static_cast<size_t>(i)];
    CallFrameArgument* slot = callFrameArgument(frame, i);
    const uint32_t kind = i < 10 ? static_cast<uint32_t>(kindWord & 7u) : declaredKind(d, i);
    // A package reads the address as the declared kind: a mismatch would be read as garbage.
    if (kindMismatch(kind, a.kind)) {
      throw HostError(function.name + ": argument " + std::to_string(i + 1) + " is " +
                      kindName(a.kind) + ", but the function expects " +
                      (kind == kArgNumericInput ? "a number" : "a character value"));
    }
    // Tested in turn rather than switched on: a switch becomes an indirect jump whose target
    // changes from argument to argument, which the processor mispredicts on every call.
    using Kind = Argument::Kind;
    if (a.kind == Kind::kVariable) {
      if (!a.variable) throw HostError(function.name + ": argument " + std::to_string(i + 1) + " names no variable");
      slot->flags = 0;
      slot->address = a.variable->slot();
    } else if (a.kind == Kind::kLiteral) {
      // The function gets a copy: whatever it does to it, the caller's text stays.
      const std::string_view text = a.text;
      CharacterSlot& s = storage.constantSlot(i);
      s.capacity = static_cast<int64_t>(text.size());
      s.length = static_cast<int64_t>(text.size());
      s.text = storage.copy(text);
      slot->flags = kArgumentCannotReceive;
      slot->address = &s;
    } else if (a.kind != Kind::kAbsent) {
      // A number, or the missing value.
      storage.number(i) = a.kind == Kind::kNumber ? a.number : missingValue();
      slot->flags = kArgumentCannotReceive;
      slot->address = &storage.number(i);
    } else {
      slot->flags = 0;
      slot->address = nullptr;
    }
  }

  ActiveGuard guard(this);
  HostSession* savedSession = task.session;
  int32_t savedError = pendingHostError;
  task.session = &record->abi;
  pendingHostError = 0;
  ++callDepth;

  // A call that reached Java may have left text on Java's standard error (see below).
  const uint64_t javaRequestsBefore = this->record.passIdentityRequests;
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
      char* buffer = storage.resultBuffer(static_cast<size_t>(capacity));
      std::memset(buffer, ' ', static_cast<size_t>(capacity));
      CharacterSlot value{capacity, 0, buffer};
      entry.characterResult = &value;
      enterCallback(*this, entry);
      result.returnCode = entry.returnCode;
      int64_t length = value.length < 0 ? 0 : (value.length > capacity ? capacity : value.length);
      result.characterValue.assign(buffer, static_cast<size_t>(length));
      break;
    }
    case CallForm::kNone:
    default:
      enterCallback(*this, entry);
      result.returnCode = entry.returnCode;
      break;
  }

  --callDepth;
  if (this->record.passIdentityRequests != javaRequestsBefore) {
    // What the VM printed (a described exception) belongs in the log beside the call's notes.
    std::string javaOutput = java::takeErrorOutput();
    while (!javaOutput.empty() && javaOutput.back() == '\n') javaOutput.pop_back();
    if (!javaOutput.empty()) writeLog(kLevelWarning, "Java: " + javaOutput);
  }
  result.hostError = pendingHostError;
  pendingHostError = savedError;
  // The session may have been ended by the call itself; never restore an ended session.
  task.session = findSession(savedSession) ? savedSession : (top ? &top->abi : nullptr);
  return result;
}

}  // namespace refhost::detail
