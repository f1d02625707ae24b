// The process's Java virtual machine, loaded at run time. See java_runtime.h.
#include "host/java_runtime.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "host/text_tools.h"

namespace refhost::java {
namespace {

namespace fs = std::filesystem;

constexpr char kDebianDefaultHome[] = "/usr/lib/jvm/default-java";

// A small VM: the host machine is shared, and the programs that use Java hand over a credential
// or two. Serial collection and few compiler threads keep the thread count low; no performance
// data file is written (-XX:-UsePerfData), so a program leaves no file behind in /tmp. -Xrs
// leaves SIGINT, SIGTERM, SIGHUP and SIGQUIT to the host: an interrupt in mdhost's interactive
// loop stays the loop's, not a shutdown of the VM.
constexpr const char* kVmOptions[] = {
    "-Xrs",
    "-Xmx64m",
    "-Xss512k",
    "-XX:+UseSerialGC",
    "-XX:CICompilerCount=2",
    "-XX:TieredStopAtLevel=1",
    "-XX:ReservedCodeCacheSize=32m",
    "-XX:-UsePerfData",
    "-Xshare:auto",
};

struct Runtime {
  std::mutex mutex;
  JavaVirtualMachine* vm = nullptr;
  bool startFailed = false;
  std::string startError;
  std::string classPath;
  // The rux.ErrorCapture object that took over System.err (global references); null when the
  // class is not on the class path, and Java's error output then stays on standard error.
  JavaReference errorCapture = nullptr;
  JavaMethod drainErrors = nullptr;
};

// What the VM prints itself (the "Exception in thread ..." line an exception description starts
// with, warnings) comes through this hook instead of going to standard error; takeErrorOutput
// hands it to the host's log with what Java code wrote to System.err.
std::mutex vmOutputMutex;
std::string vmOutput;

int32_t collectVmOutput(FILE*, const char* format, va_list arguments) {
  char buffer[1024];
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (length < 0) return length;
  std::lock_guard<std::mutex> lock(vmOutputMutex);
  if (static_cast<size_t>(length) < sizeof buffer) {
    vmOutput.append(buffer, static_cast<size_t>(length));
  } else {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.pop_back();
    vmOutput += text;
  }
  return length;
}

Runtime& runtime() {
  // Never destroyed: the VM's threads may still run while static objects go at exit.
  static Runtime* instance = new Runtime;
  return *instance;
}

std::string searchedText(const std::vector<std::string>& homes) {
  std::string text;
  for (const std::string& home : homes) text += (text.empty() ? "" : ", ") + home;
  return text.empty() ? std::string("nowhere") : text;
}

JavaEnvironment* threadEnvironment(JavaVirtualMachine* vm) {
  JavaEnvironment* env = nullptr;
  const int32_t got = javaGetEnv(vm, &env, kJavaVersion10);
  if (got == kJavaOk) return env;
  if (got == kJavaDetached && javaAttachCurrentThread(vm, &env) == kJavaOk) return env;
  return nullptr;
}

// Loads the library and creates the VM; fills runtime().vm or returns why not.
std::string createVm(const std::string& library, const std::string& classPath) {
  // The library stays loaded for the life of the process, as the VM does.
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return "cannot load the Java runtime " + library + ": " + (why ? why : "unknown error");
  }
  auto create = reinterpret_cast<JavaCreateVm>(dlsym(handle, kJavaCreateVmSymbol));
  if (create == nullptr) return library + " has no " + kJavaCreateVmSymbol;

  std::vector<std::string> texts;
  texts.push_back("-Djava.class.path=" + classPath);
  for (const char* option : kVmOptions) texts.emplace_back(option);
  std::vector<JavaVmOption> options;
  for (std::string& text : texts) options.push_back({text.data(), nullptr});
  static char vfprintfOption[] = "vfprintf";
  options.push_back({vfprintfOption, reinterpret_cast<void*>(&collectVmOutput)});
  JavaVmInitArgs arguments{};
  arguments.version = kJavaVersion10;
  arguments.optionCount = static_cast<int32_t>(options.size());
  arguments.options = options.data();
  arguments.ignoreUnrecognized = 1;  // options an older runtime does not know are skipped

  JavaVirtualMachine* vm = nullptr;
  void* env = nullptr;
  const int32_t created = create(&vm, &env, &arguments);
  if (created != kJavaOk || vm == nullptr) {
    return "the Java runtime " + library + " did not start (code " + std::to_string(created) +
           ")";
  }
  runtime().vm = vm;
  return {};
}

// Hands System.err to a rux.ErrorCapture, when the class path has the project's classes.
void captureErrorOutput(JavaEnvironment* env) {
  Runtime& r = runtime();
  JavaReference captureClass = javaFindClass(env, "rux/ErrorCapture");
  if (captureClass == nullptr) {
    javaExceptionClear(env);
    return;
  }
  JavaMethod constructor = javaGetMethodId(env, captureClass, "<init>", "()V");
  JavaMethod drain =
      constructor ? javaGetMethodId(env, captureClass, "drain", "()Ljava/lang/String;") : nullptr;
  JavaReference capture = drain ? javaNewObject(env, captureClass, constructor) : nullptr;
  if (javaExceptionCheck(env)) javaExceptionClear(env);
  if (capture != nullptr) {
    r.errorCapture = javaNewGlobalRef(env, capture);
    r.drainErrors = drain;
    javaDeleteLocalRef(env, capture);
  }
  javaDeleteLocalRef(env, captureClass);
}

}  // namespace

