// The program's convenience layer: the Lua helpers of lua_helpers.lua.h, and what they need from
// C++: json.encode/json.decode, export(file), the registered functions and their reference text
// for help(), and the printer the interactive loop uses.
//
// As in host_bindings.cpp, Lua errors jump past C++ destructors, so each function does its C++
// work in a helper that returns before any error is raised.
#include "runner/lua_helpers.h"

#include <cmath>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "runner/character_variable.h"
#include "runner/lua_helpers.lua.h"

namespace runner {

extern const char* const kFunctionReference;  // docs/functions.md, compiled in

namespace {

constexpr const char* kPrinterKey = "mdhost.printer";
constexpr const char* kJsonNullKey = "mdhost.json.null";
constexpr int kJsonDepth = 200;

using Json = nlohmann::json;

ScriptContext* contextOf(lua_State* L) {
  return static_cast<ScriptContext*>(lua_touserdata(L, lua_upvalueindex(1)));
}

bool isJsonNull(lua_State* L, int index) {
  lua_getfield(L, LUA_REGISTRYINDEX, kJsonNullKey);
  const bool same = lua_rawequal(L, index, -1) != 0;
  lua_pop(L, 1);
  return same;
}

// Lua value -> JSON. False with *error naming what cannot be written.
bool toJson(lua_State* L, int index, Json& out, int depth, std::string* error) {
  index = lua_absindex(L, index);
  if (depth > kJsonDepth) {
    *error = "nested deeper than " + std::to_string(kJsonDepth) + " levels (a cycle?)";
    return false;
  }
  switch (lua_type(L, index)) {
    case LUA_TNIL: out = nullptr; return true;
    case LUA_TBOOLEAN: out = lua_toboolean(L, index) != 0; return true;
    case LUA_TNUMBER:
      if (lua_isinteger(L, index)) {
        out = static_cast<int64_t>(lua_tointeger(L, index));
      } else {
        const double value = lua_tonumber(L, index);
        if (!std::isfinite(value)) {
          *error = "a number that is not finite";
          return false;
        }
        out = value;
      }
      return true;
    case LUA_TSTRING: {
      size_t length = 0;
      const char* text = lua_tolstring(L, index, &length);
      out = std::string(text, length);
      return true;
    }
    case LUA_TUSERDATA:
    case LUA_TLIGHTUSERDATA: {
      if (isJsonNull(L, index) || isMissing(L, index)) {
        out = nullptr;
        return true;
      }
      if (refhost::CharacterVariable* variable = toCharacterVariable(L, index)) {
        out = std::string(variable->trimmed());
        return true;
      }
      break;
    }
    case LUA_TTABLE: {
      if (!lua_checkstack(L, 4)) {
        *error = "too deeply nested";
        return false;
      }
      // A sequence 1..n with nothing else is an array; anything else an object of string keys.
      const lua_Integer length = static_cast<lua_Integer>(lua_rawlen(L, index));
      lua_Integer keys = 0;
      bool onlyIndexes = true;
      lua_pushnil(L);
      while (lua_next(L, index) != 0) {
        ++keys;
        if (!lua_isinteger(L, -2) || lua_tointeger(L, -2) < 1 || lua_tointeger(L, -2) > length) {
          onlyIndexes = false;
        }
        lua_pop(L, 1);
      }
      // An empty table is an empty list: describe() and the helpers hand out lists.
      if (onlyIndexes && keys == length) {
        out = Json::array();
        for (lua_Integer i = 1; i <= length; ++i) {
          lua_rawgeti(L, index, i);
          Json item;
          const bool ok = toJson(L, -1, item, depth + 1, error);
          lua_pop(L, 1);
          if (!ok) return false;
          out.push_back(std::move(item));
        }
        return true;
      }
      out = Json::object();
      lua_pushnil(L);
      while (lua_next(L, index) != 0) {
        std::string key;
        if (lua_type(L, -2) == LUA_TSTRING) {
          size_t keyLength = 0;
          const char* text = lua_tolstring(L, -2, &keyLength);
          key.assign(text, keyLength);
        } else if (lua_type(L, -2) == LUA_TNUMBER) {
          lua_pushvalue(L, -2);  // lua_tolstring on the key itself would confuse lua_next
          key = lua_tostring(L, -1);
          lua_pop(L, 1);
        } else {
          *error = std::string("a table key of type ") + luaL_typename(L, -2);
          lua_pop(L, 2);
          return false;
        }
        Json item;
        if (!toJson(L, -1, item, depth + 1, error)) {
          lua_pop(L, 2);
          return false;
        }
        out[key] = std::move(item);
        lua_pop(L, 1);
      }
      return true;
    }
    default:
      break;
  }
  *error = std::string("a ") + luaL_typename(L, index) + " value";
  return false;
}

// Pushes the text or the error message; true for the text.
bool encode(lua_State* L, int indent) {
  std::string error;
  std::string text;
  {
    Json value;
    if (toJson(L, 1, value, 0, &error)) {
      text = value.dump(indent, ' ', false, Json::error_handler_t::replace);
    }
  }
  if (!error.empty()) {
    luaL_where(L, 1);
    lua_pushstring(L, ("json.encode: cannot write " + error + " as JSON").c_str());
    lua_concat(L, 2);
    return false;
  }
  lua_pushlstring(L, text.data(), text.size());
  return true;
}

int jsonEncode(lua_State* L) {
  const int indent = static_cast<int>(luaL_optinteger(L, 2, -1));
  luaL_argcheck(L, indent >= -1 && indent <= 16, 2, "indent must be 0 to 16");
  lua_settop(L, 1);
  return encode(L, indent) ? 1 : lua_error(L);
}

bool pushJson(lua_State* L, const Json& value, int depth) {
  if (depth > kJsonDepth || !lua_checkstack(L, 4)) return false;
  switch (value.type()) {
    case Json::value_t::null:
      lua_getfield(L, LUA_REGISTRYINDEX, kJsonNullKey);
      return true;
    case Json::value_t::boolean: lua_pushboolean(L, value.get<bool>()); return true;
    case Json::value_t::number_integer:
      lua_pushinteger(L, static_cast<lua_Integer>(value.get<int64_t>()));
      return true;
    case Json::value_t::number_unsigned: {
      const auto number = value.get<uint64_t>();
      if (number <= static_cast<uint64_t>(INT64_MAX)) {
        lua_pushinteger(L, static_cast<lua_Integer>(number));
      } else {
        lua_pushnumber(L, static_cast<lua_Number>(number));
      }
      return true;
    }
    case Json::value_t::number_float: lua_pushnumber(L, value.get<double>()); return true;
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      lua_pushlstring(L, text.data(), text.size());
      return true;
    }
    case Json::value_t::array: {
      lua_createtable(L, static_cast<int>(value.size()), 0);
      lua_Integer i = 0;
      for (const Json& item : value) {
        if (!pushJson(L, item, depth + 1)) return false;
        lua_rawseti(L, -2, ++i);
      }
      return true;
    }
    case Json::value_t::object: {
      lua_createtable(L, 0, static_cast<int>(value.size()));
      for (const auto& [key, item] : value.items()) {
        lua_pushlstring(L, key.data(), key.size());
        if (!pushJson(L, item, depth + 1)) return false;
        lua_rawset(L, -3);
      }
      return true;
    }
    default:
      return false;
  }
}

bool decode(lua_State* L, std::string_view text) {
  std::string error;
  {
    Json value;
    try {
      value = Json::parse(text);
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    if (error.empty()) {
      const int top = lua_gettop(L);
      if (pushJson(L, value, 0)) return true;
      lua_settop(L, top);
      error = "nested deeper than " + std::to_string(kJsonDepth) + " levels";
    }
  }
  luaL_where(L, 1);
  lua_pushstring(L, ("json.decode: " + error).c_str());
  lua_concat(L, 2);
  return false;
}

int jsonDecode(lua_State* L) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, 1, &length);
  return decode(L, std::string_view(text, length)) ? 1 : lua_error(L);
}

