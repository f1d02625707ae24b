// METADATA_PASSID against a real Java VM: the host starts the VM (libjvm loaded at run time),
// makes objects of the project's own classes (build tree java/), and the package hands them the
// connection's credentials through the real Java Native Interface.
//
// This program starts a Java VM; the VM handles SIGSEGV itself, so under the address sanitizer
// it runs with handle_segv=0 (see CMakeLists.txt).
#include <gtest/gtest.h>

#include "repository_fixture.h"

namespace {

using refhost::Argument;
using testing_support::RepositoryFixture;

class CredentialJavaTest : public RepositoryFixture {
 protected:
  std::string stringOf(const char* name, const char* method) {
    refhost::JavaCallResult result = host_->callJavaStringMethod(name, method);
    EXPECT_TRUE(result.ok) << result.error;
    return result.value.value_or("<null>");
  }
  int32_t passid(const char* name) {
    return call("METADATA_PASSID", {Argument::literal(name)}).returnCode;
  }
};

TEST_F(CredentialJavaTest, DeliversDomainUserAndPasswordToARealJavaObjectInThatOrder) {
  ASSERT_EQ(host_->createJavaObject("receiver", "rux.CredentialReceiver"), "");
  host_->setMacroText("SYSMSG", "left by an earlier call", session_);
  host_->setMacroText("SYSRC", "7", session_);

  EXPECT_EQ(passid("receiver"), 0);

  EXPECT_EQ(stringOf("receiver", "getDomain"), "domain");
  EXPECT_EQ(stringOf("receiver", "getUser"), "tester");
  EXPECT_EQ(stringOf("receiver", "getPasswordMask"), "******");  // "secret"
  EXPECT_EQ(stringOf("receiver", "getCallCount"), "1");
  EXPECT_TRUE(host_->record().putMessages.empty());
  // PASSID does not reset or report status.
  EXPECT_EQ(sysmsg(), "left by an earlier call");
  EXPECT_EQ(sysrc(), "7");
  // Its own interface, released with nothing left in its pool; the cache is not touched.
  EXPECT_EQ(interfacesOpened_, 1);
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
  EXPECT_EQ(host_->namedItem(session_, "__QMDI_REBCACHE"), nullptr);

  // Names are the host's: letter case and trailing blanks aside.
  EXPECT_EQ(passid("RECEIVER  "), 0);
  EXPECT_EQ(stringOf("receiver", "getCallCount"), "2");
}

TEST_F(CredentialJavaTest, ASetCredentialThatThrowsIsDescribedAndStillReturnsZero) {
  ASSERT_EQ(host_->createJavaObject("refuser", "rux.RefusingReceiver"), "");
  EXPECT_EQ(passid("refuser"), 0);
  EXPECT_EQ(stringOf("refuser", "getAttempts"), "1");
  EXPECT_TRUE(host_->record().putMessages.empty());
  // ExceptionDescribe cleared the exception: the thread's next Java call works normally.
  EXPECT_EQ(passid("refuser"), 0);
  EXPECT_EQ(stringOf("refuser", "getAttempts"), "2");
}

TEST_F(CredentialJavaTest, AnObjectWithoutSetCredentialReturnsThreeWithMessage293) {
  ASSERT_EQ(host_->createJavaObject("builder", "java.lang.StringBuilder"), "");
  EXPECT_EQ(passid("builder"), 3);
  ASSERT_EQ(host_->record().putMessages.size(), 1u);
  EXPECT_EQ(host_->record().putMessages[0].module, 740);
  EXPECT_EQ(host_->record().putMessages[0].message, 293);
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
}

TEST_F(CredentialJavaTest, ANameThatIsNoJavaObjectReturnsThreeWithoutLoadingTheComponent) {
  ASSERT_EQ(host_->createJavaObject("receiver", "rux.CredentialReceiver"), "");
  EXPECT_EQ(passid("somebodyElse"), 3);
  EXPECT_TRUE(host_->record().loadComponentCalls.empty());
  EXPECT_EQ(host_->record().metadataInterfaceRequests, 0u);
  // A dropped name is no Java object any more.
  EXPECT_TRUE(host_->dropJavaObject("receiver"));
  EXPECT_FALSE(host_->dropJavaObject("receiver"));
  EXPECT_EQ(passid("receiver"), 3);
}

TEST_F(CredentialJavaTest, JavaExceptionsAndMissingPiecesAreReportedNotSwallowed) {
  ASSERT_EQ(host_->createJavaObject("receiver", "rux.CredentialReceiver"), "");
  refhost::JavaCallResult early = host_->callJavaStringMethod("receiver", "getUser");
  EXPECT_FALSE(early.ok);
  EXPECT_EQ(early.error,
            "getUser() threw java.lang.IllegalStateException: no credential received yet");
  EXPECT_EQ(stringOf("receiver", "describe"), "nothing received");

  refhost::JavaCallResult noMethod = host_->callJavaStringMethod("receiver", "getNothing");
  EXPECT_FALSE(noMethod.ok);
  EXPECT_NE(noMethod.error.find("no method getNothing()"), std::string::npos) << noMethod.error;

  std::string missingClass = host_->createJavaObject("x", "rux.NoSuchClass");
  EXPECT_NE(missingClass.find("class rux.NoSuchClass not found"), std::string::npos)
      << missingClass;
  std::string noConstructor = host_->createJavaObject("x", "java.lang.Integer");
  EXPECT_NE(noConstructor.find("no public constructor without arguments"), std::string::npos)
      << noConstructor;
  EXPECT_FALSE(host_->callJavaStringMethod("x", "toString").ok);  // nothing was kept
}

// String.hashCode() of the UTF-16 form of a UTF-8 text, as the receiver reports it.
std::string javaHashOf(const std::u16string& units) {
  int32_t hash = 0;
  for (char16_t unit : units) hash = static_cast<int32_t>(31u * static_cast<uint32_t>(hash) + unit);
  return std::to_string(hash);
}

// The package converts through the host's transcoder and hands the bytes to NewStringUTF, which
// reads the platform's modified UTF-8: a character beyond U+FFFF must arrive as a surrogate pair
// and an embedded NUL as itself, not as a cut.
TEST_F(CredentialJavaTest, CharactersOutsideTheBasicPlaneAndNulArriveUnchanged) {
  user_ = std::string("ann\xF0\x9F\x98\x80") + '\0' + "x";  // an emoji, then NUL
  password_ = "p\xF0\x9F\x94\x91w\xC3\xA9";                 // a key emoji and e-acute
  ASSERT_EQ(host_->createJavaObject("receiver", "rux.CredentialReceiver"), "");
  EXPECT_EQ(passid("receiver"), 0);
  EXPECT_EQ(stringOf("receiver", "getUser"), user_);
  EXPECT_EQ(stringOf("receiver", "getPasswordMask"), "*****");  // p, two surrogates, w, e-acute
  EXPECT_EQ(stringOf("receiver", "getPasswordHash"),
            javaHashOf(u"p\U0001F511w\u00E9"));
  EXPECT_TRUE(host_->record().putMessages.empty());
}

// The length limit holds for the converted text: 44 emoji take 264 bytes there and pass; 45
// would be cut short, so the conversion is refused and nothing reaches the object.
TEST_F(CredentialJavaTest, TheLengthLimitAppliesToTheConvertedText) {
  std::string emoji;
  for (int i = 0; i < 44; ++i) emoji += "\xF0\x9F\x98\x80";
  user_ = emoji;
  ASSERT_EQ(host_->createJavaObject("receiver", "rux.CredentialReceiver"), "");
  EXPECT_EQ(passid("receiver"), 0);
  EXPECT_EQ(stringOf("receiver", "getUser"), emoji);
  user_ = emoji + "\xF0\x9F\x98\x80";
  EXPECT_EQ(passid("receiver"), 3);
  EXPECT_EQ(stringOf("receiver", "getCallCount"), "1");
  ASSERT_EQ(host_->record().putMessages.size(), 1u);
  EXPECT_EQ(host_->record().putMessages[0].message, 288);  // the user could not be converted
}

// What the VM and Java print when the package describes an exception lands in the host log:
// the VM's own "Exception in thread" line and the stack trace Java writes to System.err.
TEST_F(CredentialJavaTest, JavaExceptionOutputGoesToTheLog) {
  ASSERT_EQ(host_->createJavaObject("refuser", "rux.RefusingReceiver"), "");
  EXPECT_EQ(passid("refuser"), 0);
  std::string log;
  for (const refhost::LogLine& line : host_->logLines()) log += line.text + "\n";
  EXPECT_NE(log.find("Exception in thread"), std::string::npos) << log;
  EXPECT_NE(log.find("IllegalStateException: credentials refused for user tester"),
            std::string::npos) << log;
  EXPECT_NE(log.find("at rux.RefusingReceiver.setCredential"), std::string::npos) << log;
}

}  // namespace
