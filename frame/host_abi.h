// The host interface as the host hands it to a package: every record a package reads or writes
// when it talks to the statistical-language host, declared once with its fixed layout.
//
// Contract: the host owns every record here except the image information block, the module record,
// the version record and the descriptor tables, which are the package's static data. Packages reach
// numbered services only through the typed wrappers of host_services.h; nothing else indexes the
// raw service tables.
//
// All integers are little-endian; pointers are 8 bytes. Layouts marked "fixed" are relied on
// byte for byte by both sides and are checked with static_assert below each record.
#pragma once

#include <cstddef>
#include <cstdint>

struct HostInterface;
struct HostSession;
struct RuntimeTable;

// ---------------------------------------------------------------------------------------------
// Status codes and host constants shared by host and packages.
// ---------------------------------------------------------------------------------------------
using StatusCode = uint32_t;  // 0 success; bit 31 failure; bits 11-21 module; bits 0-10 message

inline constexpr StatusCode kStatusOk = 0;
inline constexpr StatusCode kStatusNoMemory = 0x80000803u;   // a package allocation failed
inline constexpr StatusCode kStatusNoMatch = 0x801720DEu;    // no object matches a URI
inline constexpr int32_t kHostErrorOutOfMemory = 1016;       // hostRaiseError number
inline constexpr uint32_t kTagGeneral = 8198;                // allocation tag for general blocks
inline constexpr uint32_t kTagPackageContext = 12294;        // allocation tag of the package context
inline constexpr uint32_t kPackageContextSlot = 37;          // session extension slot of the context
inline constexpr int32_t kMacroScopeFlags = 71;              // flags of hostSetMacroText/Number
inline constexpr int32_t kMetadataModule = 740;              // module of the metadata messages

inline constexpr StatusCode makeStatus(uint32_t module, uint32_t message) {
  return 0x80000000u | ((module & 0x7FFu) << 11) | (message & 0x7FFu);
}
static_assert(makeStatus(kMetadataModule, 0xDE) == kStatusNoMatch);

// ---------------------------------------------------------------------------------------------
// Allocators. hostAllocate is slot 0 of an allocator's operation table. The host's allocators
// hand out zero-filled blocks (the package context and random streams rely on that).
// ---------------------------------------------------------------------------------------------
struct HostAllocator;
struct HostAllocatorOps {
  void* (*allocate)(HostAllocator* allocator, uint64_t size, uint32_t tag);  // slot 0
  void (*release)(HostAllocator* allocator, void* block);                    // slot 1
};
struct HostAllocator {
  const HostAllocatorOps* ops;  // fixed: operation table at offset 0
  void* hostPrivate;            // the host's own state
};
static_assert(sizeof(HostAllocator) == 16);
static_assert(offsetof(HostAllocatorOps, allocate) == 0);

// ---------------------------------------------------------------------------------------------
// Sessions and tasks.
// ---------------------------------------------------------------------------------------------
inline constexpr uint32_t kSessionExtensionSlots = 64;

struct HostSession {
  HostAllocator* pool;           // session pool; zero-filled blocks, freed when the session ends
  HostSession* parent;           // null for the top session
  const char* contextName;       // not NUL-terminated; compared byte for byte ("DOSUB")
  uint32_t contextNameLength;
  uint32_t reserved;
  void* extensionSlots[kSessionExtensionSlots];  // read directly; written with hostSetSessionSlot
  void* hostPrivate;
};
static_assert(offsetof(HostSession, pool) == 0);
static_assert(offsetof(HostSession, parent) == 8);
static_assert(offsetof(HostSession, contextName) == 16);
static_assert(offsetof(HostSession, contextNameLength) == 24);
static_assert(offsetof(HostSession, extensionSlots) == 32);
static_assert(sizeof(HostSession) == 32 + 8 * kSessionExtensionSlots + 8);

// The task that executes the current call. The runtime table's task record is the same record.
struct HostTask {
  HostSession* session;     // session of the executing call
  uint64_t identity;        // task identity word
  uint8_t syncContext[16];  // the 16-byte context value handed to hostTaskSync
};
static_assert(offsetof(HostTask, session) == 0);
static_assert(offsetof(HostTask, identity) == 8);
static_assert(offsetof(HostTask, syncContext) == 16);
static_assert(sizeof(HostTask) == 32);

// ---------------------------------------------------------------------------------------------
// Runtime table: the services the random engine and the name-value helpers use.
// ---------------------------------------------------------------------------------------------
inline constexpr uint32_t kQueryClock = 0x10800000u;      // buffer: two doubles; time = d[0] - d[1]
inline constexpr uint32_t kQuerySystem = 0x10000000u;     // buffer: 25 64-bit words
inline constexpr uint32_t kQueryProcessor = 0x10200000u;  // buffer: one ProcessorRecord pointer

