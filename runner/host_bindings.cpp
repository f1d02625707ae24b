#include "runner/host_bindings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "mdserver/interface/client_interface.h"
#include "runner/character_variable.h"

// Lua raises errors with longjmp, which skips C++ destructors. So every binding here checks its
// Lua arguments first (where an error may longjmp while no C++ object is alive), then does its
// C++ work in a helper that catches exceptions and pushes the message, and only after that
// helper has returned (its objects destroyed) calls lua_error.

namespace runner {
namespace {

constexpr const char* kMissingType = "mdhost.missing";
constexpr const char* kAbsentType = "mdhost.absent";
constexpr const char* kContextKey = "mdhost.context";

ScriptContext* contextOf(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kContextKey);
  auto* context = static_cast<ScriptContext*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return context;
}

// Kind of argument i (0-based) from the descriptor's argWord: 1 numeric, 2 character input,
// 6 character output. The word describes at most ten arguments; the functions without an upper
// limit take character inputs beyond them.
uint32_t argumentKind(const FunctionDescriptor& descriptor, int i) {
  if (i >= 10) return kArgCharacterInput;
  const uint32_t kind = (descriptor.argWord >> (3 * i)) & 7u;
  return kind == 0 ? kArgCharacterInput : kind;
}

// "takes 3", "takes 3 to 4", "takes at least 4".
void pushExpectedCount(lua_State* L, const FunctionDescriptor& descriptor) {
  if (descriptor.maxArgs == kNoUpperLimit) {
    lua_pushfstring(L, "at least %d", static_cast<int>(descriptor.minArgs));
  } else if (descriptor.minArgs == descriptor.maxArgs) {
    lua_pushfstring(L, "%d", static_cast<int>(descriptor.minArgs));
  } else {
    lua_pushfstring(L, "%d to %d", static_cast<int>(descriptor.minArgs),
                    static_cast<int>(descriptor.maxArgs));
  }
}

// What a package function's call knows besides the function: the context and the metatables of
// `missing` and `absent` (character variables carry their own tag). One per Lua state, shared by
// every function's binding, so a call identifies its arguments by comparing pointers instead of
// looking the type names up in the registry for each argument.
struct CallTypes {
  ScriptContext* context = nullptr;
  const void* missing = nullptr;    // metatable of `missing`
  const void* absent = nullptr;     // metatable of `absent`
};

enum class Value { kNil, kMissing, kAbsent, kCharacter, kString, kNumber, kOther };

Value classify(lua_State* L, int index, const CallTypes& types,
               refhost::CharacterVariable** variable) {
  switch (lua_type(L, index)) {
    case LUA_TNIL: return Value::kNil;
    case LUA_TNUMBER: return Value::kNumber;
    case LUA_TSTRING: return Value::kString;
    case LUA_TUSERDATA: {
      // Character variables, nearly every userdata a call gets, are known by their tag.
      if (refhost::CharacterVariable* found =
              characterVariableInBlock(lua_touserdata(L, index), lua_rawlen(L, index))) {
        *variable = found;
        return Value::kCharacter;
      }
      if (lua_getmetatable(L, index) == 0) return Value::kOther;
      const void* metatable = lua_topointer(L, -1);
      lua_pop(L, 1);
      if (metatable == types.missing) return Value::kMissing;
      if (metatable == types.absent) return Value::kAbsent;
      return Value::kOther;
    }
    default: return Value::kOther;
  }
}

// Arguments of one call, kept on the C stack for the usual counts.
constexpr int kInlineArguments = 12;

// Checks every argument against its declared kind, raising a Lua error that names the function,
// and writes what the host is to pass for it into views. Only plain records exist while it runs
// (a Lua error leaves by a jump that runs no destructor); a string argument's text stays on the
// Lua stack for the whole call.
void prepareArguments(lua_State* L, const refhost::LoadedFunction& function, int count,
                      const CallTypes& types, refhost::ArgumentView* views) {
  using Kind = refhost::Argument::Kind;
  if (!function.acceptsCount(count)) {
    pushExpectedCount(L, function.descriptor);
    luaL_error(L, "%s called with %d argument%s; it takes %s", function.name.c_str(), count,
               count == 1 ? "" : "s", lua_tostring(L, -1));
  }
  for (int i = 1; i <= count; ++i) {
    refhost::CharacterVariable* variable = nullptr;
    const Value value = classify(L, i, types, &variable);
    const bool numeric = argumentKind(function.descriptor, i - 1) == kArgNumericInput;
    refhost::ArgumentView& view = views[i - 1];
    view = {Kind::kAbsent, nullptr, {}, 0.0};
    switch (value) {
      case Value::kAbsent:
        continue;
      case Value::kNil:
      case Value::kMissing:
        // A missing character value is blank in the host language: an empty constant.
        view.kind = numeric ? Kind::kMissing : Kind::kLiteral;
        view.text = std::string_view("");
        continue;
      default:
        break;
    }
    if (numeric) {
      if (value != Value::kNumber) {
        luaL_error(L, "bad argument #%d to %s (number expected, got %s)", i,
                   function.name.c_str(), luaL_typename(L, i));
      }
      view.kind = Kind::kNumber;
      // An integer is read without the conversion path a float takes: the same value.
      view.number = lua_isinteger(L, i) ? static_cast<lua_Number>(lua_tointeger(L, i))
                                        : lua_tonumber(L, i);
    } else if (value == Value::kCharacter) {
      view.kind = Kind::kVariable;
      view.variable = variable;
    } else if (value == Value::kString) {
      size_t length = 0;
      const char* text = lua_tolstring(L, i, &length);
      view.kind = Kind::kLiteral;
      view.text = std::string_view(text, length);
    } else {
      luaL_error(L, "bad argument #%d to %s (character variable or string expected, got %s)",
                 i, function.name.c_str(), luaL_typename(L, i));
    }
  }
}

// Whole numbers come back as Lua integers so that counts print as "3", not "3.0".
void pushNumber(lua_State* L, double value) {
  if (refhost::isMissingValue(value)) {
    lua_getglobal(L, "missing");
  } else if (std::fabs(value) < 9007199254740992.0 &&
             static_cast<double>(static_cast<lua_Integer>(value)) == value) {
    // A whole number below 2^53 (-0 included) is a Lua integer.
    lua_pushinteger(L, static_cast<lua_Integer>(value));
  } else {
    lua_pushnumber(L, value);
  }
}

// Returns the number of results pushed, or -1 after pushing an error message.
int invoke(lua_State* L, refhost::ReferenceHost& host, HostSession* session,
           const refhost::LoadedFunction& function, int count,
           const refhost::ArgumentView* views) {
  try {
    const refhost::CallResult result = host.call(
        session, function, std::span<const refhost::ArgumentView>(views, static_cast<size_t>(count)));
    if (result.hostError != 0) {
      luaL_where(L, 1);
      lua_pushfstring(L, "%s: host error %d raised during the call (%s); the program stops",
                      function.name.c_str(), static_cast<int>(result.hostError),
                      result.hostError == kHostErrorOutOfMemory ? "out of memory" : "error");
      lua_concat(L, 2);
      return -1;
    }
    switch (result.form) {
      case refhost::CallForm::kNumeric:
        pushNumber(L, result.numericValue);
        break;
      case refhost::CallForm::kCharacter:
        lua_pushlstring(L, result.characterValue.data(), result.characterValue.size());
        break;
      case refhost::CallForm::kNone:
        lua_pushinteger(L, result.returnCode);
        break;
    }
    return 1;
  } catch (const std::exception& error) {
    luaL_where(L, 1);
    lua_pushstring(L, error.what());
    lua_concat(L, 2);
    return -1;
  }
}

StatusCode exactFailureCode(ScriptContext& context);

// The failure SYSRC shows after a call: its exact code when known, else 1; 0 when none.
StatusCode failedStatusShown(ScriptContext& context) {
  try {
    const auto shown = context.host->macroText("SYSRC", context.session);
    if (!shown || shown->empty() || *shown == "0") return 0;
    const StatusCode exact = exactFailureCode(context);
    return exact != 0 ? exact : 1;
  } catch (const std::exception&) {
    return 0;  // the session is gone; the next call says so
  }
}

// --bail: the first call that reports a failure status ends the program. The error names the
// call, its line and the status; a hook raises it again at every step after, so a pcall in the
// program cannot catch it and go on.
constexpr const char* kBailMessageKey = "mdhost.bail";

void bailHook(lua_State* L, lua_Debug*) {
  lua_getfield(L, LUA_REGISTRYINDEX, kBailMessageKey);
  lua_error(L);
}

int stopForBail(lua_State* L, ScriptContext& context, const refhost::LoadedFunction& function,
                StatusCode status) {
  context.bailed = true;
  luaL_where(L, 1);
  char text[160];
  if (status == 1) {  // SYSRC shows a failure whose exact code is not known
    std::snprintf(text, sizeof text, "%s reported a failure; --bail stops the program",
                  function.name.c_str());
  } else {
    std::snprintf(text, sizeof text, "%s reported status 0x%08X; --bail stops the program",
                  function.name.c_str(), static_cast<unsigned>(status));
  }
  lua_pushstring(L, text);
  lua_concat(L, 2);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, kBailMessageKey);
  lua_sethook(L, bailHook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
  return lua_error(L);
}

// What a package function's entry needs: the function and the state's shared CallTypes.
struct FunctionBinding {
  const refhost::LoadedFunction* function;
  const CallTypes* types;
};

int callBound(lua_State* L, const FunctionBinding& binding) {
  const refhost::LoadedFunction* function = binding.function;
  const CallTypes* types = binding.types;
  // Read before the argument records are written: read after them, these loads could be taken
  // for loads of those records (same low address bits) and wait for them, which perf showed
  // costing a tenth of the call in some builds.
  ScriptContext& context = *types->context;
  refhost::ReferenceHost& host = *context.host;
  HostSession* const session = context.session;
  const int count = lua_gettop(L);
  refhost::ArgumentView inlineViews[kInlineArguments];
  refhost::ArgumentView* views = inlineViews;
  if (count > kInlineArguments) {
    // Memory of the Lua state, which a Lua error cannot leak; it sits above the arguments.
    views = static_cast<refhost::ArgumentView*>(
        lua_newuserdatauv(L, sizeof(refhost::ArgumentView) * static_cast<size_t>(count), 0));
  }
  prepareArguments(L, *function, count, *types, views);
  if (context.bail) {
    const size_t reportedBefore = host.record().reportedStatuses.size();
    const int results = invoke(L, host, session, *function, count, views);
    if (results < 0) return lua_error(L);
    // A failure shows in SYSRC (every function but METADATA_PASSID resets it first), or only
    // in the host log through hostReportStatus (METASEC_SETAUTH, for one, reports so).
    const auto& reported = host.record().reportedStatuses;
    StatusCode failed = 0;
    if (reported.size() != reportedBefore && reported.back() != kStatusOk) failed = reported.back();
    if (const StatusCode shown = failedStatusShown(context); shown != 0) failed = shown;
    if (failed != 0) return stopForBail(L, context, *function, failed);
    return results;
  }
  const int results = invoke(L, host, session, *function, count, views);
  return results < 0 ? lua_error(L) : results;
}

// The first kDirectEntries functions of a state are called through entries of their own: entry
// I takes binding I from the state's table, whose address sits in the state's extra space
// (which every coroutine gets a copy of), so a call reads no upvalue. Reading an upvalue through
// the Lua API costs as much as a third of a bare Lua-to-C call, on every call.
constexpr int kDirectEntries = 128;

struct BindingTable {
  int used = 0;
  FunctionBinding entries[kDirectEntries];
};

BindingTable* bindingTableOf(lua_State* L) {
  BindingTable* table = nullptr;
  std::memcpy(&table, lua_getextraspace(L), sizeof table);
  return table;
}

template <int I>
int callDirect(lua_State* L) {
  return callBound(L, bindingTableOf(L)->entries[I]);
}

template <int... I>
constexpr std::array<lua_CFunction, sizeof...(I)> directEntries(
    std::integer_sequence<int, I...>) {
  return {&callDirect<I>...};
}
constexpr std::array<lua_CFunction, kDirectEntries> kDirectEntry =
    directEntries(std::make_integer_sequence<int, kDirectEntries>());

// Beyond the direct entries a function's closure holds its binding as its one upvalue.
int callPackageFunction(lua_State* L) {
  return callBound(L, *static_cast<const FunctionBinding*>(lua_touserdata(L, lua_upvalueindex(1))));
}

// The state's table of direct bindings, made at its first use and kept in the registry for the
// state's life. Its address goes into the main thread's extra space, which Lua leaves
// uninitialised and copies into every thread made later (and into L, if L is not the main one).
constexpr const char* kBindingsKey = "mdhost.bindings";

BindingTable& bindingTable(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kBindingsKey);
  auto* table = static_cast<BindingTable*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (table != nullptr) return *table;
  table = static_cast<BindingTable*>(lua_newuserdatauv(L, sizeof(BindingTable), 0));
  new (table) BindingTable{};
  lua_setfield(L, LUA_REGISTRYINDEX, kBindingsKey);
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
  lua_State* mainThread = lua_tothread(L, -1);
  lua_pop(L, 1);
  std::memcpy(lua_getextraspace(mainThread), &table, sizeof table);
  std::memcpy(lua_getextraspace(L), &table, sizeof table);
  return *table;
}