int jsonNullToString(lua_State* L) {
  lua_pushliteral(L, "null");
  return 1;
}

// export(file): pushes nothing and returns true, or pushes the message.
bool exportTo(lua_State* L, ScriptContext& context, const char* file) {
  std::string error = context.exportSeed ? context.exportSeed(context.session, file)
                                         : std::string("no repository to export");
  if (error.empty()) return true;
  luaL_where(L, 1);
  lua_pushstring(L, ("export: " + error).c_str());
  lua_concat(L, 2);
  return false;
}

int exportRepository(lua_State* L) {
  const char* file = luaL_checkstring(L, 1);
  ScriptContext* context = contextOf(L);
  if (!exportTo(L, *context, file)) return lua_error(L);
  lua_pushboolean(L, 1);
  return 1;
}

int isCharacter(lua_State* L) {
  lua_pushboolean(L, toCharacterVariable(L, 1) != nullptr);
  return 1;
}

int setPrinter(lua_State* L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, kPrinterKey);
  return 0;
}

// The registered functions in registration order: {name, package, min, max (nil: no limit),
// kinds ("2 2 6")}.
int functionList(lua_State* L) {
  ScriptContext* context = contextOf(L);
  lua_newtable(L);
  lua_Integer row = 0;
  for (const auto& library : context->host->libraries()) {
    const std::string package = std::filesystem::path(library->path()).stem().string();
    for (const auto& function : library->functions()) {
      lua_createtable(L, 0, 5);
      lua_pushstring(L, function.name.c_str());
      lua_setfield(L, -2, "name");
      lua_pushstring(L, package.c_str());
      lua_setfield(L, -2, "package");
      lua_pushinteger(L, function.descriptor.minArgs);
      lua_setfield(L, -2, "min");
      if (function.descriptor.maxArgs != kNoUpperLimit) {
        lua_pushinteger(L, function.descriptor.maxArgs);
        lua_setfield(L, -2, "max");
      }
      std::string kinds;
      const int shown = function.descriptor.maxArgs == kNoUpperLimit
                            ? 10
                            : std::min<int>(function.descriptor.maxArgs, 10);
      for (int i = 0; i < shown; ++i) {
        const uint32_t kind = (function.descriptor.argWord >> (3 * i)) & 7u;
        kinds += (kinds.empty() ? "" : " ") + std::to_string(kind == 0 ? 2 : kind);
      }
      lua_pushstring(L, kinds.c_str());
      lua_setfield(L, -2, "kinds");
      lua_rawseti(L, -2, ++row);
    }
  }
  return 1;
}

