// Argument and output steps shared by every function of both packages.
#include "frame/call_frame.h"

#include <cmath>
#include <cstring>

#include "frame/host_services.h"
#include "frame/module_globals.h"

namespace frame {

int32_t trimmedLength(const char* text, int64_t length) {
  if (text == nullptr || length <= 0) return 0;
  int64_t n = length;
  while (n > 0 && text[n - 1] == ' ') --n;
  return static_cast<int32_t>(n);
}

TextArgument readCharacterInput(CallFrame* frame, int argument) {
  const CharacterSlot* slot = characterSlot(frame, argument);
  if (slot == nullptr) return {nullptr, 0};
  // Only the low 32 bits of the current length are meaningful for an input.
  const auto length = static_cast<int32_t>(static_cast<uint32_t>(slot->length));
  return {slot->text, trimmedLength(slot->text, length)};
}

void writeCharacterOutput(CharacterSlot* slot, const char* source, int64_t sourceLength) {
  if (slot == nullptr) return;
  if (slot->capacity > 0) std::memset(slot->text, ' ', static_cast<size_t>(slot->capacity));
  int64_t n = sourceLength < slot->capacity ? sourceLength : slot->capacity;
  if (n < 0) n = 0;
  slot->length = n;
  if (n > 0) std::memcpy(slot->text, source, static_cast<size_t>(n));
}

void padOutput(CharacterSlot* slot) {
  if (slot != nullptr) slot->length = slot->capacity;
}

void writeTextOutput(CharacterSlot* slot, const char* text, int64_t length) {
  writeCharacterOutput(slot, text, length);
  padOutput(slot);
}

// Out-of-range and non-finite values become the most negative 32-bit integer, as a conversion
// instruction delivers them, instead of undefined behaviour.
int32_t truncatedInteger(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool equalTexts(const char* a, int64_t lengthA, const char* b, int64_t lengthB) {
  if (lengthA != lengthB) return false;
  HostInterface* host = hostInterface();
  if (host->multiByteMode != 0) return hostCompareMixed(host, a, lengthA, b, lengthB);
  if (lengthA == 0) return true;
  // The same bytes are the same text whatever the table says; cached texts are mostly asked
  // for again as they were written.
  if (std::memcmp(a, b, static_cast<size_t>(lengthA)) == 0) return true;
  const uint8_t* upper = host->upperCaseTable;
  for (int64_t i = 0; i < lengthA; ++i) {
    if (upper[static_cast<uint8_t>(a[i])] != upper[static_cast<uint8_t>(b[i])]) return false;
  }
  return true;
}

}  // namespace frame
