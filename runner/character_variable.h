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

}  // namespace runner
