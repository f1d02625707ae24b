// Numbered host services: one entry of this table per service (group, slot, signature) and one
// typed inline wrapper per service. This is the only file that touches the raw service tables;
// the reference host includes it to fill its tables with functions of exactly these types.
//
// Calling a service: set the in-use byte of its group to 1, then call entry `slot` of table
// `group`. A missing table or entry is a host fault; the wrappers do not guard against it.
#pragma once

#include <cstdarg>

#include "frame/host_abi.h"

struct HostServiceId {
  uint32_t group;
  uint32_t slot;
};

// Opaque handles the host hands out.
struct HostMacroScope;
struct HostCleanup;

namespace host_service {
// ---- Signatures -------------------------------------------------------------------------------
using RaiseError = void (*)(int32_t errorNumber, int32_t zero);
using MessageText = int32_t (*)(HostSession* session, char* buffer, StatusCode status,
                                int32_t capacity, int64_t zero1, int64_t zero2);
using PutMessage = void (*)(int32_t module, int32_t message);
using Format = int32_t (*)(char* buffer, int64_t capacity, const char* format, ...);
using GetOption = StatusCode (*)(const char* name, int32_t length, int64_t zero1, int64_t zero2,
                                 int64_t zero3, void* valueOut, int64_t zero4, HostSession* session);
// (0, 4163, 0, 0, 0, &textPointer, &length, 0, session): the host copies at most *length bytes of
// its option text to *textPointer and stores the number copied in *length.
using GetOptionText = StatusCode (*)(int64_t zero1, int32_t selector, int64_t zero2, int64_t zero3,
                                     int64_t zero4, char** textPointer, int32_t* length,
                                     int64_t zero5, HostSession* session);
using OptionUpdate = void (*)(int32_t zero, int32_t mode);
using OptionSet = void (*)(int32_t zero, int32_t option, int32_t value);
using GetNamedItem = StatusCode (*)(HostSession* session, int32_t mode, const char* name,
                                    int32_t length, void** valueOut, int64_t zero);
using SetNamedItem = StatusCode (*)(HostSession* session, int32_t mode, const char* name,
                                    int32_t length, void* value);
using ReportStatus = void (*)(void* context, StatusCode status);
using CleanupCallback = void (*)();
using CreateCleanup = StatusCode (*)(CleanupCallback callback, HostCleanup** handleOut,
                                     HostSession* session, void* moduleToken);
using CleanupControl = void (*)(HostCleanup* handle);
using TaskSync = void (*)(const uint8_t* context16);
using LoadComponent = StatusCode (*)(int32_t component, const char* name, int32_t mode);
using SetSessionSlot = void (*)(HostSession* session, int32_t slot, void* value);
using ParseNumber = StatusCode (*)(const char* text, int32_t length, int32_t zero,
                                   int32_t* consumed, double* value);
using MacroScope = HostMacroScope* (*)(HostSession* session);
using SetMacroText = StatusCode (*)(HostMacroScope* scope, const char* name, int32_t nameLength,
                                    const char* text, int32_t textLength, int32_t flags,
                                    int64_t zero);
using SetMacroNumber = StatusCode (*)(HostMacroScope* scope, const char* name, int32_t nameLength,
                                      double value, int32_t flags, int64_t zero);
using CompareMixed = int32_t (*)(const char* text1, int64_t length1, const char* text2,
                                 int64_t length2);
using GetShortName = void (*)(char* field8);
using GetMetadataInterface = StatusCode (*)(HostSession* session, void** interfaceOut,
                                            int64_t zero);
using IssueMessage = void (*)(int32_t kind, const char* text, int32_t length);
// Resolves a name of the calling program to its Java object: environment, class and object.
using PassIdentity = StatusCode (*)(const char* name, int32_t length, void** environmentOut,
                                    void** classOut, void** objectOut);
// 8-bit (session encoding) to UTF-8 for the Java bridge: (text, length, out, capacity,
// out length) → status.
using Transcode = StatusCode (*)(const char* text, int32_t length, char* out, int32_t capacity,
                                 int32_t* outLength);
using LogLine = void (*)(const char* format, ...);
using TextTest = int32_t (*)(const char* prefix, const char* text, int32_t length);

// ---- Numbers ----------------------------------------------------------------------------------
inline constexpr HostServiceId kRaiseError{39, 4};
inline constexpr HostServiceId kMessageText{39, 104};
inline constexpr HostServiceId kPutMessage{39, 70};
inline constexpr HostServiceId kFormat{39, 79};
inline constexpr HostServiceId kGetOption{39, 57};
inline constexpr HostServiceId kGetOptionText{39, 56};
inline constexpr HostServiceId kOptionUpdate{39, 108};
inline constexpr HostServiceId kOptionSet{39, 138};
inline constexpr HostServiceId kGetNamedItem{39, 167};
inline constexpr HostServiceId kSetNamedItem{39, 165};
inline constexpr HostServiceId kReportStatus{39, 130};
inline constexpr HostServiceId kCreateCleanup{0, 76};
inline constexpr HostServiceId kArmCleanup{39, 120};
inline constexpr HostServiceId kDisarmCleanup{39, 157};
inline constexpr HostServiceId kDestroyCleanup{1, 6};
inline constexpr HostServiceId kTaskSync{39, 170};
inline constexpr HostServiceId kLoadComponent{0, 84};
inline constexpr HostServiceId kSetSessionSlot{0, 192};
inline constexpr HostServiceId kParseNumber{0, 320};
inline constexpr HostServiceId kMacroScope{40, 277};
inline constexpr HostServiceId kSetMacroText{49, 31};
inline constexpr HostServiceId kSetMacroNumber{49, 32};
inline constexpr HostServiceId kCompareMixed{4, 66};
inline constexpr HostServiceId kGetShortName{39, 194};
inline constexpr HostServiceId kGetMetadataInterface{516, 3};
inline constexpr HostServiceId kIssueMessage{0, 144};
inline constexpr HostServiceId kPassIdentity{243, 3};
inline constexpr HostServiceId kTranscode{243, 4};
inline constexpr HostServiceId kLogLine{39, 89};
inline constexpr HostServiceId kTextTest{1, 44};

// Largest slot used in each group, so the host can size its tables.
inline constexpr uint32_t kLargestSlot = 320;

template <typename Fn>
inline Fn entry(HostInterface* host, HostServiceId id) {
  host->serviceInUse[id.group] = 1;
  return reinterpret_cast<Fn>(host->serviceTables[id.group][id.slot]);
}
}  // namespace host_service

