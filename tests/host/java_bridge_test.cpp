// The host's Java bridge without a running VM: where the runtime is looked for, what a missing
// runtime says, and that the slot numbers of our Java environment table are those of the
// platform's own header (compiled in when the build's JDK has it). This program never starts a
// Java VM: the real-VM tests live in tests/objfuncs/credential_java_test.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "frame/host_services.h"
#include "frame/java_abi.h"
#include "host/java_runtime.h"
#include "host/reference_host.h"

#ifdef RUX_HAVE_JNI_HEADER
#include <jni.h>
#include "tests/host/quiet_config.h"
// Our slot numbers against the platform's layout of the same tables.
#define RUX_CHECK_SLOT(field, slot) \
  static_assert(offsetof(JNINativeInterface_, field) == sizeof(void*) * java_slot::slot, #field)
RUX_CHECK_SLOT(FindClass, kFindClass);
RUX_CHECK_SLOT(ExceptionOccurred, kExceptionOccurred);
RUX_CHECK_SLOT(ExceptionDescribe, kExceptionDescribe);
RUX_CHECK_SLOT(ExceptionClear, kExceptionClear);
RUX_CHECK_SLOT(NewGlobalRef, kNewGlobalRef);
RUX_CHECK_SLOT(DeleteGlobalRef, kDeleteGlobalRef);
RUX_CHECK_SLOT(DeleteLocalRef, kDeleteLocalRef);
RUX_CHECK_SLOT(NewObject, kNewObject);
RUX_CHECK_SLOT(GetObjectClass, kGetObjectClass);
RUX_CHECK_SLOT(GetMethodID, kGetMethodId);
RUX_CHECK_SLOT(CallObjectMethod, kCallObjectMethod);
RUX_CHECK_SLOT(CallVoidMethod, kCallVoidMethod);
RUX_CHECK_SLOT(NewStringUTF, kNewStringUtf);
RUX_CHECK_SLOT(GetStringUTFChars, kGetStringUtfChars);
RUX_CHECK_SLOT(ReleaseStringUTFChars, kReleaseStringUtfChars);
RUX_CHECK_SLOT(ExceptionCheck, kExceptionCheck);
static_assert(sizeof(JNINativeInterface_) >= sizeof(void*) * java_slot::kCount);
static_assert(offsetof(JNIInvokeInterface_, AttachCurrentThread) ==
              sizeof(void*) * java_vm_slot::kAttachCurrentThread);
static_assert(offsetof(JNIInvokeInterface_, GetEnv) == sizeof(void*) * java_vm_slot::kGetEnv);
static_assert(sizeof(JavaVMInitArgs) == sizeof(JavaVmInitArgs));
static_assert(offsetof(JavaVMInitArgs, options) == offsetof(JavaVmInitArgs, options));
static_assert(JNI_VERSION_10 == kJavaVersion10 && JNI_EDETACHED == kJavaDetached);
#endif

namespace {

namespace fs = std::filesystem;
using refhost::ReferenceHost;

using refhost::testing::quietConfig;

TEST(JavaBridge, TheRuntimeIsLookedForInJavaHomeThenTheDebianDefaultThenTheBuildJdk) {
  const char* saved = std::getenv("JAVA_HOME");
  const std::string savedText = saved ? saved : "";
  setenv("JAVA_HOME", "/opt/some-jdk", 1);
  std::vector<std::string> homes = refhost::java::defaultHomes();
  ASSERT_GE(homes.size(), 2u);
  EXPECT_EQ(homes[0], "/opt/some-jdk");
  EXPECT_EQ(homes[1], "/usr/lib/jvm/default-java");
  unsetenv("JAVA_HOME");
  EXPECT_EQ(refhost::java::defaultHomes().at(0), "/usr/lib/jvm/default-java");
  if (saved) setenv("JAVA_HOME", savedText.c_str(), 1);
}

TEST(JavaBridge, FindLibraryTakesTheFirstHomeThatHasOne) {
  const fs::path root = fs::temp_directory_path() / ("java-homes-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "empty");
  fs::create_directories(root / "modern" / "lib" / "server");
  std::ofstream(root / "modern" / "lib" / "server" / "libjvm.so") << "";
  fs::create_directories(root / "old" / "jre" / "lib" / "amd64" / "server");
  std::ofstream(root / "old" / "jre" / "lib" / "amd64" / "server" / "libjvm.so") << "";
  using refhost::java::findLibrary;
  EXPECT_EQ(findLibrary({(root / "empty").string(), (root / "old").string(),
                         (root / "modern").string()}),
            (root / "old" / "jre" / "lib" / "amd64" / "server" / "libjvm.so").string());
  EXPECT_EQ(findLibrary({(root / "modern").string()}),
            (root / "modern" / "lib" / "server" / "libjvm.so").string());
  EXPECT_EQ(findLibrary({(root / "empty").string(), "/nonexistent"}), "");
  EXPECT_EQ(findLibrary({}), "");
  fs::remove_all(root);
}

TEST(JavaBridge, WithoutARuntimeObjectsCannotBeMadeAndTheBridgeSaysWhy) {
  refhost::HostConfig config = quietConfig();
  config.javaHomes = {"/nonexistent/a", "/nonexistent/b"};
  ReferenceHost host(config);
  EXPECT_EQ(host.createJavaObject("receiver", "rux.CredentialReceiver"),
            "no Java runtime found; set JAVA_HOME (searched: /nonexistent/a, /nonexistent/b)");
  EXPECT_FALSE(refhost::java::running());
  refhost::JavaCallResult call = host.callJavaStringMethod("receiver", "describe");
  EXPECT_FALSE(call.ok);
  EXPECT_EQ(call.error, "no Java object named 'receiver'");
  EXPECT_FALSE(host.dropJavaObject("receiver"));
  void *env = nullptr, *cls = nullptr, *obj = nullptr;
  EXPECT_EQ(hostPassIdentity(host.interface(), "receiver", 8, &env, &cls, &obj),
            refhost::kHostStatusNoJavaObject);
  EXPECT_EQ(host.createJavaObject("  ", "rux.CredentialReceiver"), "a Java object needs a name");
}

#ifdef RUX_BUILD_JAVA_HOME_FOR_TESTS
TEST(JavaBridge, TheBuildJdkHasARuntimeLibrary) {
  EXPECT_NE(refhost::java::findLibrary({RUX_BUILD_JAVA_HOME_FOR_TESTS}), "");
}
#endif

}  // namespace
