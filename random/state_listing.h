// State listings shared by every method: the state memory as rows of up to four hexadecimal
// words, written as formatted messages at level 0 through the runtime table's message object.
#pragma once

#include <cstdint>

namespace rng {

// Lists min(count, stateBytes / 4) 32-bit words; an omission line when count is below that.
void listWords32(const void* state, int64_t count, uint64_t stateBytes);
// Lists min(count, stateBytes / 8) 64-bit words; an omission line when count is below that.
void listWords64(const void* state, int64_t count, uint64_t stateBytes);

// Slot-shaped forms for a method whose `size` reports StateBytes.
template <uint64_t StateBytes>
void list32Of(void* state, int64_t count) {
  listWords32(state, count, StateBytes);
}
template <uint64_t StateBytes>
void list64Of(void* state, int64_t count) {
  listWords64(state, count, StateBytes);
}

}  // namespace rng
