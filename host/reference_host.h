// The reference host: loads a function package exactly as the statistical-language host would
// (dlopen, mcn_main, image block, module record, registration) and serves every numbered host
// service and the runtime table for real, so the packages can be run, tested and used without
// the real host.
//
// Contract
// - One ReferenceHost owns one HostInterface, one runtime table, one session tree, one log and
//   one name-value store. Several hosts may live in one process (tests do that); the services
//   have no context argument, so they act on the *active* host: the host that is executing a
//   call, a load or a session end on this thread, else the most recently constructed host that
//   is still alive. `ActiveHostScope` makes a host active explicitly (for tools that call the
//   runtime table themselves).
// - Nothing here throws across the package boundary: the service functions never throw. The
//   host's own API (load, call, endSession on a bad session) throws refhost::HostError with a
//   message that says what was wrong and where.
// - Not thread-safe: one thread drives a host at a time, as the packages expect of the real host.
//
// Choices the packages leave to the host (documented here once)
// - Macro variables live per session: hostMacroScope(session) gives that session's scope; a read
//   through macroText() looks in the session first and then in its ancestors. So two sessions
//   never see each other's SYSMSG/SYSRC.
// - Numbers given to hostSetMacroNumber are stored as the shortest text that reads back exactly:
//   integral values below 2^53 in magnitude print as plain integers (-2145967872, 0), every
//   other value in the shortest round-trip form (1.5, 0.1, 1e+300, 1e-300); NaN and infinities
//   print as "." (the host's missing-value text).
// - Missing numeric value: the NaN with bits 0xFFFF000000000000 (exponent all ones, and the top
//   16 bits all ones, which the random engine's missing-value test also recognises).
// - Named items: exact byte comparison of names; reading a missing item succeeds with null.
// - Name-value store: names compare case-insensitively (ASCII and common Latin/Greek/Cyrillic
//   letters); a set that would change the type of an existing value returns 0x803FC264.
// - Character classes: mask 8 blank (space, tab, CR, LF, VT, FF); mask 7: 1 ASCII letter,
//   2 digit, 4 byte of a multi-byte character (0x80-0xFF). '_' has no class bit.
// - hostTextTest(prefix, text, length): 1 when the text begins with the NUL-terminated prefix,
//   ignoring ASCII case; else 0.
// - hostRaiseError: by default the reference host records and logs the error and marks the
//   executing call; call() reports it in CallResult::hostError, and the package continues and
//   returns on its own. With HostConfig::leaveCallOnOutOfMemory, error 1016 leaves the call at
//   once, as a real host may: a non-local jump (longjmp) from inside hostRaiseError back to
//   where call() entered the callback, past the package's frames without unwinding them. The
//   callback's result is then the missing value (or an empty character value, return code 0).
// - Option text: set in command-line form ("-rngseed=5"); hostGetOptionText serves it in the
//   host's own form, each token without its introducing dash ("rngseed=5").
// - The current task record always exists; between calls its session is the top session.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "frame/host_abi.h"