std::vector<std::string> defaultHomes() {
  std::vector<std::string> homes;
  if (const char* home = std::getenv("JAVA_HOME"); home != nullptr && *home != '\0') {
    homes.emplace_back(home);
  }
  homes.emplace_back(kDebianDefaultHome);
#ifdef RUX_BUILD_JAVA_HOME
  homes.emplace_back(RUX_BUILD_JAVA_HOME);
#endif
  return homes;
}

std::string findLibrary(const std::vector<std::string>& homes) {
  for (const std::string& home : homes) {
    const fs::path base(home);
    for (const fs::path& candidate :
         {base / "lib" / "server" / "libjvm.so", base / "jre" / "lib" / "amd64" / "server" /
                                                     "libjvm.so"}) {
      std::error_code error;
      if (fs::is_regular_file(candidate, error)) return candidate.string();
    }
  }
  return {};
}

StartResult start(const StartSettings& settings) {
  Runtime& r = runtime();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.vm == nullptr) {
    if (r.startFailed) return {nullptr, r.startError};
    const std::vector<std::string> homes = settings.homes.empty() ? defaultHomes() : settings.homes;
    const std::string library = findLibrary(homes);
    if (library.empty()) {
      return {nullptr, std::string(kNoRuntimeMessage) + " (searched: " + searchedText(homes) + ")"};
    }
    if (std::string error = createVm(library, settings.classPath); !error.empty()) {
      r.startFailed = true;
      r.startError = error;
      return {nullptr, error};
    }
    r.classPath = settings.classPath;
    if (JavaEnvironment* env = threadEnvironment(r.vm)) captureErrorOutput(env);
  }
  JavaEnvironment* env = threadEnvironment(r.vm);
  if (env == nullptr) return {nullptr, "this thread cannot be attached to the Java runtime"};
  return {env, {}};
}

JavaEnvironment* environment() {
  Runtime& r = runtime();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.vm != nullptr ? threadEnvironment(r.vm) : nullptr;
}

bool running() {
  Runtime& r = runtime();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.vm != nullptr;
}

std::string classPathInUse() {
  Runtime& r = runtime();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.classPath;
}

std::string stringText(JavaEnvironment* env, JavaReference text) {
  if (text == nullptr) return {};
  const char* chars = javaGetStringUtfChars(env, text);
  if (chars == nullptr) return {};
  std::string copy = text::fromModifiedUtf8(chars);
  javaReleaseStringUtfChars(env, text, chars);
  return copy;
}

std::string takeErrorOutput() {
  std::string native;
  {
    std::lock_guard<std::mutex> lock(vmOutputMutex);
    native.swap(vmOutput);
  }
  Runtime& r = runtime();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.vm == nullptr || r.errorCapture == nullptr) return native;
  JavaEnvironment* env = threadEnvironment(r.vm);
  if (env == nullptr) return {};
  JavaReference text = javaCallObjectMethod(env, r.errorCapture, r.drainErrors);
  if (javaExceptionCheck(env)) javaExceptionClear(env);
  std::string output = native + stringText(env, text);
  if (text != nullptr) javaDeleteLocalRef(env, text);
  return output;
}

std::string takeException(JavaEnvironment* env) {
  JavaReference thrown = javaExceptionOccurred(env);
  if (thrown == nullptr) return {};
  javaExceptionClear(env);
  std::string text = "a Java exception";
  JavaReference thrownClass = javaGetObjectClass(env, thrown);
  JavaMethod toString =
      thrownClass ? javaGetMethodId(env, thrownClass, "toString", "()Ljava/lang/String;") : nullptr;
  if (toString != nullptr) {
    JavaReference described = javaCallObjectMethod(env, thrown, toString);
    if (javaExceptionCheck(env)) {
      javaExceptionClear(env);
    } else if (described != nullptr) {
      text = stringText(env, described);
    }
    if (described != nullptr) javaDeleteLocalRef(env, described);
  } else if (javaExceptionCheck(env)) {
    javaExceptionClear(env);
  }
  if (thrownClass != nullptr) javaDeleteLocalRef(env, thrownClass);
  javaDeleteLocalRef(env, thrown);
  return text;
}

}  // namespace refhost::java
