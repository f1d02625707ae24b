// The program's convenience layer over the package functions: objects(), attributes(),
// properties(), associations(), describe(), pretty(), help(), json.encode/json.decode and
// export(). See docs/mdhost.md, "Browsing and helpers".
#pragma once

#include <lua.hpp>

#include "runner/host_bindings.h"

namespace runner {

// Installs the helpers; the package functions and access() must be globals already.
void openLuaHelpers(lua_State* L, ScriptContext& context);

// Pushes the function the interactive loop prints values with and returns true; false (nothing
// pushed) when the helpers are not installed.
bool pushPrinter(lua_State* L);

}  // namespace runner