// Processor information the host reports; RDRAND is CPUID leaf 1 ECX bit 30.
struct ProcessorRecord {
  int32_t status;      // 0 when the record is valid
  uint32_t leaf1Eax;
  uint32_t leaf1Ebx;
  uint32_t leaf1Ecx;
  uint32_t leaf1Edx;
  uint32_t reserved;
};
static_assert(sizeof(ProcessorRecord) == 24);
static_assert(offsetof(ProcessorRecord, leaf1Ecx) == 12);
inline constexpr uint32_t kCpuidEcxRdrand = 1u << 30;

// Name-value store value types and statuses.
inline constexpr int32_t kNameValueDouble = 2;
inline constexpr int32_t kNameValueInteger = 3;
inline constexpr int32_t kNameValueText = 4;  // UTF-16
inline constexpr StatusCode kNameValueNoValue = 0x803FC26Au;
inline constexpr StatusCode kNameValueWrongType = 0x803FC009u;
inline constexpr StatusCode kNameValueWrongTypeAlt = 0x803FC264u;

// Message levels of the message object.
inline constexpr int32_t kLevelAll = 0, kLevelInfo = 1, kLevelNote = 2, kLevelWarning = 3,
                         kLevelError = 4, kLevelNone = 9;

// The message object writes to the host log. Formats are UTF-16 printf formats in which %s and %S
// take a UTF-16 string, %hs an 8-bit string; catalogue texts use the same conventions and consume
// the variadic arguments that follow the code.
struct MessageObject;
struct MessageObjectOps {
  StatusCode (*formatted)(MessageObject* self, int32_t level, const char16_t* format, ...);
  StatusCode (*catalogue)(MessageObject* self, int32_t level, StatusCode code, ...);
  StatusCode (*status)(MessageObject* self, int32_t level, StatusCode status);
};
struct MessageObject {
  const MessageObjectOps* ops;
  void* hostPrivate;
};
static_assert(sizeof(MessageObject) == 16);

struct RuntimeTable {
  uint32_t structureSize;  // sizeof(RuntimeTable) as the host built it
  uint32_t version;        // 1
  // (size, buffer, selector) → status; see kQuery* for the buffers.
  StatusCode (*query)(int64_t size, void* buffer, uint32_t selector);
  // (name, length in characters (≤0: NUL-terminated), type, buffer, in/out size in bytes) → status.
  StatusCode (*nameValueGet)(const char16_t* name, int32_t length, int32_t type, void* buffer,
                             int64_t* size);
  // (name, length, 1, type, value, size in bytes, 0, 0) → status.
  StatusCode (*nameValueSet)(const char16_t* name, int32_t length, int32_t mode, int32_t type,
                             const void* value, int64_t size, int64_t reserved1, int64_t reserved2);
  // (name, length) → 1 when the name is defined, else 0.
  int32_t (*nameValueDefined)(const char16_t* name, int32_t length);
  // 8-bit text to UTF-16: (text, length (<0: NUL-terminated), out, capacity in characters,
  // out length in characters) → status. The output is not terminated.
  StatusCode (*transcode)(const char* text, int64_t length, char16_t* out, int64_t capacity,
                          int64_t* outLength);
  HostTask* (*currentTaskRecord)();
  MessageObject* messageObject;  // null: the engine writes nothing
  char16_t (*upperCase16)(char16_t c);  // optional; null means ASCII only
};
static_assert(offsetof(RuntimeTable, query) == 8);
static_assert(offsetof(RuntimeTable, messageObject) == 56);
static_assert(sizeof(RuntimeTable) == 72);

// ---------------------------------------------------------------------------------------------
// The host interface handed to mcn_main.
// ---------------------------------------------------------------------------------------------
using HostServiceEntry = void (*)();  // cast to the service's own type by host_services.h only

inline constexpr uint32_t kHostServiceGroups = 520;  // groups 0..519 (516 serves metadata)

