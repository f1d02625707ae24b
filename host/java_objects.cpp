// Java objects of the calling program: made in the process's Java VM (java_runtime.h) and kept
// under names, so hostPassIdentity can hand one to a package and a program can call its String
// methods. Each host keeps global references to its objects and drops them when it goes.
#include <algorithm>
#include <string>

#include "host/host_core.h"
#include "host/java_runtime.h"
#include "host/text_tools.h"

namespace refhost {
namespace {

std::string keyOf(std::string_view name) {
  std::string key = text::asciiUpper(name);
  while (!key.empty() && key.back() == ' ') key.pop_back();
  return key;
}

// "rux.CredentialReceiver" → "rux/CredentialReceiver", as the VM names classes.
std::string internalClassName(std::string_view className) {
  std::string name(className);
  std::replace(name.begin(), name.end(), '.', '/');
  return name;
}

}  // namespace

namespace detail {
void HostCore::dropHeldJavaObjects() {
  if (heldJavaObjects.empty()) return;
  if (JavaEnvironment* env = java::environment()) {
    for (auto& [name, held] : heldJavaObjects) {
      javaDeleteGlobalRef(env, held.object);
      javaDeleteGlobalRef(env, held.javaClass);
    }
  }
  heldJavaObjects.clear();
}
}  // namespace detail

std::string ReferenceHost::createJavaObject(std::string_view name, std::string_view className) {
  const std::string key = keyOf(name);
  if (key.empty()) return "a Java object needs a name";
  java::StartResult started =
      java::start({core_->config.javaHomes, core_->config.javaClassPath});
  if (started.environment == nullptr) return started.error;
  JavaEnvironment* env = started.environment;

  const std::string internal = internalClassName(className);
  JavaReference javaClass = javaFindClass(env, internal.c_str());
  if (javaClass == nullptr) {
    std::string thrown = java::takeException(env);
    return "class " + std::string(className) + " not found on the class path '" +
           java::classPathInUse() + "'" + (thrown.empty() ? "" : " (" + thrown + ")");
  }
  JavaMethod constructor = javaGetMethodId(env, javaClass, "<init>", "()V");
  JavaReference object = nullptr;
  std::string error;
  if (constructor == nullptr) {
    java::takeException(env);
    error = "class " + std::string(className) + " has no public constructor without arguments";
  } else {
    object = javaNewObject(env, javaClass, constructor);
    if (std::string thrown = java::takeException(env); !thrown.empty()) {
      error = "new " + std::string(className) + "() threw " + thrown;
    } else if (object == nullptr) {
      error = "new " + std::string(className) + "() made no object";
    }
  }
  if (error.empty()) {
    dropJavaObject(name);
    core_->heldJavaObjects[key] = {javaNewGlobalRef(env, object), javaNewGlobalRef(env, javaClass)};
  }
  if (object != nullptr) javaDeleteLocalRef(env, object);
  javaDeleteLocalRef(env, javaClass);
  return error;
}

JavaCallResult ReferenceHost::callJavaStringMethod(std::string_view name, std::string_view method) {
  auto found = core_->heldJavaObjects.find(keyOf(name));
  if (found == core_->heldJavaObjects.end()) {
    return {false, std::nullopt, "no Java object named '" + std::string(name) + "'"};
  }
  JavaEnvironment* env = java::environment();
  if (env == nullptr) return {false, std::nullopt, "the Java runtime is not available"};
  const std::string methodName(method);
  JavaMethod id = javaGetMethodId(env, found->second.javaClass, methodName.c_str(),
                                  "()Ljava/lang/String;");
  if (id == nullptr) {
    java::takeException(env);
    return {false, std::nullopt,
            "the Java object '" + std::string(name) + "' has no method " + methodName +
                "() returning a String"};
  }
  JavaReference value = javaCallObjectMethod(env, found->second.object, id);
  if (std::string thrown = java::takeException(env); !thrown.empty()) {
    if (value != nullptr) javaDeleteLocalRef(env, value);
    return {false, std::nullopt, methodName + "() threw " + thrown};
  }
  JavaCallResult result{true, std::nullopt, {}};
  if (value != nullptr) {
    result.value = java::stringText(env, value);
    javaDeleteLocalRef(env, value);
  }
  return result;
}

bool ReferenceHost::dropJavaObject(std::string_view name) {
  auto found = core_->heldJavaObjects.find(keyOf(name));
  if (found == core_->heldJavaObjects.end()) return false;
  if (JavaEnvironment* env = java::environment()) {
    javaDeleteGlobalRef(env, found->second.object);
    javaDeleteGlobalRef(env, found->second.javaClass);
  }
  core_->heldJavaObjects.erase(found);
  return true;
}

}  // namespace refhost