// ---- Typed wrappers ---------------------------------------------------------------------------
inline void* hostAllocate(HostAllocator* allocator, uint64_t size, uint32_t tag) {
  return allocator->ops->allocate(allocator, size, tag);
}
inline void hostRaiseError(HostInterface* h, int32_t errorNumber) {
  host_service::entry<host_service::RaiseError>(h, host_service::kRaiseError)(errorNumber, 0);
}
inline int32_t hostMessageText(HostInterface* h, HostSession* s, char* buffer, StatusCode status) {
  return host_service::entry<host_service::MessageText>(h, host_service::kMessageText)(
      s, buffer, status, 512, 0, 0);
}
inline void hostPutMessage(HostInterface* h, int32_t module, int32_t message) {
  host_service::entry<host_service::PutMessage>(h, host_service::kPutMessage)(module, message);
}
template <typename... Args>
inline int32_t hostFormat(HostInterface* h, char* buffer, int64_t capacity, const char* format,
                          Args... args) {
  return host_service::entry<host_service::Format>(h, host_service::kFormat)(buffer, capacity,
                                                                             format, args...);
}
inline StatusCode hostGetOption(HostInterface* h, const char* name, int32_t length, void* valueOut,
                                HostSession* s) {
  return host_service::entry<host_service::GetOption>(h, host_service::kGetOption)(
      name, length, 0, 0, 0, valueOut, 0, s);
}
inline StatusCode hostGetOptionText(HostInterface* h, char** textPointer, int32_t* length,
                                    HostSession* s) {
  return host_service::entry<host_service::GetOptionText>(h, host_service::kGetOptionText)(
      0, 4163, 0, 0, 0, textPointer, length, 0, s);
}
inline void hostOptionUpdate(HostInterface* h, int32_t mode) {
  host_service::entry<host_service::OptionUpdate>(h, host_service::kOptionUpdate)(0, mode);
}
inline void hostOptionSet(HostInterface* h, int32_t option, int32_t value) {
  host_service::entry<host_service::OptionSet>(h, host_service::kOptionSet)(0, option, value);
}
inline StatusCode hostGetNamedItem(HostInterface* h, HostSession* s, const char* name,
                                   int32_t length, void** valueOut) {
  return host_service::entry<host_service::GetNamedItem>(h, host_service::kGetNamedItem)(
      s, 2, name, length, valueOut, 0);
}
inline StatusCode hostSetNamedItem(HostInterface* h, HostSession* s, const char* name,
                                   int32_t length, void* value) {
  return host_service::entry<host_service::SetNamedItem>(h, host_service::kSetNamedItem)(
      s, 1, name, length, value);
}
inline void hostReportStatus(HostInterface* h, StatusCode status) {
  host_service::entry<host_service::ReportStatus>(h, host_service::kReportStatus)(nullptr, status);
}
inline StatusCode hostCreateCleanup(HostInterface* h, host_service::CleanupCallback callback,
                                    HostCleanup** handleOut, HostSession* s, void* moduleToken) {
  return host_service::entry<host_service::CreateCleanup>(h, host_service::kCreateCleanup)(
      callback, handleOut, s, moduleToken);
}
inline void hostArmCleanup(HostInterface* h, HostCleanup* handle) {
  host_service::entry<host_service::CleanupControl>(h, host_service::kArmCleanup)(handle);
}
inline void hostDisarmCleanup(HostInterface* h, HostCleanup* handle) {
  host_service::entry<host_service::CleanupControl>(h, host_service::kDisarmCleanup)(handle);
}
inline void hostDestroyCleanup(HostInterface* h, HostCleanup* handle) {
  host_service::entry<host_service::CleanupControl>(h, host_service::kDestroyCleanup)(handle);
}
inline void hostTaskSync(HostInterface* h, const uint8_t* context16) {
  host_service::entry<host_service::TaskSync>(h, host_service::kTaskSync)(context16);
}
inline StatusCode hostLoadComponent(HostInterface* h) {
  return host_service::entry<host_service::LoadComponent>(h, host_service::kLoadComponent)(
      131588, "RUXQMDI ", 2);
}
inline void hostSetSessionSlot(HostInterface* h, HostSession* s, int32_t slot, void* value) {
  host_service::entry<host_service::SetSessionSlot>(h, host_service::kSetSessionSlot)(s, slot,
                                                                                       value);
}
inline StatusCode hostParseNumber(HostInterface* h, const char* text, int32_t length,
                                  int32_t* consumed, double* value) {
  return host_service::entry<host_service::ParseNumber>(h, host_service::kParseNumber)(
      text, length, 0, consumed, value);
}
inline HostMacroScope* hostMacroScope(HostInterface* h, HostSession* s) {
  return host_service::entry<host_service::MacroScope>(h, host_service::kMacroScope)(s);
}
inline StatusCode hostSetMacroText(HostInterface* h, HostMacroScope* scope, const char* name,
                                   int32_t nameLength, const char* text, int32_t textLength) {
  return host_service::entry<host_service::SetMacroText>(h, host_service::kSetMacroText)(
      scope, name, nameLength, text, textLength, kMacroScopeFlags, 0);
}
inline StatusCode hostSetMacroNumber(HostInterface* h, HostMacroScope* scope, const char* name,
                                     int32_t nameLength, double value) {
  return host_service::entry<host_service::SetMacroNumber>(h, host_service::kSetMacroNumber)(
      scope, name, nameLength, value, kMacroScopeFlags, 0);
}
inline bool hostCompareMixed(HostInterface* h, const char* a, int64_t lengthA, const char* b,
                             int64_t lengthB) {
  return host_service::entry<host_service::CompareMixed>(h, host_service::kCompareMixed)(
             a, lengthA, b, lengthB) == 1;
}
inline void hostGetShortName(HostInterface* h, char* field8) {
  host_service::entry<host_service::GetShortName>(h, host_service::kGetShortName)(field8);
}
inline StatusCode hostGetMetadataInterface(HostInterface* h, HostSession* s, void** interfaceOut) {
  return host_service::entry<host_service::GetMetadataInterface>(
      h, host_service::kGetMetadataInterface)(s, interfaceOut, 0);
}
inline void hostIssueMessage(HostInterface* h, const char* text, int32_t length) {
  host_service::entry<host_service::IssueMessage>(h, host_service::kIssueMessage)(1, text, length);
}
inline StatusCode hostPassIdentity(HostInterface* h, const char* name, int32_t length,
                                   void** environment, void** javaClass, void** object) {
  return host_service::entry<host_service::PassIdentity>(h, host_service::kPassIdentity)(
      name, length, environment, javaClass, object);
}
inline StatusCode hostTranscode(HostInterface* h, const char* text, int32_t length, char* out,
                                int32_t capacity, int32_t* outLength) {
  return host_service::entry<host_service::Transcode>(h, host_service::kTranscode)(
      text, length, out, capacity, outLength);
}
template <typename... Args>
inline void hostLogLine(HostInterface* h, const char* format, Args... args) {
  host_service::entry<host_service::LogLine>(h, host_service::kLogLine)(format, args...);
}
inline int32_t hostTextTest(HostInterface* h, const char* prefix, const char* text,
                            int32_t length) {
  return host_service::entry<host_service::TextTest>(h, host_service::kTextTest)(prefix, text,
                                                                                 length);
}