struct HostInterface {
  uint32_t structureSize;
  uint32_t serviceGroupCount;                   // kHostServiceGroups
  const HostServiceEntry* const* serviceTables;  // [group] → table of entries, null when absent
  uint8_t* serviceInUse;                         // [group]; set to 1 before every call
  HostTask* currentTask;                         // null when no task runs
  const uint64_t* currentThreadIdentity;         // optional; null when not provided
  const uint8_t* upperCaseTable;                 // 256 entries
  const uint8_t* characterClassTable;            // 256 entries: mask 8 blank, mask 7 name chars
  HostAllocator* streamAllocator;                // random streams
  HostAllocator* registrationAllocator;          // registration answers
  uint32_t multiByteMode;                        // non-zero: compare with hostCompareMixed
  uint32_t reserved;
  RuntimeTable* runtime;
  void* hostPrivate;
};
static_assert(offsetof(HostInterface, serviceTables) == 8);
static_assert(offsetof(HostInterface, serviceInUse) == 16);
static_assert(offsetof(HostInterface, currentTask) == 24);
static_assert(offsetof(HostInterface, currentThreadIdentity) == 32);
static_assert(offsetof(HostInterface, upperCaseTable) == 40);
static_assert(offsetof(HostInterface, characterClassTable) == 48);
static_assert(offsetof(HostInterface, streamAllocator) == 56);
static_assert(offsetof(HostInterface, registrationAllocator) == 64);
static_assert(offsetof(HostInterface, multiByteMode) == 72);
static_assert(offsetof(HostInterface, runtime) == 80);
static_assert(sizeof(HostInterface) == 96);

inline constexpr uint8_t kClassBlank = 8;
inline constexpr uint8_t kClassNameMask = 7;

// ---------------------------------------------------------------------------------------------
// Call frame and character slots (fixed).
// ---------------------------------------------------------------------------------------------
struct CharacterSlot {
  int64_t capacity;  // length of the caller's variable in bytes
  int64_t length;    // current length; for inputs only the low 32 bits are read
  char* text;        // not NUL-terminated
};
static_assert(sizeof(CharacterSlot) == 24);
static_assert(offsetof(CharacterSlot, length) == 8);
static_assert(offsetof(CharacterSlot, text) == 16);

inline constexpr uint64_t kArgumentCannotReceive = 4;  // flag: a constant, not a variable

// The host's missing numeric value: a NaN whose top 16 bits are all ones. Packages recognise any
// double whose exponent bits are all ones as not a valid number.
inline constexpr uint64_t kMissingValueBits = 0xFFFF000000000000ull;

struct CallFrameArgument {
  uint64_t flags;  // kArgumentCannotReceive
  void* address;   // CharacterSlot* for kinds 2 and 6, double* for kind 1; null when not supplied
};
static_assert(sizeof(CallFrameArgument) == 16);

// The frame is followed by argumentCount CallFrameArgument entries; use callFrameArgument().
struct CallFrame {
  uint8_t hostPrivate[32];  // not read by packages
  int32_t argumentCount;
  uint32_t unread;
};
static_assert(offsetof(CallFrame, argumentCount) == 32);
static_assert(sizeof(CallFrame) == 40);

inline constexpr size_t callFrameSize(int32_t argumentCount) {
  return sizeof(CallFrame) + sizeof(CallFrameArgument) * static_cast<size_t>(argumentCount);
}
// Argument i counts from 0 (argument i + 1 of the function).
inline CallFrameArgument* callFrameArgument(CallFrame* frame, int32_t i) {
  return reinterpret_cast<CallFrameArgument*>(reinterpret_cast<unsigned char*>(frame) +
                                              sizeof(CallFrame) + sizeof(CallFrameArgument) * i);
}
static_assert(callFrameSize(1) == 56);  // flags of argument 1 at 40, its address at 48

// Callback forms (lowest callWord group): 0 numeric result, 2 character result, 1 none.
using NumericCallback = int32_t (*)(CallFrame* frame, double* result);
using CharacterCallback = int32_t (*)(CallFrame* frame, CharacterSlot* result);
using PlainCallback = int32_t (*)(CallFrame* frame);

// ---------------------------------------------------------------------------------------------
// Registration (fixed).
// ---------------------------------------------------------------------------------------------
inline constexpr uint16_t kNoUpperLimit = 65535;
inline constexpr uint32_t kResultKindNumeric = 66;
inline constexpr uint32_t kArgNumericInput = 1, kArgCharacterInput = 2, kArgCharacterOutput = 6;

#pragma pack(push, 1)
struct FunctionDescriptor {
  char name[24];        // capitals, NUL-padded
  uint16_t minArgs;
  uint16_t maxArgs;     // kNoUpperLimit: no upper limit
  uint32_t resultKind;  // 66
  uint32_t callWord;    // 3-bit groups; lowest = callback form
  uint32_t argWord;     // 3-bit argument kinds from the low end
};
#pragma pack(pop)
static_assert(sizeof(FunctionDescriptor) == 40);
static_assert(offsetof(FunctionDescriptor, minArgs) == 24);
static_assert(offsetof(FunctionDescriptor, maxArgs) == 26);
static_assert(offsetof(FunctionDescriptor, resultKind) == 28);
static_assert(offsetof(FunctionDescriptor, callWord) == 32);
static_assert(offsetof(FunctionDescriptor, argWord) == 36);

