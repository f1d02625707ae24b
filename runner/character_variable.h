// Character variables of a Lua program: fixed-capacity, blank-padded texts that a function can
// write into, as the host language's character variables are.
//
// A variable is a Lua full userdata holding the host's CharacterVariable; the host passes its
// CharacterSlot in the call frame, so whatever a function writes (text and current length) is
// what the program reads afterwards. Lua never moves a full userdata, and the variable's storage
// lives until the userdata is collected (__gc runs the destructor).
#pragma once

#include <cstdint>
#include <string_view>

#include <lua.hpp>

#include "host/reference_host.h"

namespace runner {

// Largest capacity char() accepts: the host language's longest character variable.
inline constexpr int64_t kMaximumCapacity = 32767;

inline constexpr const char* kCharacterVariableType = "mdhost.char";

// Registers the metatable and the global function char(n [, text]).
void openCharacterVariables(lua_State* L);

// Pushes a new variable of `capacity` bytes holding `text` blank-padded, current length =
// capacity. Text beyond the capacity is cut, as an assignment in the host language cuts it.
refhost::CharacterVariable* pushCharacterVariable(lua_State* L, int64_t capacity,
                                                  std::string_view text);

// The variable at `index`, or null when the value there is not a character variable.
refhost::CharacterVariable* toCharacterVariable(lua_State* L, int index);

// What a variable's userdata holds: the variable, then a tag that no other userdata carries, so
// a call can tell a variable from any other userdata by its size and tag, without asking Lua
// for its metatable (a Lua program cannot write a userdata's bytes, so the tag cannot be forged).
struct CharacterVariableBlock {
  refhost::CharacterVariable variable;
  const void* tag;
};
extern const char kCharacterVariableTag;

// The variable in a full userdata of `size` bytes at `memory`, or null when it is not one.
inline refhost::CharacterVariable* characterVariableInBlock(void* memory, size_t size) {
  if (memory == nullptr || size != sizeof(CharacterVariableBlock)) return nullptr;
  auto* block = static_cast<CharacterVariableBlock*>(memory);
  return block->tag == &kCharacterVariableTag ? &block->variable : nullptr;
}

}  // namespace runner
