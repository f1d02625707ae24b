// The interactive loop of mdhost, modelled on the stand-alone Lua interpreter: a line that is an
// expression prints its values; a statement that is not complete yet asks for more lines.
#include <readline/history.h>
#include <readline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runner/lua_program.h"

namespace runner {
namespace {

constexpr const char* kPrompt = "mdhost> ";
constexpr const char* kContinuationPrompt = "   ...> ";
constexpr int kHistoryLength = 1000;

// Lua marks a chunk that ends too early with this text at the end of its syntax error.
bool isIncomplete(lua_State* L, int status) {
  if (status != LUA_ERRSYNTAX) return false;
  size_t length = 0;
  const char* message = lua_tolstring(L, -1, &length);
  constexpr std::string_view kEofMark = "<eof>";
  return length >= kEofMark.size() &&
         std::string_view(message + length - kEofMark.size()) == kEofMark;
}

// Tries the text as an expression first ("return " prefix), then as a statement. Leaves the
// loaded chunk (or the error message) on the stack and returns the load status.
int loadLine(lua_State* L, const std::string& text) {
  const std::string asExpression = "return " + text + ";";
  if (luaL_loadbuffer(L, asExpression.data(), asExpression.size(), "=stdin") == LUA_OK) {
    return LUA_OK;
  }
  lua_pop(L, 1);
  return luaL_loadbuffer(L, text.data(), text.size(), "=stdin");
}

void printResults(lua_State* L, int base) {
  const int count = lua_gettop(L) - base;
  if (count == 0) return;
  lua_getglobal(L, "print");
  lua_insert(L, base + 1);
  if (callChunk(L, count, 0) != LUA_OK) {
    std::fprintf(stderr, "mdhost: error printing results: %s\n", lua_tostring(L, -1));
    lua_pop(L, 1);
  }
}

}  // namespace

int runInteractive(lua_State* L, const std::string& historyFile) {
  using_history();
  stifle_history(kHistoryLength);
  if (!historyFile.empty()) read_history(historyFile.c_str());
  std::printf("mdhost interactive loop: Lua 5.4 with the package functions. "
              "End with Ctrl-D.\n");

  std::string pending;
  for (;;) {
    char* line = readline(pending.empty() ? kPrompt : kContinuationPrompt);
    if (line == nullptr) break;
    if (pending.empty() && line[0] == '\0') {
      std::free(line);
      continue;
    }
    pending += pending.empty() ? line : "\n" + std::string(line);
    std::free(line);

    const int base = lua_gettop(L);
    int status = loadLine(L, pending);
    if (isIncomplete(L, status)) {
      lua_pop(L, 1);
      continue;
    }
    add_history(pending.c_str());
    pending.clear();
    if (status == LUA_OK) status = callChunk(L, 0, LUA_MULTRET);
    if (status == LUA_OK) {
      printResults(L, base);
    } else {
      std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
    }
    lua_settop(L, base);
    std::fflush(stdout);
  }
  std::printf("\n");
  if (!historyFile.empty()) write_history(historyFile.c_str());
  return 0;
}

}  // namespace runner