// Pushes the function that calls `function`: a direct entry while the state has one left, else
// a closure over its binding.
void pushPackageFunction(lua_State* L, const refhost::LoadedFunction& function,
                         const CallTypes* types) {
  BindingTable& table = bindingTable(L);
  if (table.used < kDirectEntries) {
    table.entries[table.used] = {&function, types};
    lua_pushcfunction(L, kDirectEntry[static_cast<size_t>(table.used)]);
    ++table.used;
    return;
  }
  auto* binding = static_cast<FunctionBinding*>(lua_newuserdatauv(L, sizeof(FunctionBinding), 0));
  *binding = {&function, types};
  lua_pushcclosure(L, callPackageFunction, 1);
}

// symget(name): the macro variable's text as the calling session sees it, or nil.
int symget(lua_State* L) {
  size_t length = 0;
  const char* name = luaL_checklstring(L, 1, &length);
  ScriptContext* context = contextOf(L);
  bool failed = false;
  try {
    if (const auto text = context->host->macroText(std::string_view(name, length),
                                                   context->session)) {
      lua_pushlstring(L, text->data(), text->size());
    } else {
      lua_pushnil(L);
    }
  } catch (const std::exception& error) {
    lua_pushstring(L, error.what());
    failed = true;
  }
  return failed ? lua_error(L) : 1;
}

