#include "runner/lua_program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <sstream>

namespace runner {
namespace {

// Keeps error values that are not strings readable (an error object with __tostring, or a table).
// An error raised inside a function of the program gets the traceback of Lua functions that led
// to it, as the stand-alone interpreter prints; one raised by the main chunk itself stays one
// line (its position already says all).
int messageHandler(lua_State* L) {
  if (lua_type(L, 1) != LUA_TSTRING) {
    if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING) return 1;
    lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    return 1;
  }
  // The program's functions count; mdhost's own helpers (lua_helpers.lua.h) and C functions do
  // not, and the traceback starts at the program's innermost frame.
  int luaFunctions = 0;
  int firstLevel = 0;
  lua_Debug frame;
  for (int level = 1; lua_getstack(L, level, &frame) != 0; ++level) {
    if (lua_getinfo(L, "S", &frame) == 0 || frame.what[0] == 'C') continue;
    if (std::strcmp(frame.source, "=mdhost helpers") == 0) continue;
    if (firstLevel == 0) firstLevel = level;
    if (frame.what[0] == 'L') ++luaFunctions;
  }
  if (luaFunctions == 0) return 1;
  luaL_traceback(L, L, lua_tostring(L, 1), firstLevel);
  return 1;
}

int reportError(lua_State* L, int status) {
  if (status == LUA_OK) return 0;
  const char* message = lua_tostring(L, -1);
  std::fflush(stdout);
  std::fprintf(stderr, "mdhost: %s\n", message != nullptr ? message : "(no error message)");
  std::fflush(stderr);
  lua_pop(L, 1);
  return 1;
}

}  // namespace

void setScriptArguments(lua_State* L, const std::string& script,
                        const std::vector<std::string>& arguments) {
  lua_createtable(L, static_cast<int>(arguments.size()), 1);
  lua_pushlstring(L, script.data(), script.size());
  lua_rawseti(L, -2, 0);
  for (size_t i = 0; i < arguments.size(); ++i) {
    lua_pushlstring(L, arguments[i].data(), arguments[i].size());
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  lua_setglobal(L, "arg");
}

int callChunk(lua_State* L, int argumentCount, int resultCount) {
  const int base = lua_gettop(L) - argumentCount;
  lua_pushcfunction(L, messageHandler);
  lua_insert(L, base);
  const int status = lua_pcall(L, argumentCount, resultCount, base);
  lua_remove(L, base);
  return status;
}

int runScriptFile(lua_State* L, const std::string& path) {
  if (path == "-") return runStandardInput(L);
  std::error_code ignored;
  // fopen succeeds on a directory; only the first read would fail, with a vaguer message.
  const bool directory = std::filesystem::is_directory(path, ignored);
  std::FILE* probe = directory ? nullptr : std::fopen(path.c_str(), "r");
  if (probe == nullptr) {
    std::fprintf(stderr, "mdhost: cannot open script '%s': %s\n", path.c_str(),
                 std::strerror(directory ? EISDIR : errno));
    return 2;
  }
  std::fclose(probe);
  int status = luaL_loadfile(L, path.c_str());
  if (status == LUA_OK) status = callChunk(L, 0, 0);
  return reportError(L, status);
}

int runChunk(lua_State* L, const std::string& text, const std::string& name) {
  const std::string chunkName = "=" + name;
  int status = luaL_loadbuffer(L, text.data(), text.size(), chunkName.c_str());
  if (status == LUA_OK) status = callChunk(L, 0, 0);
  return reportError(L, status);
}

int runLines(lua_State* L, bool stopAtError) {
  std::string pending;
  bool failed = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (pending.empty() && line.empty()) continue;
    pending += pending.empty() ? line : "\n" + line;
    if (runPendingText(L, pending, false, &failed)) pending.clear();
    if (failed && stopAtError) return 1;
  }
  if (!pending.empty()) runPendingText(L, pending, true, &failed);
  return failed && stopAtError ? 1 : 0;
}

int runStandardInput(lua_State* L) {
  const std::string program((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
  int status = luaL_loadbuffer(L, program.data(), program.size(), "=stdin");
  if (status == LUA_OK) status = callChunk(L, 0, 0);
  return reportError(L, status);
}

}  // namespace runner
