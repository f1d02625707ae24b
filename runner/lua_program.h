// Running Lua programs: a script file, a program read from standard input, or the interactive
// loop. The Lua state is created by the caller with whatever globals the program should see;
// these functions only load and run chunks and report errors.
//
// Contract: every function returns the process exit status it recommends (0 success, 1 a Lua
// error, 2 a file that cannot be read) and has already written the error, with the chunk name
// and line, to standard error.
#pragma once

#include <string>
#include <vector>

#include <lua.hpp>

namespace runner {

// Sets the global table 'arg' the way the stand-alone Lua interpreter does: arg[0] the script,
// arg[1..n] its arguments.
void setScriptArguments(lua_State* L, const std::string& script,
                        const std::vector<std::string>& arguments);

// Loads and runs a script file; "-" reads standard input. A path that cannot be opened (missing,
// unreadable, a directory) is reported with the reason and gives 2.
int runScriptFile(lua_State* L, const std::string& path);

// Runs one chunk of text (mdhost -e CHUNK); `name` names it in error messages.
int runChunk(lua_State* L, const std::string& text, const std::string& name);

// The interactive loop's rules over standard input that is no terminal (mdhost -i < file): each
// complete statement or expression runs as it is read, expressions print their values, errors
// are reported and the loop goes on. Returns 0 at end of input.
// With stopAtError (--bail) the first line that fails ends the loop, and the result is 1.
int runLines(lua_State* L, bool stopAtError = false);

// Reads all of standard input and runs it as one chunk named "stdin".
int runStandardInput(lua_State* L);

// The interactive loop: line editing and history, expressions print their values, incomplete
// statements continue on the next line. Returns 0 at end of input; with stopAtError (--bail)
// the first entry that fails ends the loop with 1.
int runInteractive(lua_State* L, const std::string& historyFile, bool stopAtError = false);

// The interactive loop's step shared by runInteractive and runLines: `pending` (the text read so
// far) is run when complete; expression values are printed, errors reported. Returns false when
// the text is an incomplete statement that the next line may complete (unless `atEnd`: then its
// syntax error is reported); true once it ran or failed.
// *failed (when given) tells whether the text raised an error or failed to compile.
bool runPendingText(lua_State* L, const std::string& pending, bool atEnd, bool* failed = nullptr);

// Words the interactive loop completes inside strings: type and association names.
void setCompletionVocabulary(std::vector<std::string> words);

// What Tab offers for the word that starts at `start` of `line` and ends the line (for tests of
// completion).
std::vector<std::string> completionsFor(lua_State* L, const std::string& line, int start);

// True unless the text is a statement that more lines may complete.
bool isCompleteText(lua_State* L, const std::string& pending);

// Runs the chunk on top of the stack with a message handler that keeps the error's position.
// Returns the Lua status; on error the message is left on the stack.
int callChunk(lua_State* L, int argumentCount, int resultCount);

}  // namespace runner
