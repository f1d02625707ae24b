// access(objectUri, permission [, identity]) for programs:
//
//   local granted, why = access("vqsobj:PhysicalTable?@Name='SALES'", "Write")
//
// granted is a boolean; why is a table {target=, summary=, lines={...}, steps={...}}, each step
// {role=, level=, source=, sourceName=, identity=, identityName=, permission=, grant=} (see
// mdserver/access/access_explanation.h). The answer is the repository's own decision for the program's
// session user (or for `identity`, a name or identifier, with its groups and roles). A wrong
// object or identity raises an error naming it.
#include <string>

#include "runner/host_bindings.h"

namespace runner {
namespace {

void setString(lua_State* L, const char* key, const std::string& value) {
  lua_pushlstring(L, value.data(), value.size());
  lua_setfield(L, -2, key);
}

int access(lua_State* L) {
  auto* context = static_cast<ScriptContext*>(lua_touserdata(L, lua_upvalueindex(1)));
  // Arguments first: a wrong one raises before any C++ object lives.
  const char* objectText = luaL_checkstring(L, 1);
  const char* permissionText = luaL_checkstring(L, 2);
  const char* identityText = luaL_optstring(L, 3, "");
  {
    std::string message;
    const std::string object = objectText;
    const std::string permission = permissionText;
    const std::string identity = identityText;
    mdserver::AccessExplanation explanation;
    if (context->explain &&
        context->explain(context->session, object, permission, identity, explanation, &message)) {
      lua_pushboolean(L, explanation.granted);
      lua_createtable(L, 0, 4);
      setString(L, "target", explanation.target);
      setString(L, "summary", explanation.summary);
      lua_createtable(L, static_cast<int>(explanation.steps.size()), 0);
      int i = 0;
      for (const mdserver::ExplanationStep& s : explanation.steps) {
        lua_createtable(L, 0, 8);
        setString(L, "role", s.role);
        setString(L, "level", s.level);
        setString(L, "source", s.source);
        setString(L, "sourceName", s.sourceName);
        setString(L, "identity", s.identity);
        setString(L, "identityName", s.identityName);
        setString(L, "permission", s.permission);
        lua_pushboolean(L, s.grant);
        lua_setfield(L, -2, "grant");
        lua_rawseti(L, -2, ++i);
      }
      lua_setfield(L, -2, "steps");
      const std::vector<std::string> lines = mdserver::explanationLines(explanation);
      lua_createtable(L, static_cast<int>(lines.size()), 0);
      i = 0;
      for (const std::string& line : lines) {
        lua_pushlstring(L, line.data(), line.size());
        lua_rawseti(L, -2, ++i);
      }
      lua_setfield(L, -2, "lines");
      return 2;
    }
    if (!context->explain) message = "no repository to ask";
    message = "access: " + message;
    luaL_where(L, 1);  // the program's file and line, as luaL_error gives them
    lua_pushlstring(L, message.data(), message.size());
    lua_concat(L, 2);
  }
  // Every string above is destroyed before lua_error unwinds past this frame (it does not run
  // destructors); the message lives on as a Lua string.
  return lua_error(L);
}

}  // namespace

void openAccessBinding(lua_State* L, ScriptContext& context) {
  lua_pushlightuserdata(L, &context);
  lua_pushcclosure(L, access, 1);
  lua_setglobal(L, "access");
}

}  // namespace runner
