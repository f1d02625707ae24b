// The package functions a Lua state gets: past the state's direct entries a function is still
// called, through a closure, with the same arguments and result.
#include <gtest/gtest.h>

#include <lua.hpp>

#include "runner/host_bindings.h"
#include "tests/host/quiet_config.h"

namespace {

bool run(lua_State* L, const char* chunk) {
  if (luaL_dostring(L, chunk) == LUA_OK) return true;
  ADD_FAILURE() << lua_tostring(L, -1);
  lua_pop(L, 1);
  return false;
}

TEST(HostBindings, FunctionsPastTheDirectEntriesAreCalledThroughClosures) {
  refhost::ReferenceHost host(refhost::testing::quietConfig());
  host.load(FIXTURE_PACKAGE);
  runner::ScriptContext context;
  context.host = &host;
  context.session = host.newSession(nullptr, "S");
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  // Each round binds the package's nine functions again: fifteen rounds make 135 functions,
  // more than a state has direct entries for.
  for (int round = 0; round < 15; ++round) {
    runner::openHostBindings(L, context);
    ASSERT_TRUE(run(L, "adds = adds or {}; adds[#adds + 1] = ADD"));
  }
  ASSERT_TRUE(run(L, R"lua(
    results, upvalues = {}, {}
    for i, add in ipairs(adds) do
      results[i] = add(i, 0.5)
      upvalues[i] = debug.getinfo(add, "u").nups
    end
    -- Called from a coroutine too.
    late = coroutine.wrap(function() return adds[#adds](2, 3) end)()
  )lua"));
  for (int i = 1; i <= 15; ++i) {
    lua_getglobal(L, "results");
    lua_rawgeti(L, -1, i);
    EXPECT_EQ(lua_tonumber(L, -1), i + 0.5) << "round " << i;
    lua_pop(L, 2);
  }
  // The first rounds are direct entries, the last a closure with its binding as upvalue.
  lua_getglobal(L, "upvalues");
  lua_rawgeti(L, -1, 1);
  EXPECT_EQ(lua_tointeger(L, -1), 0);
  lua_rawgeti(L, -2, 15);
  EXPECT_EQ(lua_tointeger(L, -1), 1);
  lua_pop(L, 3);
  lua_getglobal(L, "late");
  EXPECT_EQ(lua_tonumber(L, -1), 5.0);
  lua_close(L);
}

}  // namespace
