// State listings: rows of up to four (index, word) entries, then an omission line when the
// caller asked for fewer words than the state holds.
#include "random/state_listing.h"

#include <cstring>

#include "random/messages.h"

namespace rng {
namespace {

constexpr const char16_t* kRows32[] = {
    nullptr, u"   %3i: %8x", u"   %3i: %8x  %3i: %8x", u"   %3i: %8x  %3i: %8x  %3i: %8x",
    u"   %3i: %8x  %3i: %8x  %3i: %8x  %3i: %8x"};
constexpr const char16_t* kRows64[] = {
    nullptr, u"   %3i: %16llx", u"   %3i: %16llx  %3i: %16llx",
    u"   %3i: %16llx  %3i: %16llx  %3i: %16llx",
    u"   %3i: %16llx  %3i: %16llx  %3i: %16llx  %3i: %16llx"};
constexpr char16_t kOmitted[] = u"        Further elements omitted.";

template <class Word, class Printed>
void listWords(const void* state, int64_t count, uint64_t stateBytes,
               const char16_t* const* rows) {
  RuntimeTable* runtime = boundRuntime();
  if (runtime == nullptr || runtime->messageObject == nullptr) return;
  const int64_t available = static_cast<int64_t>(stateBytes / sizeof(Word));
  const int64_t shown = count < available ? (count < 0 ? 0 : count) : available;
  const auto* bytes = static_cast<const uint8_t*>(state);
  auto word = [&](int64_t i) {
    Word w;
    std::memcpy(&w, bytes + i * sizeof(Word), sizeof w);
    return static_cast<Printed>(w);
  };
  auto index = [](int64_t i) { return static_cast<int>(i); };
  int64_t i = 0;
  for (; i + 3 < shown; i += 4)
    writeFormatted(kLevelAll, rows[4], index(i), word(i), index(i + 1), word(i + 1), index(i + 2),
                   word(i + 2), index(i + 3), word(i + 3));
  switch (shown - i) {
    case 3:
      writeFormatted(kLevelAll, rows[3], index(i), word(i), index(i + 1), word(i + 1),
                     index(i + 2), word(i + 2));
      break;
    case 2:
      writeFormatted(kLevelAll, rows[2], index(i), word(i), index(i + 1), word(i + 1));
      break;
    case 1:
      writeFormatted(kLevelAll, rows[1], index(i), word(i));
      break;
    default:
      break;
  }
  if (count < available) writeFormatted(kLevelAll, kOmitted);
}

}  // namespace

void listWords32(const void* state, int64_t count, uint64_t stateBytes) {
  listWords<uint32_t, unsigned int>(state, count, stateBytes, kRows32);
}

void listWords64(const void* state, int64_t count, uint64_t stateBytes) {
  listWords<uint64_t, unsigned long long>(state, count, stateBytes, kRows64);
}

}  // namespace rng
