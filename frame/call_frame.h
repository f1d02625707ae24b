// Reading arguments from a call frame and writing results back: the steps every function of both
// packages shares. Arguments are numbered from 1 as the functions' descriptions number them.
//
// Contract: the host guarantees that arguments up to argumentCount() are present with the kinds
// of the descriptor. An argument the host does not supply (a null address) reads as an empty
// text or a missing number, and what is written to it goes nowhere, so a careless call is one
// more invalid argument instead of a crash.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "frame/host_abi.h"

namespace frame {

inline int32_t argumentCount(CallFrame* frame) { return frame->argumentCount; }
inline CharacterSlot* characterSlot(CallFrame* frame, int argument) {
  return static_cast<CharacterSlot*>(callFrameArgument(frame, argument - 1)->address);
}
inline uint64_t argumentFlags(CallFrame* frame, int argument) {
  return callFrameArgument(frame, argument - 1)->flags;
}
inline double* numericAddress(CallFrame* frame, int argument) {
  return static_cast<double*>(callFrameArgument(frame, argument - 1)->address);
}

// Length without trailing blanks (only 0x20 counts); null text or length ≤ 0 gives 0.
int32_t trimmedLength(const char* text, int64_t length);

struct TextArgument {
  const char* text;
  int32_t length;  // trimmed
};
// The argument's text and trimmed length (only the low 32 bits of the slot's length are read);
// an absent argument gives a null text of length 0.
TextArgument readCharacterInput(CallFrame* frame, int argument);

// Blank-fills the whole capacity, sets length = min(capacity, sourceLength), copies that much.
void writeCharacterOutput(CharacterSlot* slot, const char* source, int64_t sourceLength);
// Length = capacity: the caller sees the value blank-padded to the variable's width.
void padOutput(CharacterSlot* slot);
// writeCharacterOutput followed by padOutput.
void writeTextOutput(CharacterSlot* slot, const char* text, int64_t length);

// Blank-fills the capacity, formats with hostFormat bounded by the capacity and sets the length
// to what hostFormat returns. The format's arguments follow (printf conventions of hostFormat).
template <typename... Args>
void formatCharacterOutput(CharacterSlot* slot, const char* format, Args... args);
// formatCharacterOutput followed by padOutput.
template <typename... Args>
void writeFormattedOutput(CharacterSlot* slot, const char* format, Args... args);

// A valid index: finite and |value| < 2147483647, truncated toward zero. Otherwise nullopt.
// A double whose exponent bits are all ones (infinity, NaN and the host's missing values) is
// never an index. Inline: returned through a call, the optional is put together in memory a byte
// at a time and read back as one word, which stalls the processor on every indexed call.
inline std::optional<int32_t> numericIndexOf(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) return std::nullopt;
  if (std::fabs(value) >= 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(value);
}
inline std::optional<int32_t> readNumericIndex(CallFrame* frame, int argument) {
  const double* address = numericAddress(frame, argument);
  if (address == nullptr) return std::nullopt;
  return numericIndexOf(*address);
}
// Truncation toward zero without the index check (flags and options of the security functions).
int32_t truncatedInteger(double value);

// Names and keywords: equal lengths, then hostCompareMixed in multi-byte mode, else byte-wise
// equality through the host's upper-case table.
bool equalTexts(const char* a, int64_t lengthA, const char* b, int64_t lengthB);

}  // namespace frame

#include "frame/call_frame_format.h"
