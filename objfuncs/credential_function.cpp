// METADATA_PASSID(java object name [, unused text]): hands the credentials of the session's
// metadata connection to a Java object of the calling program, by calling its method
// setCredential("domain", user, password) through the Java environment the host yields.
//
// Return code (the callback's own value; SYSMSG and SYSRC are not touched):
//    0  setCredential was called (a Java exception it throws is described, not propagated)
//    3  the Java object, the interface, a conversion, a Java string or the method was missing
//   -1  getCredentials failed
// Each failure after the interface was obtained is told through hostPutMessage (module 740,
// messages 287 to 293); where a Java call yielded nothing, a pending Java exception is described
// first. Every Java string made is deleted before returning, and the credentials go back to the
// interface. The password lives only in the interface's block, one stack buffer that is wiped
// before returning, and the Java string handed to setCredential.
//
// The interface is the session's own (hostGetMetadataInterface), not the cached connection:
// this function takes a reference and releases it, and leaves the cache alone. It calls into
// the Java environment of the calling thread and must run on that thread.
#include <array>
#include <cstring>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/java_abi.h"
#include "frame/module_globals.h"
#include "mdaccess/md_abi.h"
#include "objfuncs/functions.h"

namespace objfuncs {
namespace {

constexpr int32_t kReturnCalled = 0;
constexpr int32_t kReturnNotObtained = 3;
constexpr int32_t kReturnNoCredentials = -1;

constexpr int32_t kMessageModule = 740;
constexpr int32_t kNoCredentials = 287;
constexpr int32_t kUserNotConverted = 288;
constexpr int32_t kNoUserString = 289;
constexpr int32_t kPasswordNotConverted = 290;
constexpr int32_t kNoPasswordString = 291;
constexpr int32_t kNoDomainString = 292;
constexpr int32_t kNoMethod = 293;

constexpr int32_t kConvertedCapacity = 264;
constexpr char kDomain[] = "domain";
constexpr char kMethodName[] = "setCredential";
constexpr char kMethodSignature[] = "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";

// A converted credential with room for its terminating byte after the full capacity, so a text
// that fills all 264 bytes still ends inside the buffer. Wiped when it goes.
class ConvertedText {
 public:
  ConvertedText() = default;
  ~ConvertedText() { wipe(); }
  ConvertedText(const ConvertedText&) = delete;
  ConvertedText& operator=(const ConvertedText&) = delete;
  // False when the host could not convert the text into the capacity.
  bool convert(const char* text, int32_t length) {
    int32_t converted = 0;
    if (hostTranscode(frame::hostInterface(), text, length, buffer_.data(), kConvertedCapacity,
                      &converted) != kStatusOk) {
      return false;
    }
    if (converted < 0 || converted > kConvertedCapacity) return false;
    buffer_[static_cast<size_t>(converted)] = '\0';
    return true;
  }
  const char* text() const { return buffer_.data(); }
  void wipe() {
    // volatile keeps the compiler from dropping a store to memory that is about to go.
    volatile char* p = buffer_.data();
    for (size_t i = 0; i < buffer_.size(); ++i) p[i] = 0;
  }

 private:
  std::array<char, kConvertedCapacity + 1> buffer_{};
};

void putMessage(int32_t message) {
  hostPutMessage(frame::hostInterface(), kMessageModule, message);
}

// Where a Java call yielded nothing: describe a pending exception, then tell the step.
void javaStepFailed(JavaEnvironment* env, int32_t message) {
  if (javaExceptionCheck(env)) javaExceptionDescribe(env);
  putMessage(message);
}

// Steps 5 to 10: the Java strings and the call. Returns the return code; deletes what it made.
int32_t callSetCredential(JavaEnvironment* env, JavaReference javaClass, JavaReference object,
                          const char* user, int32_t userLength, const char* password,
                          int32_t passwordLength) {
  ConvertedText converted;
  if (!converted.convert(user, userLength)) {
    putMessage(kUserNotConverted);
    return kReturnNotObtained;
  }
  JavaReference userString = javaNewStringUtf(env, converted.text());
  if (userString == nullptr) {
    javaStepFailed(env, kNoUserString);
    return kReturnNotObtained;
  }

  int32_t result = kReturnNotObtained;
  JavaReference passwordString = nullptr;
  JavaReference domainString = nullptr;
  if (!converted.convert(password, passwordLength)) {
    putMessage(kPasswordNotConverted);
  } else if ((passwordString = javaNewStringUtf(env, converted.text())) == nullptr) {
    javaStepFailed(env, kNoPasswordString);
  } else if ((domainString = javaNewStringUtf(env, kDomain)) == nullptr) {
    javaStepFailed(env, kNoDomainString);
  } else if (JavaMethod method = javaGetMethodId(env, javaClass, kMethodName, kMethodSignature);
             method == nullptr) {
    javaStepFailed(env, kNoMethod);
  } else {
    javaCallVoidMethod(env, object, method, domainString, userString, passwordString);
    if (javaExceptionCheck(env)) javaExceptionDescribe(env);
    result = kReturnCalled;
  }
  converted.wipe();

  javaDeleteLocalRef(env, userString);
  if (passwordString != nullptr) javaDeleteLocalRef(env, passwordString);
  if (domainString != nullptr) javaDeleteLocalRef(env, domainString);
  return result;
}

}  // namespace

int32_t metadataPassid(CallFrame* frame) {
  HostInterface* host = frame::hostInterface();
  // The name is used as its slot gives it: the host decides what trailing blanks mean.
  CharacterSlot* nameSlot = frame::characterSlot(frame, 1);
  const char* name = nameSlot != nullptr ? nameSlot->text : nullptr;
  const auto nameLength =
      static_cast<int32_t>(nameSlot != nullptr && nameSlot->length > 0 ? nameSlot->length : 0);
  void* environment = nullptr;
  void* javaClass = nullptr;
  void* object = nullptr;
  if (hostPassIdentity(host, name, nameLength, &environment, &javaClass, &object) != kStatusOk ||
      environment == nullptr) {
    return kReturnNotObtained;
  }
  auto* env = static_cast<JavaEnvironment*>(environment);

  hostLoadComponent(host);  // (131588, "RUXQMDI ", 2)
  void* obtained = nullptr;
  StatusCode status = hostGetMetadataInterface(host, frame::currentSession(), &obtained);
  auto* md = static_cast<MetadataInterface*>(obtained);
  if (status != kStatusOk || md == nullptr) {
    if (md != nullptr) releaseInterface(md);
    return kReturnNotObtained;
  }

  char* user = nullptr;
  char* password = nullptr;
  int32_t userLength = 0;
  int32_t passwordLength = 0;
  if (getCredentials(md, &user, &userLength, &password, &passwordLength) != kStatusOk) {
    putMessage(kNoCredentials);
    releaseInterface(md);
    return kReturnNoCredentials;
  }

  const int32_t result =
      callSetCredential(env, javaClass, object, user, userLength, password, passwordLength);
  if (password != nullptr) freeCredentials(md, user, password);
  releaseInterface(md);
  return result;
}

}  // namespace objfuncs