int functionReference(lua_State* L) {
  lua_pushstring(L, kFunctionReference);
  return 1;
}

}  // namespace

void openLuaHelpers(lua_State* L, ScriptContext& context) {
  // json.null: a value of its own, so a decoded null keeps its place in an array.
  lua_newuserdatauv(L, 0, 0);
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, jsonNullToString);
  lua_setfield(L, -2, "__tostring");
  lua_setmetatable(L, -2);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, kJsonNullKey);
  lua_createtable(L, 0, 3);
  lua_insert(L, -2);
  lua_setfield(L, -2, "null");
  lua_pushcfunction(L, jsonEncode);
  lua_setfield(L, -2, "encode");
  lua_pushcfunction(L, jsonDecode);
  lua_setfield(L, -2, "decode");
  lua_setglobal(L, "json");

  lua_pushlightuserdata(L, &context);
  lua_pushcclosure(L, exportRepository, 1);
  lua_setglobal(L, "export");

  // The Lua half, given a table of what it needs from here.
  if (luaL_loadbuffer(L, kLuaHelpers, sizeof kLuaHelpers - 1, "=mdhost helpers") != LUA_OK) {
    lua_error(L);  // a fault of this build, raised while the state is set up
  }
  lua_createtable(L, 0, 4);
  lua_pushcfunction(L, isCharacter);
  lua_setfield(L, -2, "isCharacter");
  lua_pushcfunction(L, setPrinter);
  lua_setfield(L, -2, "setPrinter");
  lua_pushlightuserdata(L, &context);
  lua_pushcclosure(L, functionList, 1);
  lua_setfield(L, -2, "functions");
  lua_pushcfunction(L, functionReference);
  lua_setfield(L, -2, "reference");
  lua_call(L, 1, 0);
}

bool pushPrinter(lua_State* L) {
  if (lua_getfield(L, LUA_REGISTRYINDEX, kPrinterKey) == LUA_TFUNCTION) return true;
  lua_pop(L, 1);
  return false;
}

}  // namespace runner
