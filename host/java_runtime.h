// The reference host's Java runtime: one Java virtual machine per process, started on first need
// by loading libjvm.so at run time (dlopen); nothing links against a Java runtime at build time.
//
// Where the runtime comes from, first found wins: $JAVA_HOME, the Debian default JDK
// (/usr/lib/jvm/default-java), then the JDK that compiled the project's Java classes. In each
// home the library is lib/server/libjvm.so (or the older jre/lib/<arch>/server/libjvm.so).
//
// Contract
// - A VM, once started, lives as long as the process: the platform cannot start a second one
//   after the first was destroyed. The class path and options of the first start hold for the
//   whole process; later starts with other settings get the running VM (classPathInUse() says
//   which path it has).
// - When no runtime is found, start() fails with "no Java runtime found; set JAVA_HOME" and the
//   places searched; the search is repeated on the next call (a later JAVA_HOME may help). A VM
//   that failed to start is not tried again.
// - environment() yields the environment of the calling thread, attaching the thread when it is
//   not yet attached. Thread-safe.
#pragma once

#include <string>
#include <vector>

#include "frame/java_abi.h"

namespace refhost::java {

inline constexpr char kNoRuntimeMessage[] = "no Java runtime found; set JAVA_HOME";

struct StartSettings {
  std::vector<std::string> homes;  // Java homes to search, in order; empty: defaultHomes()
  std::string classPath;           // the -Djava.class.path of the VM
};

// $JAVA_HOME (when set), /usr/lib/jvm/default-java, then the build's JDK (when known).
std::vector<std::string> defaultHomes();

// The libjvm.so of the first home that has one; empty when none has.
std::string findLibrary(const std::vector<std::string>& homes);

struct StartResult {
  JavaEnvironment* environment = nullptr;  // the calling thread's; null on failure
  std::string error;                       // why there is none
};

// Starts the VM when it is not running, then yields the calling thread's environment.
StartResult start(const StartSettings& settings);

// The calling thread's environment when the VM runs; null otherwise (never starts it).
JavaEnvironment* environment();

bool running();
std::string classPathInUse();

// What Java wrote to System.err since the last call (an exception a package described with
// ExceptionDescribe, say), forgotten once taken; empty when the VM is not running or the
// project's class rux.ErrorCapture was not on its class path (the output then went to standard
// error as usual).
std::string takeErrorOutput();

// The pending exception as text ("java.lang.IllegalStateException: message"), cleared; empty
// when none is pending.
std::string takeException(JavaEnvironment* env);

// The text of a Java string in standard UTF-8 (the VM gives modified UTF-8).
std::string stringText(JavaEnvironment* env, JavaReference text);

}  // namespace refhost::java
