// The Java Native Interface as the packages and the reference host reach it: the environment of
// a Java thread is a pointer to a table of function pointers, fixed by the Java platform. The
// packages never link against a Java runtime; they call through the environment that
// hostPassIdentity yields, and the host loads its runtime at run time. This header declares the
// slots either side uses, by their number in that table, and one typed wrapper per slot. Only
// this header casts slots to their signatures.
//
// Types: a Java reference (object, class, string) and a method identity are opaque pointers; a
// Java boolean is one byte. Every call takes the environment first.
#pragma once

#include <cstddef>
#include <cstdint>

// The environment of one Java thread: its first (and, for us, only) member is the table.
struct JavaEnvironment {
  void* const* functions;
};

// The Java virtual machine as its invocation interface presents it.
struct JavaVirtualMachine {
  void* const* functions;
};

using JavaReference = void*;  // jobject, jclass, jstring, jthrowable
using JavaMethod = void*;     // jmethodID

inline constexpr int32_t kJavaVersion10 = 0x000A0000;  // JNI_VERSION_10
inline constexpr int32_t kJavaOk = 0;                   // JNI_OK
inline constexpr int32_t kJavaDetached = -2;            // JNI_EDETACHED

// Slots of the environment's function table.
namespace java_slot {
inline constexpr int kFindClass = 6;
inline constexpr int kExceptionOccurred = 15;
inline constexpr int kExceptionDescribe = 16;
inline constexpr int kExceptionClear = 17;
inline constexpr int kNewGlobalRef = 21;
inline constexpr int kDeleteGlobalRef = 22;
inline constexpr int kDeleteLocalRef = 23;
inline constexpr int kNewObject = 28;
inline constexpr int kGetObjectClass = 31;
inline constexpr int kGetMethodId = 33;
inline constexpr int kCallObjectMethod = 34;
inline constexpr int kCallVoidMethod = 61;
inline constexpr int kNewStringUtf = 167;
inline constexpr int kGetStringUtfChars = 169;
inline constexpr int kReleaseStringUtfChars = 170;
inline constexpr int kExceptionCheck = 228;
inline constexpr int kCount = 234;  // slots in the table of the platform's current version
}  // namespace java_slot

// Slots of the virtual machine's invocation table.
namespace java_vm_slot {
inline constexpr int kAttachCurrentThread = 4;
inline constexpr int kGetEnv = 6;
}  // namespace java_vm_slot

// One start option ("-Xmx64m", "-Djava.class.path=...") and the start arguments of a VM.
struct JavaVmOption {
  char* optionString;
  void* extraInfo;
};
static_assert(sizeof(JavaVmOption) == 16);

struct JavaVmInitArgs {
  int32_t version;
  int32_t optionCount;
  JavaVmOption* options;
  uint8_t ignoreUnrecognized;
};
static_assert(offsetof(JavaVmInitArgs, optionCount) == 4);
static_assert(offsetof(JavaVmInitArgs, options) == 8);
static_assert(offsetof(JavaVmInitArgs, ignoreUnrecognized) == 16);
static_assert(sizeof(JavaVmInitArgs) == 24);

// The runtime library's exported entry that starts a VM: (vm out, environment out, arguments).
using JavaCreateVm = int32_t (*)(JavaVirtualMachine** vm, void** environment, void* arguments);
inline constexpr char kJavaCreateVmSymbol[] = "JNI_CreateJavaVM";

namespace java_detail {
template <typename Fn>
inline Fn slot(JavaEnvironment* env, int n) {
  return reinterpret_cast<Fn>(env->functions[n]);
}
template <typename Fn>
inline Fn vmSlot(JavaVirtualMachine* vm, int n) {
  return reinterpret_cast<Fn>(vm->functions[n]);
}
}  // namespace java_detail

