// The interactive loop of mdhost, modelled on the stand-alone Lua interpreter: a line that is an
// expression prints its values; a statement that is not complete yet asks for more lines.
//
// Ctrl-C does what it does in the other interactive shells: while a chunk runs it stops the
// chunk with the error "interrupted" and the loop goes on; at the prompt it drops the line
// being typed. Either way the Lua state, the session and its repository stay as they were.
// Readline runs in its callback form so that the loop, not readline, owns the signal: a
// SIGINT interrupts poll(), and the loop decides what it means.
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "runner/lua_helpers.h"
#include "runner/lua_program.h"

namespace runner {
namespace {

constexpr const char* kPrompt = "mdhost> ";
constexpr const char* kContinuationPrompt = "   ...> ";
constexpr int kHistoryLength = 1000;

// Shared with the signal handler: only lock-free atomics.
std::atomic<lua_State*> runningState{nullptr};
volatile std::sig_atomic_t interruptRequested = 0;
static_assert(std::atomic<lua_State*>::is_always_lock_free);

void stopHook(lua_State* L, lua_Debug*) {
  lua_sethook(L, nullptr, 0, 0);
  luaL_error(L, "interrupted");
}

// lua_sethook is safe to call from a signal handler (the Lua manual says so); the hook then
// raises the error at the chunk's next instruction, call or return.
void onInterrupt(int) {
  interruptRequested = 1;
  if (lua_State* L = runningState.load()) {
    lua_sethook(L, stopHook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
  }
}

// Installs the handler for the loop's lifetime and puts the previous one back afterwards.
class InterruptHandler {
 public:
  InterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll() must return with EINTR
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptHandler() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptHandler(const InterruptHandler&) = delete;
  InterruptHandler& operator=(const InterruptHandler&) = delete;

 private:
  struct sigaction previous_ {};
};

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

// Each value goes through the helpers' printer first (pretty(): tables laid out with their keys,
// character variables with their capacity, access() explanations as their lines), then print.
void printResults(lua_State* L, int base) {
  const int count = lua_gettop(L) - base;
  if (count == 0) return;
  if (pushPrinter(L)) {
    const int printer = lua_gettop(L);
    for (int i = base + 1; i < printer; ++i) {
      lua_pushvalue(L, printer);
      lua_pushvalue(L, i);
      if (callChunk(L, 1, 1) == LUA_OK && lua_type(L, -1) == LUA_TSTRING) {
        lua_replace(L, i);
      } else {
        lua_pop(L, 1);
      }
    }
    lua_pop(L, 1);
  }
  lua_getglobal(L, "print");
  lua_insert(L, base + 1);
  if (callChunk(L, count, 0) != LUA_OK) {
    std::fprintf(stderr, "mdhost: error printing results: %s\n", lua_tostring(L, -1));
    lua_pop(L, 1);
  }
}

// The line readline hands over in callback form; nullopt with `endOfInput` at Ctrl-D.
std::optional<std::string> enteredLine;
bool endOfInput = false;

void takeLine(char* line) {
  rl_callback_handler_remove();
  if (line == nullptr) {
    endOfInput = true;
  } else {
    enteredLine = line;
    std::free(line);
  }
}

// Reads one line with editing. Returns nullopt at end of input; an empty optional with
// *interrupted set when Ctrl-C dropped the line being typed.
//
// SIGINT is blocked while readline works and let through only inside ppoll(), atomically: a
// Ctrl-C that arrives while readline handles a key then waits, pending, and interrupts the next
// ppoll() instead of being missed until the next key.
std::optional<std::string> readLine(const char* prompt, bool* interrupted) {
  *interrupted = false;
  enteredLine.reset();
  endOfInput = false;
  sigset_t interrupt;
  sigset_t previous;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_BLOCK, &interrupt, &previous);
  sigset_t waiting = previous;
  sigdelset(&waiting, SIGINT);
  interruptRequested = 0;
  rl_callback_handler_install(prompt, takeLine);
  while (!enteredLine && !endOfInput) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ppoll(&input, 1, nullptr, &waiting);
    if (ready < 0 && errno == EINTR) {
      if (!interruptRequested) continue;
      interruptRequested = 0;
      // Drop what was typed and start again on a fresh line, as the other shells do.
      rl_replace_line("", 0);
      rl_callback_handler_remove();
      std::fputc('\n', rl_outstream != nullptr ? rl_outstream : stdout);
      *interrupted = true;
      break;
    }
    if (ready < 0) {
      rl_callback_handler_remove();
      endOfInput = true;
      break;
    }
    rl_callback_read_char();
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (*interrupted || endOfInput) return std::nullopt;
  return enteredLine;
}

// Completion with Tab: outside a string, Lua names (globals, and fields after "name."); inside
// a string, type and association names (after "vqsobj:", or wherever a name starts).
lua_State* completionState = nullptr;
std::vector<std::string> completionVocabulary;

bool isNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Whether the line up to `end` is inside a quoted string (an odd number of unescaped quotes of
// the kind that opened last, or an open [[ ).
bool insideString(const char* line, int end) {
  char open = 0;
  for (int i = 0; i < end && line[i] != '\0'; ++i) {
    const char c = line[i];
    if (open == ']') {
      if (c == ']' && line[i + 1] == ']') open = 0, ++i;
    } else if (open != 0) {
      if (c == '\\') ++i;
      else if (c == open) open = 0;
    } else if (c == '"' || c == '\'') {
      open = c;
    } else if (c == '[' && line[i + 1] == '[') {
      open = ']';
      ++i;
    }
  }
  return open != 0;
}

std::vector<std::string> luaCandidates(lua_State* L, const std::string& text) {
  std::vector<std::string> out;
  const size_t separator = text.find_last_of(".:");
  const std::string path = separator == std::string::npos ? "" : text.substr(0, separator);
  const std::string word = separator == std::string::npos ? text : text.substr(separator + 1);
  const int top = lua_gettop(L);
  lua_pushglobaltable(L);
  size_t start = 0;
  while (!path.empty() && start <= path.size()) {
    const size_t next = path.find_first_of(".:", start);
    const std::string step = path.substr(start, next == std::string::npos ? std::string::npos : next - start);
    if (lua_type(L, -1) != LUA_TTABLE) break;
    lua_pushlstring(L, step.data(), step.size());
    lua_rawget(L, -2);  // no metamethod runs while the user types
    lua_remove(L, -2);
    if (next == std::string::npos) break;
    start = next + 1;
  }
  if (lua_type(L, -1) == LUA_TTABLE) {
    const std::string prefix = separator == std::string::npos ? "" : text.substr(0, separator + 1);
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
      if (lua_type(L, -2) == LUA_TSTRING) {
        const std::string key = lua_tostring(L, -2);
        if (!key.empty() && key.compare(0, word.size(), word) == 0 &&
            std::all_of(key.begin(), key.end(), isNameCharacter)) {
          out.push_back(prefix + key);
        }
      }
      lua_pop(L, 1);
    }
  }
  lua_settop(L, top);
  return out;
}

std::vector<std::string> completionCandidates(const std::string& text, bool inString) {
  std::vector<std::string> out;
  if (inString) {
    size_t wordStart = text.size();
    while (wordStart > 0 && isNameCharacter(text[wordStart - 1])) --wordStart;
    const std::string prefix = text.substr(0, wordStart);
    const std::string word = text.substr(wordStart);
    for (const std::string& name : completionVocabulary) {
      if (startsWithNoCase(name, word)) out.push_back(prefix + name);
    }
  } else if (completionState != nullptr) {
    out = luaCandidates(completionState, text);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<std::string> pendingMatches;
size_t nextMatch = 0;

char* nextCandidate(const char* text, int state) {
  (void)text;
  if (state == 0) nextMatch = 0;
  if (nextMatch >= pendingMatches.size()) return nullptr;
  return strdup(pendingMatches[nextMatch++].c_str());
}

char** complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // never file names
  (void)start;
  const bool inString = insideString(rl_line_buffer, rl_point);
  if (inString) {
    // The name goes on inside the string: no blank after it, and no closing quote.
    rl_completion_append_character = '\0';
    rl_completion_suppress_quote = 1;
  }
  pendingMatches = completionCandidates(text, inString);
  return rl_completion_matches(text, nextCandidate);
}

// History lives in a file that grows as lines are entered, so a session that ends abruptly
// keeps what was typed; it is cut to kHistoryLength lines when the loop starts. Entries are
// written with their time stamps, which lets readline keep an entry of several lines (a
// function typed over lines) as one entry when it reads the file back.
void openHistory(const std::string& historyFile) {
  history_comment_char = '#';  // time stamps are written as "#<seconds>" lines
  history_write_timestamps = 1;
  history_multiline_entries = 1;
  using_history();
  stifle_history(kHistoryLength);
  if (historyFile.empty()) return;
  const int fd = open(historyFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) close(fd);
  history_truncate_file(historyFile.c_str(), kHistoryLength);
  read_history(historyFile.c_str());
}

void remember(const std::string& historyFile, const std::string& entry) {
  add_history(entry.c_str());
  if (!historyFile.empty()) append_history(1, historyFile.c_str());
}

}  // namespace

bool isCompleteText(lua_State* L, const std::string& pending) {
  const int status = loadLine(L, pending);
  const bool incomplete = isIncomplete(L, status);
  lua_pop(L, 1);
  return !incomplete;
}

bool runPendingText(lua_State* L, const std::string& pending, bool atEnd, bool* failed) {
  const int base = lua_gettop(L);
  int status = loadLine(L, pending);
  if (isIncomplete(L, status) && !atEnd) {
    lua_pop(L, 1);
    return false;
  }
  if (status == LUA_OK) {
    runningState.store(L);
    status = callChunk(L, 0, LUA_MULTRET);
    runningState.store(nullptr);
    lua_sethook(L, nullptr, 0, 0);  // an interrupt that came too late to stop anything
  }
  if (failed != nullptr) *failed = status != LUA_OK;
  if (status == LUA_OK) {
    printResults(L, base);
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
  }
  lua_settop(L, base);
  std::fflush(stdout);
  std::fflush(stderr);
  return true;
}

void setCompletionVocabulary(std::vector<std::string> words) {
  completionVocabulary = std::move(words);
}

std::vector<std::string> completionsFor(lua_State* L, const std::string& line, int start) {
  lua_State* saved = completionState;
  completionState = L;
  std::vector<std::string> out =
      completionCandidates(line.substr(static_cast<size_t>(start)),
                           insideString(line.c_str(), static_cast<int>(line.size())));
  completionState = saved;
  return out;
}

int runInteractive(lua_State* L, const std::string& historyFile, bool stopAtError) {
  openHistory(historyFile);
  completionState = L;
  rl_attempted_completion_function = complete;
  // Quotes are no word breaks: a name inside a string is completed together with the quote and
  // what stands before it, so readline never takes the string for one it should close.
  rl_completer_word_break_characters = const_cast<char*>(" \t\n`@$><=;|&{(),[]+-*/%^~#");
  InterruptHandler interrupts;
  std::printf("mdhost interactive loop: Lua 5.4 with the package functions. "
              "Ctrl-C interrupts, Ctrl-D ends.\n");
  std::fflush(stdout);

  std::string pending;
  for (;;) {
    bool interrupted = false;
    const std::optional<std::string> line =
        readLine(pending.empty() ? kPrompt : kContinuationPrompt, &interrupted);
    if (interrupted) {
      pending.clear();
      continue;
    }
    if (!line) break;
    if (pending.empty() && line->empty()) continue;
    pending += pending.empty() ? *line : "\n" + *line;
    if (!isCompleteText(L, pending)) continue;
    remember(historyFile, pending);
    bool failed = false;
    runPendingText(L, pending, false, &failed);
    pending.clear();
    if (failed && stopAtError) {
      completionState = nullptr;
      return 1;
    }
  }
  std::printf("\n");
  completionState = nullptr;
  return 0;
}

}  // namespace runner