// Answer to registration request 1 (host allocator, tag 8198).
struct RegistrationNameRecord {
  int32_t count;
  uint32_t padding;
  const FunctionDescriptor* descriptors;
};
static_assert(sizeof(RegistrationNameRecord) == 16);
static_assert(offsetof(RegistrationNameRecord, descriptors) == 8);

using RegistrationHandler = void* (*)(int32_t request);
inline constexpr int32_t kRequestNames = 1;
inline constexpr int32_t kRequestCallbacks = 2;

struct ModuleRecord {
  uint8_t lead[4];          // 00 00 FF FF
  uint32_t field4;          // 1024
  uint32_t field8;          // 1024
  char moduleName[12];      // "objfuncs" / "secfuncs", NUL-padded
  RegistrationHandler registrationHandler;
  uint32_t field32;         // 1
  uint32_t field36;         // 9683
  uint32_t identification;  // 0x2013AD67 objfuncs, 0x22518554 secfuncs
  uint32_t field44;         // 15
};
static_assert(sizeof(ModuleRecord) == 48);
static_assert(offsetof(ModuleRecord, moduleName) == 12);
static_assert(offsetof(ModuleRecord, registrationHandler) == 24);
static_assert(offsetof(ModuleRecord, field32) == 32);
static_assert(offsetof(ModuleRecord, identification) == 40);
static_assert(offsetof(ModuleRecord, field44) == 44);

// Version information record: 26 fields of 8 bytes; fields 1-17 are addresses of NUL-terminated
// texts kept in the module's data, except field 4 (build time); fields 18-26 are zero.
inline constexpr size_t kVersionRecordFields = 26;
struct VersionRecord {
  const char* fullVersion;       // 1: full product version with a build suffix
  const char* branch;            // 2: source branch
  const char* empty3;            // 3: ""
  uint64_t buildTime;            // 4: seconds since 1970-01-01 00:00 UTC
  const char* base5;             // 5: "base"
  const char* shortIdentifier;   // 6: 6 to 8 characters
  const char* base7;             // 7: "base"
  const char* identifier;        // 8: 19 characters
  const char* empty9;            // 9: ""
  const char* versionWord;       // 10: "version"
  const char* separator;         // 11: "::"
  const char* empty12;           // 12: ""
  const char* hotfixField;       // 13: 64 characters, "RUX_VERSION_HOTFIX_NUMBER=" + blanks
  const char* empty14;           // 14: ""
  const char* descriptionField;  // 15: 64 characters, "VERCON_IMAGE_DESCRIPTION=" + blanks
  const char* shortText;         // 16: 5 characters
  const char* buildStamp;        // 17: C time stamp of the build, e.g. "Tue Dec 08 17:54:44 UTC 2026"
  uint64_t zero[9];              // 18-26
};
static_assert(sizeof(VersionRecord) == 8 * kVersionRecordFields);
static_assert(offsetof(VersionRecord, buildTime) == 24);
static_assert(offsetof(VersionRecord, hotfixField) == 96);
static_assert(offsetof(VersionRecord, buildStamp) == 128);
static_assert(offsetof(VersionRecord, zero) == 136);

inline constexpr char kImageMarker[] = "RUX_Image_Information=";
inline constexpr uint32_t kImageMagic = 0xB0BDEBEDu;

struct ImageInformationBlock {
  char marker[24];               // "RUX_Image_Information=" NUL-padded
  uint32_t magic;                // 0xB0BDEBED
  uint32_t eight;                // 8
  char shortVersion[6];
  char fullVersion[20];
  char buildDate[30];            // "Mon DD YYYY"
  const ModuleRecord* const* moduleList;  // address of moduleListStorage
  const char* notice;
  char levelText[8];             // "001"
  const ModuleRecord* moduleListStorage[2];  // module record, then null
  VersionRecord version;
};
static_assert(sizeof(kImageMarker) == 23);
static_assert(offsetof(ImageInformationBlock, magic) == 24);
static_assert(offsetof(ImageInformationBlock, eight) == 28);
static_assert(offsetof(ImageInformationBlock, shortVersion) == 32);
static_assert(offsetof(ImageInformationBlock, fullVersion) == 38);
static_assert(offsetof(ImageInformationBlock, buildDate) == 58);
static_assert(offsetof(ImageInformationBlock, moduleList) == 88);
static_assert(offsetof(ImageInformationBlock, notice) == 96);
static_assert(offsetof(ImageInformationBlock, levelText) == 104);
static_assert(offsetof(ImageInformationBlock, moduleListStorage) == 112);
static_assert(offsetof(ImageInformationBlock, version) == 128);
static_assert(sizeof(ImageInformationBlock) == 336);

// The two exported entries.
using McnMainEntry = const ImageInformationBlock* (*)(HostInterface* host, void* moduleToken);
using Tkvercn1Entry = int32_t (*)(void* buffer);