namespace refhost {

namespace detail {
class HostCore;
}

// Bits of the host's missing numeric value; see the header comment.
inline constexpr uint64_t kHostMissingValueBits = 0xFFFF000000000000ull;
// Inline: every call of a numeric function reads or writes one.
inline double missingValue() { return std::bit_cast<double>(kHostMissingValueBits); }
// True for any double whose exponent bits are all ones.
inline bool isMissingValue(double value) {
  return (std::bit_cast<uint64_t>(value) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
}

// Failure of the host's own API (bad library, bad argument count, unknown session, ...).
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Status codes of the reference host's own services (texts in the message catalogue).
inline constexpr StatusCode kHostStatusMissingArgument = 0x803FC002u;   // null pointer argument
inline constexpr StatusCode kHostStatusUnknownSelector = 0x803FC003u;   // query/option selector
inline constexpr StatusCode kHostStatusUnknownOption = 0x803FC004u;     // hostGetOption name
inline constexpr StatusCode kHostStatusNoNumber = 0x803FC005u;          // hostParseNumber
inline constexpr StatusCode kHostStatusNoJavaObject = 0x803FC006u;      // hostPassIdentity
inline constexpr StatusCode kHostStatusBufferTooSmall = 0x803FC007u;    // output does not fit
inline constexpr StatusCode kHostStatusBadSession = 0x803FC008u;        // ended/unknown session
inline constexpr StatusCode kHostStatusNoMetadataServer = 0x803FC010u;  // no provider installed
inline constexpr StatusCode kHostStatusBadSlot = 0x803FC011u;           // extension slot number

// ---------------------------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------------------------
struct LogLine {
  int32_t level;     // kLevel* of host_abi.h; -1 for plain lines (hostLogLine)
  std::string text;  // the whole line as written, prefix included ("ERROR: ...")
};

// ---------------------------------------------------------------------------------------------
// Allocators: every allocator and pool counts its blocks and can fail on request.
// ---------------------------------------------------------------------------------------------
struct AllocatorStats {
  uint64_t requests = 0;           // allocate calls, failed ones included
  uint64_t failures = 0;           // allocate calls that returned null
  uint64_t releases = 0;           // release calls that freed a block
  uint64_t badReleases = 0;        // release of a block this allocator does not hold (ignored)
  uint64_t blocksOutstanding = 0;
  uint64_t bytesOutstanding = 0;
};

// ---------------------------------------------------------------------------------------------
// Recording of service calls that tests check.
// ---------------------------------------------------------------------------------------------
struct OptionEvent {
  enum Kind { kUpdate, kSet } kind;
  int32_t first;   // update: mode; set: option
  int32_t second;  // set: value; update: 0
};
struct LoadComponentCall {
  int32_t component;
  std::string name;
  int32_t mode;
};
struct PutMessageCall {
  int32_t module;
  int32_t message;
};
struct HostRecord {
  std::vector<LoadComponentCall> loadComponentCalls;
  std::vector<std::string> issuedMessages;      // hostIssueMessage texts, bytes as received
  std::vector<StatusCode> reportedStatuses;     // hostReportStatus codes
  std::vector<PutMessageCall> putMessages;
  std::vector<OptionEvent> optionEvents;        // hostOptionUpdate / hostOptionSet in order
  std::vector<int32_t> raisedErrors;            // hostRaiseError numbers
  std::vector<std::vector<uint8_t>> taskSyncs;  // 16-byte contexts given to hostTaskSync
  uint64_t metadataInterfaceRequests = 0;       // hostGetMetadataInterface calls
  uint64_t passIdentityRequests = 0;
};

// ---------------------------------------------------------------------------------------------
// Arguments of a call.
// ---------------------------------------------------------------------------------------------

// A character variable of the calling program: a fixed capacity and a current length. The host
// passes it as a CharacterSlot over its own storage, so a write by the package reaches it.
class CharacterVariable {
 public:
  explicit CharacterVariable(int64_t capacity, std::string_view initial = {});
  int64_t capacity() const { return slot_.capacity; }
  int64_t length() const { return slot_.length; }
  // The text up to the current length (cut at the capacity when a package set more).
  std::string_view value() const;
  // value() without trailing blanks.
  std::string_view trimmed() const;
  // Blank-fills the capacity, copies at most capacity bytes, sets the length to what was copied.
  void assign(std::string_view text);
  CharacterSlot* slot() { return &slot_; }

 private:
  std::vector<char> storage_;
  CharacterSlot slot_{};
};

struct Argument {
  enum class Kind { kVariable, kLiteral, kNumber, kMissing, kAbsent };
  Kind kind = Kind::kAbsent;
  CharacterVariable* variable = nullptr;  // kVariable
  std::string text;                       // kLiteral (literal())
  double number = 0.0;                    // kNumber
  std::string_view borrowedText{};        // kLiteral (borrowed()): the caller's bytes

  static Argument of(CharacterVariable& v) { return {Kind::kVariable, &v, {}, 0.0}; }
  static Argument literal(std::string_view t) { return {Kind::kLiteral, nullptr, std::string(t), 0.0}; }
  // A text constant whose bytes the caller keeps alive until the call returns (the host still
  // passes the function a copy); spares a caller that has the text anyway an allocation.
  static Argument borrowed(std::string_view t) {
    return {Kind::kLiteral, nullptr, {}, 0.0, t.data() != nullptr ? t : std::string_view("")};
  }
  static Argument numeric(double d) { return {Kind::kNumber, nullptr, {}, d}; }
  static Argument missing() { return {Kind::kMissing, nullptr, {}, 0.0}; }
  static Argument absent() { return {Kind::kAbsent, nullptr, {}, 0.0}; }
  // The constant's text, whichever way it was given.
  std::string_view literalText() const {
    return borrowedText.data() != nullptr ? borrowedText : std::string_view(text);
  }
};

// An argument as a caller already holds it: nothing owned and nothing to destroy, so a caller can
// build a call's arguments where no destructor could run (between the checks of an interpreter
// that leaves by a jump), and an array of them costs nothing to set up. The text of a constant
// must stay alive until call() returns; the host still hands the function a copy. Left
// uninitialised when declared without braces, on purpose.
struct ArgumentView {
  Argument::Kind kind;
  CharacterVariable* variable;  // kVariable
  std::string_view text;        // kLiteral
  double number;                // kNumber

  static ArgumentView of(const Argument& a) {
    return {a.kind, a.variable, a.literalText(), a.number};
  }
};

// ---------------------------------------------------------------------------------------------
// Loaded packages.
// ---------------------------------------------------------------------------------------------
class LoadedLibrary;

enum class CallForm { kNumeric = 0, kNone = 1, kCharacter = 2 };

struct LoadedFunction {
  std::string name;               // as registered (capitals)
  FunctionDescriptor descriptor;  // copy of the package's row
  void* callback = nullptr;
  int32_t row = 0;                // 1-based registration order
  const LoadedLibrary* library = nullptr;
  CallForm form() const { return static_cast<CallForm>(descriptor.callWord & 7u); }
  bool acceptsCount(int32_t count) const {
    if (count < descriptor.minArgs) return false;
    return descriptor.maxArgs == kNoUpperLimit || count <= descriptor.maxArgs;
  }
};

class LoadedLibrary {
 public:
  const std::string& path() const { return path_; }
  const ImageInformationBlock* image() const { return image_; }
  const ModuleRecord* module() const { return module_; }
  std::string moduleName() const;
  uintptr_t loadBase() const { return loadBase_; }
  Tkvercn1Entry tkvercn1() const { return tkvercn1_; }
  void* moduleToken() const { return const_cast<LoadedLibrary*>(this); }
  const std::vector<LoadedFunction>& functions() const { return functions_; }
  // Case-insensitive look-up by name; null when the library has no such function.
  const LoadedFunction* find(std::string_view name) const;

 private:
  friend class detail::HostCore;
  std::string path_;
  void* handle_ = nullptr;
  const ImageInformationBlock* image_ = nullptr;
  const ModuleRecord* module_ = nullptr;
  uintptr_t loadBase_ = 0;
  Tkvercn1Entry tkvercn1_ = nullptr;
  std::vector<LoadedFunction> functions_;
};

struct CallResult {
  CallForm form = CallForm::kNumeric;
  int32_t returnCode = 0;        // the callback's own 32-bit return value
  double numericValue = 0.0;     // form kNumeric: the stored double (missing value if unset)
  std::string characterValue;    // form kCharacter: the result slot's text up to its length
  int32_t hostError = 0;         // hostRaiseError number raised during the call, else 0
};

using MetadataProvider = std::function<StatusCode(HostSession* session, void** interfaceOut)>;

struct JavaObject {
  void* environment = nullptr;
  void* javaClass = nullptr;
  void* object = nullptr;
};

struct NameValue {
  std::variant<double, int64_t, std::u16string> value;
};

struct HostConfig {
  std::string optionText;            // the startup option text, e.g. "-rngseed=5"
  int64_t yearCutoff = 1940;         // value of the option YEARCUTOFF
  bool rdrandAvailable = true;       // false: report a processor without RDRAND
  bool multiByte = false;            // multi-byte mode flag of the host interface
  FILE* logFile = stderr;            // echo of the log; null keeps it in memory only
  int64_t characterResultCapacity = 200;  // capacity of the result of character functions
  bool leaveCallOnOutOfMemory = false;    // hostRaiseError(1016) jumps out of the call at once
  // Keep every hostLoadComponent call in record().loadComponentCalls, for tests that check it.
  // Every function call makes one, so a program that runs for long turns this off: the record
  // would otherwise grow with each call for as long as the program runs.
  bool recordComponentLoads = true;
  // Java bridge (java_runtime.h): the class path of the Java VM when this host starts it, and
  // the Java homes searched for the runtime (empty: $JAVA_HOME, the Debian default JDK, the
  // build's JDK).
  std::string javaClassPath;
  std::vector<std::string> javaHomes;
};

// What a method of a Java object returned: its String (nullopt for a null String), or why the
// call failed: no such object or method, or the Java exception it threw (as its toString()).
struct JavaCallResult {
  bool ok = false;
  std::optional<std::string> value;
  std::string error;
};

// ---------------------------------------------------------------------------------------------
// The host.
// ---------------------------------------------------------------------------------------------
class ReferenceHost {
 public:
  explicit ReferenceHost(HostConfig config = {});
  ~ReferenceHost();  // ends the top session (running cleanups), then unloads the libraries
  ReferenceHost(const ReferenceHost&) = delete;
  ReferenceHost& operator=(const ReferenceHost&) = delete;

  HostInterface* interface();
  RuntimeTable* runtime();

  // ---- Sessions and tasks
  HostSession* topSession();
  // A child of `parent` (top session when null) with the given context name ("DOSUB" makes the
  // session its own cache owner).
  HostSession* newSession(HostSession* parent, std::string_view context);
  // Ends the session: child sessions first (newest first), then its armed cleanups in creation
  // order (each run with a transient child of the session as the current task's session), then
  // its pool. Ending the top session is allowed only through the destructor.
  void endSession(HostSession* session);
  bool isLive(const HostSession* session) const;
  static HostSession* cacheOwner(HostSession* session);
  HostTask* task();
  void setTaskIdentity(uint64_t identity);
  void setThreadIdentity(std::optional<uint64_t> identity);
  // Named items and extension slots as the packages see them.
  void* namedItem(HostSession* session, std::string_view name) const;
  size_t cleanupCount(HostSession* session) const;  // registered, not destroyed

  // ---- Macro variables
  // The variable's text in `session` or its nearest ancestor; top session when null.
  std::optional<std::string> macroText(std::string_view name, HostSession* session = nullptr) const;
  void setMacroText(std::string_view name, std::string_view text, HostSession* session = nullptr);
  static std::string formatMacroNumber(double value);
  // The same text written into `buffer`, which the result views: no allocation.
  static constexpr size_t kMacroNumberRoom = 64;
  static std::string_view formatMacroNumber(double value, char (&buffer)[kMacroNumberRoom]);

  // ---- Options and modes
  void setOptionText(std::string text);
  const std::string& optionText() const;
  void setOption(std::string_view name, int64_t value);  // e.g. ("YEARCUTOFF", 1940)
  void setRdrandAvailable(bool available);
  void setMultiByte(bool on);
  const ProcessorRecord& processorRecord() const;

  // ---- Name-value store (UTF-16 names; see the header comment for the rules)
  void setNameValueText(std::u16string_view name, std::u16string_view value);
  void setNameValueDouble(std::u16string_view name, double value);
  void setNameValueInteger(std::u16string_view name, int64_t value);
  void removeNameValue(std::u16string_view name);
  std::optional<NameValue> nameValue(std::u16string_view name) const;

  // ---- Log
  const std::vector<LogLine>& logLines() const;
  std::vector<std::string> logTexts() const;
  void clearLog();
  void setLogFile(FILE* file);  // null: keep lines in memory only
  void log(int32_t level, std::string_view text);

  // ---- Allocators (streams, registration answers, session pools)
  HostAllocator* streamAllocator();
  HostAllocator* registrationAllocator();
  AllocatorStats allocatorStats(const HostAllocator* allocator) const;
  // The k-th allocate request from now (1 = the next) of that allocator returns null, once.
  // k = 0 cancels. Session pools are given as session->pool.
  void failAllocationAt(HostAllocator* allocator, uint64_t k);
  // The same for every session pool, counted across all of them (pools created later included).
  void failSessionPoolsAt(uint64_t k);
  // Asked before every request of every allocator of the host (streams, registration answers,
  // session pools); an answer of true fails that request. Empty: no faults from it.
  void setAllocationFaultHook(std::function<bool()> hook);
  AllocatorStats sessionPoolTotals() const;  // sum over live session pools

  // ---- Metadata server and Java bridge
  void setMetadataProvider(MetadataProvider provider);
  // hostPassIdentity resolves a name (case-insensitive, trailing blanks aside) to a Java object
  // of the calling program: one registered here as it is (environment, class and object given
  // by the caller, e.g. a test's recording environment), or one made by createJavaObject.
  void registerJavaObject(std::string_view name, JavaObject object);
  void removeJavaObject(std::string_view name);
  // Makes an object of `className` ("rux.CredentialReceiver") with its constructor without
  // arguments, starting the process's Java VM on first need, and keeps it under `name`
  // (replacing an object of that name). Empty on success; else what went wrong, e.g.
  // "no Java runtime found; set JAVA_HOME (searched: ...)" or the Java exception thrown.
  std::string createJavaObject(std::string_view name, std::string_view className);
  // Calls `method`, a method without arguments that returns a String, on the object `name`.
  JavaCallResult callJavaStringMethod(std::string_view name, std::string_view method);
  // Forgets the object `name` (the VM may then collect it). False when there was none.
  bool dropJavaObject(std::string_view name);

  // ---- Recording
  const HostRecord& record() const;
  void clearRecord();

  // ---- Message catalogue
  static std::string messageText(StatusCode status);
  // The last code whose message text was asked for with `session` (0: none yet); this is how a
  // caller learns the exact code behind SYSMSG when SYSRC, a single-precision number, cannot
  // tell neighbouring codes apart.
  StatusCode lastMessageStatus(HostSession* session) const;

  // ---- Packages
  // Loads a package; throws HostError naming the file and what was wrong. Loading the same path
  // twice returns the library already loaded.
  const LoadedLibrary& load(const std::string& path);
  const std::vector<std::unique_ptr<LoadedLibrary>>& libraries() const;
  // Case-insensitive look-up across the loaded libraries (first loaded first); null if none.
  const LoadedFunction* findFunction(std::string_view name) const;
  // Calls a function in `session` (top session when null). Throws HostError when the argument
  // count is outside minArgs..maxArgs (message names the function and the counts).
  CallResult call(HostSession* session, const LoadedFunction& function, std::span<Argument> args);
  CallResult call(HostSession* session, std::string_view name, std::span<Argument> args);
  // The same call with arguments the caller holds (see ArgumentView).
  CallResult call(HostSession* session, const LoadedFunction& function,
                  std::span<const ArgumentView> args);

  detail::HostCore& core() { return *core_; }

 private:
  std::unique_ptr<detail::HostCore> core_;
};

// Makes `host` the active host of this thread while it lives (nests).
class ActiveHostScope {
 public:
  explicit ActiveHostScope(ReferenceHost& host);
  ~ActiveHostScope();
  ActiveHostScope(const ActiveHostScope&) = delete;
  ActiveHostScope& operator=(const ActiveHostScope&) = delete;

 private:
  detail::HostCore* previous_;
};

}  // namespace refhost
