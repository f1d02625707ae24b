// The `java` table of the program's view; see java_bindings.h for what each function does.
#include "runner/java_bindings.h"

#include <exception>
#include <string>

namespace runner {
namespace {

// The context lives in the closures' upvalue: the table's functions need only the host.
ScriptContext* contextOf(lua_State* L) {
  return static_cast<ScriptContext*>(lua_touserdata(L, lua_upvalueindex(1)));
}

// As in host_bindings.cpp: Lua arguments are checked first, the C++ work happens in a helper
// that catches and pushes its message, and lua_error is raised only after its objects are gone.
bool pushFailure(lua_State* L, const char* function, const std::string& message) {
  luaL_where(L, 1);
  lua_pushfstring(L, "java.%s: %s", function, message.c_str());
  lua_concat(L, 2);
  return false;
}

bool makeObject(lua_State* L, ScriptContext& context, const char* name, const char* className) {
  try {
    const std::string error = context.host->createJavaObject(name, className);
    if (!error.empty()) return pushFailure(L, "new", error);
    lua_pushboolean(L, 1);
    return true;
  } catch (const std::exception& error) {
    return pushFailure(L, "new", error.what());
  }
}

bool callMethod(lua_State* L, ScriptContext& context, const char* name, const char* method) {
  try {
    const refhost::JavaCallResult result = context.host->callJavaStringMethod(name, method);
    if (!result.ok) return pushFailure(L, "call", std::string(name) + ": " + result.error);
    if (result.value) {
      lua_pushlstring(L, result.value->data(), result.value->size());
    } else {
      lua_pushnil(L);
    }
    return true;
  } catch (const std::exception& error) {
    return pushFailure(L, "call", error.what());
  }
}

int javaNew(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  const char* className = luaL_checkstring(L, 2);
  return makeObject(L, *contextOf(L), name, className) ? 1 : lua_error(L);
}

int javaCall(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  const char* method = luaL_checkstring(L, 2);
  return callMethod(L, *contextOf(L), name, method) ? 1 : lua_error(L);
}

int javaDrop(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_pushboolean(L, contextOf(L)->host->dropJavaObject(name) ? 1 : 0);
  return 1;
}

}  // namespace

void openJavaBindings(lua_State* L, ScriptContext& context) {
  static const luaL_Reg functions[] = {
      {"new", javaNew}, {"call", javaCall}, {"drop", javaDrop}, {nullptr, nullptr}};
  lua_newtable(L);
  lua_pushlightuserdata(L, &context);
  luaL_setfuncs(L, functions, 1);
  lua_setglobal(L, "java");
}

}  // namespace runner