// The exact code behind SYSRC, or 0 when SYSRC shows no failure or shows a number that is not
// the single-precision image of the last code whose message text the packages asked for.
StatusCode exactFailureCode(ScriptContext& context) {
  const auto shown = context.host->macroText("SYSRC", context.session);
  if (!shown || shown->empty() || *shown == "0") return 0;
  const StatusCode code = context.host->lastMessageStatus(context.session);
  if (code == 0) return 0;
  // What report status stores: the code as a signed 32-bit integer through single precision.
  const double image = static_cast<double>(static_cast<float>(static_cast<int32_t>(code)));
  return refhost::ReferenceHost::formatMacroNumber(image) == *shown ? code : 0;
}

// sysrc(): the exact status code of the failure SYSRC shows, as a number and as hex text
// ("0x801720DF"); nil when SYSRC shows none. SYSRC itself cannot tell neighbouring codes apart.
int sysrc(lua_State* L) {
  ScriptContext* context = contextOf(L);
  StatusCode code = 0;
  bool failed = false;
  try {
    code = exactFailureCode(*context);
  } catch (const std::exception& error) {
    lua_pushstring(L, error.what());
    failed = true;
  }
  if (failed) return lua_error(L);
  if (code == 0) {
    lua_pushnil(L);
    return 1;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  lua_pushinteger(L, static_cast<lua_Integer>(code));
  lua_pushstring(L, hex);
  return 2;
}

// hostlog([first]): the host log lines written so far (from line `first` on), as a table.
int hostlog(lua_State* L) {
  const lua_Integer first = luaL_optinteger(L, 1, 1);
  luaL_argcheck(L, first >= 1, 1, "first line must be 1 or more");
  const auto& lines = contextOf(L)->host->logLines();
  lua_createtable(L, static_cast<int>(lines.size()), 0);
  lua_Integer index = 0;
  for (size_t i = static_cast<size_t>(first - 1); i < lines.size(); ++i) {
    lua_pushlstring(L, lines[i].text.data(), lines[i].text.size());
    lua_rawseti(L, -2, ++index);
  }
  return 1;
}

int pushCalls(lua_State* L, ScriptContext& context, const char* operation) {
  try {
    const auto calls = context.accounting.callsPerOperation(context.session);
    if (operation != nullptr) {
      const auto found = calls.find(operation);
      lua_pushinteger(L, found == calls.end() ? 0 : static_cast<lua_Integer>(found->second));
      return 1;
    }
    lua_createtable(L, 0, static_cast<int>(calls.size()));
    for (const auto& [name, count] : calls) {
      lua_pushinteger(L, static_cast<lua_Integer>(count));
      lua_setfield(L, -2, name.c_str());
    }
    return 1;
  } catch (const std::exception& error) {
    luaL_where(L, 1);
    lua_pushstring(L, error.what());
    lua_concat(L, 2);
    return -1;
  }
}

// Pushes the interface's own spelling of operation and returns true; or pushes a message
// naming the known operations and returns false. Its strings are gone before the caller raises.
bool canonicalOperation(lua_State* L, const char* operation) {
  const std::string_view wanted(operation);
  const auto& names = mdserver::ClientInterface::operationNames();
  for (const std::string& name : names) {
    if (name.size() == wanted.size() &&
        std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      lua_pushlstring(L, name.data(), name.size());
      return true;
    }
  }
  std::string message = "calls: unknown interface operation '" + std::string(wanted) +
                        "' (known: ";
  for (size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + names[i];
  message += ")";
  lua_pushlstring(L, message.data(), message.size());
  return false;
}

// calls(op): how often the interface operation `op` was called in this session; calls(): a
// table of every operation called so far.
int calls(lua_State* L) {
  const char* operation = luaL_optstring(L, 1, nullptr);
  if (operation != nullptr) {
    // A misspelt name would otherwise read as "never called"; names are taken without regard
    // to case, as the interface's own operation names are written in camel case.
    if (!canonicalOperation(L, operation)) {
      luaL_where(L, 1);
      lua_insert(L, -2);
      lua_concat(L, 2);
      return lua_error(L);
    }
    operation = lua_tostring(L, -1);
  }
  ScriptContext* context = contextOf(L);
  if (!context->accounting.callsPerOperation) {
    return luaL_error(L, "calls: no repository is attached");
  }
  const int results = pushCalls(L, *context, operation);
  return results < 0 ? lua_error(L) : results;
}

// pool(): blocks and bytes outstanding in the pools of this session's interfaces.
int pool(lua_State* L) {
  ScriptContext* context = contextOf(L);
  if (!context->accounting.poolOutstanding) {
    return luaL_error(L, "pool: no repository is attached");
  }
  std::pair<uint64_t, uint64_t> outstanding;
  bool failed = false;
  try {
    outstanding = context->accounting.poolOutstanding(context->session);
  } catch (const std::exception& error) {
    luaL_where(L, 1);
    lua_pushstring(L, error.what());
    lua_concat(L, 2);
    failed = true;
  }
  if (failed) return lua_error(L);
  lua_pushinteger(L, static_cast<lua_Integer>(outstanding.first));
  lua_pushinteger(L, static_cast<lua_Integer>(outstanding.second));
  return 2;
}

// Returns the new session, or null after pushing an error message.
HostSession* beginSession(lua_State* L, ScriptContext& context, const char* name) {
  try {
    return context.host->newSession(context.session, name);
  } catch (const std::exception& error) {
    lua_pushstring(L, error.what());
    return nullptr;
  }
}

bool endSession(lua_State* L, ScriptContext& context, HostSession* session) {
  try {
    context.host->endSession(session);
    return true;
  } catch (const std::exception& error) {
    lua_pushstring(L, error.what());
    return false;
  }
}

// newsession{context=TEXT, FUNCTION}: runs FUNCTION with its calls in a new child session of the
// current one, then ends that session (its cleanups run) and returns FUNCTION's results. An
// error inside FUNCTION still ends the session before it propagates. With user=NAME (and
// password=TEXT), a session of context "DOSUB" gets connections of its own for that user.
int newsession(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  lua_getfield(L, 1, "context");
  const char* name = luaL_optstring(L, -1, "");
  if (lua_rawgeti(L, 1, 1) != LUA_TFUNCTION) {
    lua_pop(L, 1);
    lua_getfield(L, 1, "run");
  }
  if (lua_type(L, -1) != LUA_TFUNCTION) {
    return luaL_error(L, "newsession expects a function: newsession{context=\"DOSUB\", "
                      "function() ... end}");
  }
  const int function = lua_gettop(L);
  lua_getfield(L, 1, "user");
  const char* user = lua_tostring(L, -1);
  lua_getfield(L, 1, "password");
  const std::string password = luaL_optstring(L, -1, "");
  const std::string userName = user != nullptr ? user : "";
  lua_settop(L, function);
  if (!userName.empty() && std::string(name) != "DOSUB") {
    return luaL_error(L, "newsession: user= needs context=\"DOSUB\" (a connection of its own)");
  }
  ScriptContext* context = contextOf(L);
  HostSession* parent = context->session;
  HostSession* child = beginSession(L, *context, name);
  if (child == nullptr) return lua_error(L);
  if (!userName.empty() && context->connectAs) context->connectAs(child, userName, password);

  const int base = lua_gettop(L) - 1;
  context->session = child;
  const int status = lua_pcall(L, 0, LUA_MULTRET, 0);
  context->session = parent;
  if (!endSession(L, *context, child)) return lua_error(L);
  if (context->accounting.forgetSession) context->accounting.forgetSession(child);
  if (status != LUA_OK) return lua_error(L);
  return lua_gettop(L) - base;
}

int missingToString(lua_State* L) {
  lua_pushliteral(L, ".");
  return 1;
}

int absentToString(lua_State* L) {
  lua_pushliteral(L, "absent");
  return 1;
}

// A unique userdata with the given type: `missing` and `absent` compare equal only to themselves.
void pushSentinel(lua_State* L, const char* type, lua_CFunction toString) {
  lua_newuserdatauv(L, 0, 0);
  luaL_newmetatable(L, type);
  lua_pushcfunction(L, toString);
  lua_setfield(L, -2, "__tostring");
  lua_setmetatable(L, -2);
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Seconds on a steady clock (arbitrary origin), for timing parts of a program: os.clock
// counts processor time, which misses the time a call spends waiting for a database server.
int now(lua_State* L) {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  lua_pushnumber(L, std::chrono::duration<double>(since).count());
  return 1;
}

// The text of argument `index` of the running call, when it is a string or a character
// variable; empty otherwise.
std::string argumentText(lua_State* L, int index) {
  if (lua_type(L, index) == LUA_TSTRING) return lua_tostring(L, index);
  if (lua_type(L, index) != LUA_TUSERDATA) return {};
  refhost::CharacterVariable* variable =
      characterVariableInBlock(lua_touserdata(L, index), lua_rawlen(L, index));
  return variable != nullptr ? std::string(variable->trimmed()) : std::string();
}

// True for a text that starts like an object URI: letters, then ':'.
bool looksLikeUri(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == 0 || colon == std::string::npos) return false;
  return std::all_of(text.begin(), text.begin() + static_cast<long>(colon),
                     [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::string locateNote(const ScriptContext& context, const std::string& note) {
  lua_State* L = context.state;
  if (L == nullptr) return note;
  // Level 0 is the package function's binding; the program's line is the first Lua frame above
  // it that is not one of mdhost's own helpers (describe() and the like call the functions too).
  std::string located = note;
  lua_Debug frame;
  for (int level = 1; lua_getstack(L, level, &frame) != 0; ++level) {
    if (lua_getinfo(L, "Sl", &frame) == 0 || frame.currentline <= 0 ||
        std::strcmp(frame.source, "=mdhost helpers") == 0) {
      continue;
    }
    located = std::string(frame.short_src) + ":" + std::to_string(frame.currentline) + ": " + note;
    break;
  }
  constexpr std::string_view kMark = "malformed object URI at position ";
  const size_t at = note.find(kMark);
  if (at == std::string::npos) return located;
  size_t position = 0;
  for (size_t i = at + kMark.size(); i < note.size() && std::isdigit(static_cast<unsigned char>(note[i])); ++i) {
    position = position * 10 + static_cast<size_t>(note[i] - '0');
    if (position > 100000) return located;
  }
  // The URI is the call's first argument that reads as one (argument 1 of the object
  // functions, 2 of the security functions that take a transaction first).
  const int count = lua_gettop(L);
  for (int i = 1; i <= count && i <= 3; ++i) {
    const std::string text = argumentText(L, i);
    if (!looksLikeUri(text) || position == 0 || position > text.size() + 1 ||
        text.find('\n') != std::string::npos) {
      continue;
    }
    return located + "\n    " + text + "\n    " + std::string(position - 1, ' ') + "^";
  }
  return located;
}

bool isMissing(lua_State* L, int index) {
  return luaL_testudata(L, index, kMissingType) != nullptr;
}

void openHostBindings(lua_State* L, ScriptContext& context) {
  lua_pushlightuserdata(L, &context);
  lua_setfield(L, LUA_REGISTRYINDEX, kContextKey);

  pushSentinel(L, kMissingType, missingToString);
  lua_setglobal(L, "missing");
  pushSentinel(L, kAbsentType, absentToString);
  lua_setglobal(L, "absent");

  lua_register(L, "symget", symget);
  lua_register(L, "sysrc", sysrc);
  lua_register(L, "hostlog", hostlog);
  lua_register(L, "calls", calls);
  lua_register(L, "pool", pool);
  lua_register(L, "now", now);
  lua_register(L, "newsession", newsession);
  openAccessBinding(L, context);
  openSecurityQueryBindings(L, context);

  // Shared by every function of the state. The metatables live in the registry as long as the
  // state, so their addresses identify the program's values for its whole life.
  auto* types = static_cast<CallTypes*>(lua_newuserdatauv(L, sizeof(CallTypes), 0));
  new (types) CallTypes{};
  types->context = &context;
  luaL_getmetatable(L, kMissingType);
  types->missing = lua_topointer(L, -1);
  luaL_getmetatable(L, kAbsentType);
  types->absent = lua_topointer(L, -1);
  lua_pop(L, 2);
  luaL_ref(L, LUA_REGISTRYINDEX);  // kept as long as the state

  for (const auto& library : context.host->libraries()) {
    for (const auto& function : library->functions()) {
      // The functions live as long as the host; the state keeps only their address.
      pushPackageFunction(L, function, types);
      lua_pushvalue(L, -1);
      lua_setglobal(L, function.name.c_str());
      lua_setglobal(L, lowerCase(function.name).c_str());
    }
  }
}

}  // namespace runner
