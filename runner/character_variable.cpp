#include "runner/character_variable.h"

#include <new>

namespace runner {
namespace {

using refhost::CharacterVariable;

// Blank-fills the whole variable and copies the text cut at the capacity. The current length
// becomes the capacity: a fixed-length variable always holds its full width.
void assign(CharacterVariable* variable, std::string_view text) {
  variable->assign(text);
  variable->slot()->length = variable->capacity();
}

CharacterVariable* checkVariable(lua_State* L, int index) {
  return &static_cast<CharacterVariableBlock*>(luaL_checkudata(L, index, kCharacterVariableType))
              ->variable;
}

int newVariable(lua_State* L) {
  const lua_Integer capacity = luaL_checkinteger(L, 1);
  luaL_argcheck(L, capacity >= 0 && capacity <= kMaximumCapacity, 1,
                "capacity must be 0 to 32767");
  size_t length = 0;
  const char* text = luaL_optlstring(L, 2, "", &length);
  pushCharacterVariable(L, capacity, std::string_view(text, length));
  return 1;
}

int indexVariable(lua_State* L) {
  CharacterVariable* variable = checkVariable(L, 1);
  const std::string_view key = luaL_checkstring(L, 2);
  if (key == "value") {
    const std::string_view value = variable->value();
    lua_pushlstring(L, value.data(), value.size());
  } else if (key == "trimmed") {
    const std::string_view value = variable->trimmed();
    lua_pushlstring(L, value.data(), value.size());
  } else if (key == "length") {
    lua_pushinteger(L, static_cast<lua_Integer>(variable->length()));
  } else if (key == "capacity") {
    lua_pushinteger(L, static_cast<lua_Integer>(variable->capacity()));
  } else {
    return luaL_error(L, "character variable has no field '%s' (fields: value, trimmed, "
                      "length, capacity)", lua_tostring(L, 2));
  }
  return 1;
}

int assignVariable(lua_State* L) {
  CharacterVariable* variable = checkVariable(L, 1);
  const std::string_view key = luaL_checkstring(L, 2);
  if (key == "value") {
    size_t length = 0;
    const char* text = luaL_checklstring(L, 3, &length);
    assign(variable, std::string_view(text, length));
  } else if (key == "length") {
    // Lets a program hand a function an input whose current length is shorter than the
    // variable, as the host does for a variable assigned a shorter value.
    const lua_Integer length = luaL_checkinteger(L, 3);
    luaL_argcheck(L, length >= 0 && length <= variable->capacity(), 3,
                  "length must be between 0 and the capacity");
    variable->slot()->length = length;
  } else {
    return luaL_error(L, "cannot assign field '%s' of a character variable (assignable: value, "
                      "length)", lua_tostring(L, 2));
  }
  return 0;
}

int variableToString(lua_State* L) {
  const std::string_view value = checkVariable(L, 1)->value();
  lua_pushlstring(L, value.data(), value.size());
  return 1;
}

int variableLength(lua_State* L) {
  lua_pushinteger(L, static_cast<lua_Integer>(checkVariable(L, 1)->value().size()));
  return 1;
}

int collectVariable(lua_State* L) {
  checkVariable(L, 1)->~CharacterVariable();
  return 0;
}

// Concatenation with strings and other variables uses the value, so "x=" .. v reads naturally.
// Built in a luaL_Buffer: a Lua error unwinds with longjmp, which must not skip C++ destructors.
int concatenate(lua_State* L) {
  for (int i = 1; i <= 2; ++i) {
    if (!toCharacterVariable(L, i) && lua_type(L, i) != LUA_TSTRING &&
        lua_type(L, i) != LUA_TNUMBER) {
      return luaL_error(L, "attempt to concatenate a %s value with a character variable",
                        luaL_typename(L, i));
    }
  }
  luaL_Buffer buffer;
  luaL_buffinit(L, &buffer);
  for (int i = 1; i <= 2; ++i) {
    if (CharacterVariable* variable = toCharacterVariable(L, i)) {
      const std::string_view value = variable->value();
      luaL_addlstring(&buffer, value.data(), value.size());
    } else {
      size_t length = 0;
      const char* text = lua_tolstring(L, i, &length);
      luaL_addlstring(&buffer, text, length);
    }
  }
  luaL_pushresult(&buffer);
  return 1;
}

int equalVariables(lua_State* L) {
  lua_pushboolean(L, checkVariable(L, 1)->value() == checkVariable(L, 2)->value());
  return 1;
}

}  // namespace

const char kCharacterVariableTag = 'C';

CharacterVariable* pushCharacterVariable(lua_State* L, int64_t capacity, std::string_view text) {
  auto* block = static_cast<CharacterVariableBlock*>(
      lua_newuserdatauv(L, sizeof(CharacterVariableBlock), 0));
  // Set the metatable only after construction, so __gc never sees a half-built variable.
  auto* variable = new (&block->variable) CharacterVariable(capacity);
  block->tag = &kCharacterVariableTag;
  assign(variable, text);
  luaL_setmetatable(L, kCharacterVariableType);
  return variable;
}

CharacterVariable* toCharacterVariable(lua_State* L, int index) {
  auto* block =
      static_cast<CharacterVariableBlock*>(luaL_testudata(L, index, kCharacterVariableType));
  return block != nullptr ? &block->variable : nullptr;
}

void openCharacterVariables(lua_State* L) {
  static const luaL_Reg kMethods[] = {
      {"__index", indexVariable},       {"__newindex", assignVariable},
      {"__tostring", variableToString}, {"__len", variableLength},
      {"__concat", concatenate},        {"__eq", equalVariables},
      {"__gc", collectVariable},        {nullptr, nullptr}};
  luaL_newmetatable(L, kCharacterVariableType);
  luaL_setfuncs(L, kMethods, 0);
  lua_pushliteral(L, "char");
  lua_setfield(L, -2, "__name");
  lua_pop(L, 1);
  lua_register(L, "char", newVariable);
}

}  // namespace runner