// ---- Environment -----------------------------------------------------------------------------
inline JavaReference javaFindClass(JavaEnvironment* env, const char* name) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, const char*)>(
      env, java_slot::kFindClass)(env, name);
}
inline JavaReference javaExceptionOccurred(JavaEnvironment* env) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*)>(
      env, java_slot::kExceptionOccurred)(env);
}
inline void javaExceptionDescribe(JavaEnvironment* env) {
  java_detail::slot<void (*)(JavaEnvironment*)>(env, java_slot::kExceptionDescribe)(env);
}
inline void javaExceptionClear(JavaEnvironment* env) {
  java_detail::slot<void (*)(JavaEnvironment*)>(env, java_slot::kExceptionClear)(env);
}
inline JavaReference javaNewGlobalRef(JavaEnvironment* env, JavaReference object) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, JavaReference)>(
      env, java_slot::kNewGlobalRef)(env, object);
}
inline void javaDeleteGlobalRef(JavaEnvironment* env, JavaReference object) {
  java_detail::slot<void (*)(JavaEnvironment*, JavaReference)>(env, java_slot::kDeleteGlobalRef)(
      env, object);
}
inline void javaDeleteLocalRef(JavaEnvironment* env, JavaReference object) {
  java_detail::slot<void (*)(JavaEnvironment*, JavaReference)>(env, java_slot::kDeleteLocalRef)(
      env, object);
}
// A constructor without arguments ("<init>", "()V").
inline JavaReference javaNewObject(JavaEnvironment* env, JavaReference javaClass,
                                   JavaMethod constructor) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, JavaReference, JavaMethod, ...)>(
      env, java_slot::kNewObject)(env, javaClass, constructor);
}
inline JavaReference javaGetObjectClass(JavaEnvironment* env, JavaReference object) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, JavaReference)>(
      env, java_slot::kGetObjectClass)(env, object);
}
inline JavaMethod javaGetMethodId(JavaEnvironment* env, JavaReference javaClass, const char* name,
                                  const char* signature) {
  return java_detail::slot<JavaMethod (*)(JavaEnvironment*, JavaReference, const char*,
                                          const char*)>(env, java_slot::kGetMethodId)(
      env, javaClass, name, signature);
}
// A method without arguments that returns an object.
inline JavaReference javaCallObjectMethod(JavaEnvironment* env, JavaReference object,
                                          JavaMethod method) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, JavaReference, JavaMethod, ...)>(
      env, java_slot::kCallObjectMethod)(env, object, method);
}
// A void method of three object arguments (setCredential).
inline void javaCallVoidMethod(JavaEnvironment* env, JavaReference object, JavaMethod method,
                               JavaReference a, JavaReference b, JavaReference c) {
  java_detail::slot<void (*)(JavaEnvironment*, JavaReference, JavaMethod, ...)>(
      env, java_slot::kCallVoidMethod)(env, object, method, a, b, c);
}
inline JavaReference javaNewStringUtf(JavaEnvironment* env, const char* text) {
  return java_detail::slot<JavaReference (*)(JavaEnvironment*, const char*)>(
      env, java_slot::kNewStringUtf)(env, text);
}
inline const char* javaGetStringUtfChars(JavaEnvironment* env, JavaReference text) {
  return java_detail::slot<const char* (*)(JavaEnvironment*, JavaReference, uint8_t*)>(
      env, java_slot::kGetStringUtfChars)(env, text, nullptr);
}
inline void javaReleaseStringUtfChars(JavaEnvironment* env, JavaReference text,
                                      const char* chars) {
  java_detail::slot<void (*)(JavaEnvironment*, JavaReference, const char*)>(
      env, java_slot::kReleaseStringUtfChars)(env, text, chars);
}
inline bool javaExceptionCheck(JavaEnvironment* env) {
  return java_detail::slot<uint8_t (*)(JavaEnvironment*)>(env, java_slot::kExceptionCheck)(env) !=
         0;
}

// ---- Virtual machine -------------------------------------------------------------------------
inline int32_t javaGetEnv(JavaVirtualMachine* vm, JavaEnvironment** env, int32_t version) {
  return java_detail::vmSlot<int32_t (*)(JavaVirtualMachine*, void**, int32_t)>(
      vm, java_vm_slot::kGetEnv)(vm, reinterpret_cast<void**>(env), version);
}
inline int32_t javaAttachCurrentThread(JavaVirtualMachine* vm, JavaEnvironment** env) {
  return java_detail::vmSlot<int32_t (*)(JavaVirtualMachine*, void**, void*)>(
      vm, java_vm_slot::kAttachCurrentThread)(vm, reinterpret_cast<void**>(env), nullptr);
}
