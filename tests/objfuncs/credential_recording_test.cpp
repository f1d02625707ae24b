// METADATA_PASSID's failure paths, which a real Java VM cannot be made to take on demand, run
// against a recording Java environment: a function table whose every slot records its call
// (a slot the function should never use records itself as unexpected), whose NewStringUTF and
// GetMethodID can be told to yield nothing, with or without a pending exception. The trace
// interleaves the host's hostPutMessage calls, so the tests check the exact order of Java calls
// and messages, and that every local reference made is deleted.
#include <gtest/gtest.h>

#include <cstdarg>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frame/java_abi.h"
#include "repository_fixture.h"

namespace {

using refhost::Argument;
using Trace = std::vector<std::string>;

struct Recorder {
  refhost::ReferenceHost* host = nullptr;
  size_t messagesSeen = 0;
  Trace trace;
  int newStringCalls = 0;
  int failNewStringAt = 0;     // the k-th NewStringUTF yields nothing (0: never)
  bool failGetMethod = false;  // GetMethodID yields nothing
  bool throwOnFailure = false; // a failing call leaves an exception pending
  bool throwFromCall = false;  // CallVoidMethod leaves an exception pending
  bool pending = false;
  std::map<void*, std::string> strings;  // local references made, by their text
  std::set<void*> live;                  // local references not yet deleted
  std::vector<std::unique_ptr<char>> cells;

  // Messages the package told the host since the last Java call go into the trace first.
  void note(std::string event) {
    const auto& messages = host->record().putMessages;
    for (; messagesSeen < messages.size(); ++messagesSeen) {
      trace.push_back("message " + std::to_string(messages[messagesSeen].module) + "/" +
                      std::to_string(messages[messagesSeen].message));
    }
    if (!event.empty()) trace.push_back(std::move(event));
  }
};
Recorder* recorder = nullptr;

void* newStringUtf(JavaEnvironment*, const char* text) {
  recorder->note("NewStringUTF(" + std::string(text) + ")");
  if (++recorder->newStringCalls == recorder->failNewStringAt) {
    recorder->pending = recorder->throwOnFailure;
    return nullptr;
  }
  recorder->cells.push_back(std::make_unique<char>());
  void* reference = recorder->cells.back().get();
  recorder->strings[reference] = text;
  recorder->live.insert(reference);
  return reference;
}

void* getMethodId(JavaEnvironment*, void* javaClass, const char* name, const char* signature) {
  recorder->note("GetMethodID(" + std::string(name) + ", " + signature + ")");
  if (recorder->failGetMethod) {
    recorder->pending = recorder->throwOnFailure;
    return nullptr;
  }
  return javaClass;  // any non-null identity will do
}

void callVoidMethod(JavaEnvironment*, void*, void*, ...) {
  va_list arguments;
  va_start(arguments, nullptr);
  std::string texts;
  for (int i = 0; i < 3; ++i) {
    void* reference = va_arg(arguments, void*);
    texts += (i ? ", " : "") + recorder->strings[reference];
  }
  va_end(arguments);
  recorder->note("CallVoidMethod(" + texts + ")");
  recorder->pending = recorder->throwFromCall;
}

uint8_t exceptionCheck(JavaEnvironment*) {
  recorder->note(recorder->pending ? "ExceptionCheck: pending" : "ExceptionCheck: none");
  return recorder->pending ? 1 : 0;
}

void exceptionDescribe(JavaEnvironment*) {
  recorder->note("ExceptionDescribe");
  recorder->pending = false;  // describing clears the exception, as the VM's does
}

void deleteLocalRef(JavaEnvironment*, void* reference) {
  const auto found = recorder->strings.find(reference);
  recorder->note("DeleteLocalRef(" +
                 (found == recorder->strings.end() ? std::string("?") : found->second) + ")");
  if (recorder->live.erase(reference) == 0) recorder->note("deleted twice or never made");
}

template <int N>
void* unexpectedSlot(JavaEnvironment*, ...) {
  recorder->note("unexpected slot " + std::to_string(N));
  return nullptr;
}

template <int... N>
std::vector<void*> unexpectedSlots(std::integer_sequence<int, N...>) {
  return {reinterpret_cast<void*>(&unexpectedSlot<N>)...};
}

std::vector<void*> recordingTable() {
  std::vector<void*> table = unexpectedSlots(std::make_integer_sequence<int, java_slot::kCount>());
  table[java_slot::kNewStringUtf] = reinterpret_cast<void*>(&newStringUtf);
  table[java_slot::kGetMethodId] = reinterpret_cast<void*>(&getMethodId);
  table[java_slot::kCallVoidMethod] = reinterpret_cast<void*>(&callVoidMethod);
  table[java_slot::kExceptionCheck] = reinterpret_cast<void*>(&exceptionCheck);
  table[java_slot::kExceptionDescribe] = reinterpret_cast<void*>(&exceptionDescribe);
  table[java_slot::kDeleteLocalRef] = reinterpret_cast<void*>(&deleteLocalRef);
  return table;
}

constexpr char kSignature[] = "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";
const std::string kGetMethod = std::string("GetMethodID(setCredential, ") + kSignature + ")";

class CredentialRecordingTest : public testing_support::RepositoryFixture {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    recorder_.host = host_.get();
    recorder = &recorder_;
    environment_.functions = table_.data();
    host_->registerJavaObject("receiver", {&environment_, &javaClass_, &object_});
    host_->setMetadataProvider([this](HostSession*, void** out) -> StatusCode {
      ++interfacesOpened_;
      if (refuseInterface_) {
        *out = nullptr;
        return refhost::kHostStatusNoMetadataServer;
      }
      MetadataInterface* md = mdserver::openInterface(*repository_, credentials_);
      current_ = mdserver::ClientInterface::fromAbi(md);
      if (credentialFault_) current_->injectFault("getCredentials", {*credentialFault_});
      current_->onRelease([this](const mdserver::ReleaseSummary& summary) {
        blocksLeftAtRelease_.push_back(summary.poolBeforeReclaim.blocksOutstanding);
        current_ = nullptr;
      });
      *out = md;
      return kStatusOk;
    });
  }
  void TearDown() override {
    RepositoryFixture::TearDown();
    recorder = nullptr;
  }

  // A fresh host, repository and recorder within one test (for tests that loop over cases).
  void restart() {
    TearDown();
    recorder_ = Recorder{};
    interfacesOpened_ = 0;
    blocksLeftAtRelease_.clear();
    credentials_ = {"tester", "secret"};
    credentialFault_.reset();
    refuseInterface_ = false;
    SetUp();
  }

  // Runs PASSID and returns its code; the trace ends with the messages told after the last
  // Java call.
  int32_t passid() {
    const int32_t code = call("METADATA_PASSID", {Argument::literal("receiver")}).returnCode;
    recorder_.note("");
    return code;
  }
  void expectInterfaceReleasedClean() {
    EXPECT_EQ(interfacesOpened_, 1);
    ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
    EXPECT_EQ(blocksLeftAtRelease_[0], 0u) << "pool blocks left when the interface went";
    EXPECT_TRUE(recorder_.live.empty()) << "local references not deleted";
  }

  Recorder recorder_;
  std::vector<void*> table_ = recordingTable();
  JavaEnvironment environment_{};
  char javaClass_ = 0;
  char object_ = 0;
  mdserver::Credentials credentials_{"tester", "secret"};
  std::optional<StatusCode> credentialFault_;
  bool refuseInterface_ = false;
};

TEST_F(CredentialRecordingTest, SuccessCallsSetCredentialWithDomainUserPasswordThenDeletesAll) {
  EXPECT_EQ(passid(), 0);
  EXPECT_EQ(recorder_.trace,
            (Trace{"NewStringUTF(tester)", "NewStringUTF(secret)", "NewStringUTF(domain)",
                   kGetMethod, "CallVoidMethod(domain, tester, secret)", "ExceptionCheck: none",
                   "DeleteLocalRef(tester)", "DeleteLocalRef(secret)", "DeleteLocalRef(domain)"}));
  expectInterfaceReleasedClean();
  ASSERT_EQ(host_->record().loadComponentCalls.size(), 1u);
  EXPECT_EQ(host_->record().loadComponentCalls[0].component, 131588);
  EXPECT_EQ(host_->record().loadComponentCalls[0].name, "RUXQMDI ");
  EXPECT_EQ(host_->record().loadComponentCalls[0].mode, 2);
}

TEST_F(CredentialRecordingTest, AnExceptionFromSetCredentialIsDescribedAndTheCodeStaysZero) {
  recorder_.throwFromCall = true;
  EXPECT_EQ(passid(), 0);
  EXPECT_EQ(recorder_.trace,
            (Trace{"NewStringUTF(tester)", "NewStringUTF(secret)", "NewStringUTF(domain)",
                   kGetMethod, "CallVoidMethod(domain, tester, secret)",
                   "ExceptionCheck: pending", "ExceptionDescribe", "DeleteLocalRef(tester)",
                   "DeleteLocalRef(secret)", "DeleteLocalRef(domain)"}));
  EXPECT_TRUE(host_->record().putMessages.empty());
  expectInterfaceReleasedClean();
}

// Each Java step that yields nothing, with and without a pending exception: the exception is
// described before the step's message, the code is 3, and what was made is deleted.
TEST_F(CredentialRecordingTest, EachJavaStepThatYieldsNothingTellsItsMessageAfterTheException) {
  struct Case {
    int failNewStringAt;
    bool failGetMethod;
    Trace before;  // calls up to and including the failing one
    std::string message;
    Trace after;   // deletions
  };
  const Case cases[] = {
      {1, false, {"NewStringUTF(tester)"}, "message 740/289", {}},
      {2, false, {"NewStringUTF(tester)", "NewStringUTF(secret)"}, "message 740/291",
       {"DeleteLocalRef(tester)"}},
      {3, false, {"NewStringUTF(tester)", "NewStringUTF(secret)", "NewStringUTF(domain)"},
       "message 740/292", {"DeleteLocalRef(tester)", "DeleteLocalRef(secret)"}},
      {0, true,
       {"NewStringUTF(tester)", "NewStringUTF(secret)", "NewStringUTF(domain)", kGetMethod},
       "message 740/293",
       {"DeleteLocalRef(tester)", "DeleteLocalRef(secret)", "DeleteLocalRef(domain)"}},
  };
  for (const Case& c : cases) {
    for (bool pending : {false, true}) {
      SCOPED_TRACE("NewStringUTF failing at " + std::to_string(c.failNewStringAt) +
                   (c.failGetMethod ? ", GetMethodID failing" : "") +
                   (pending ? ", exception pending" : ", no exception"));
      restart();
      recorder_.failNewStringAt = c.failNewStringAt;
      recorder_.failGetMethod = c.failGetMethod;
      recorder_.throwOnFailure = pending;
      EXPECT_EQ(passid(), 3);
      Trace expected = c.before;
      expected.push_back(pending ? "ExceptionCheck: pending" : "ExceptionCheck: none");
      if (pending) expected.push_back("ExceptionDescribe");
      expected.push_back(c.message);
      expected.insert(expected.end(), c.after.begin(), c.after.end());
      EXPECT_EQ(recorder_.trace, expected);
      expectInterfaceReleasedClean();
    }
  }
}

// The converted texts have 264 bytes of room: a credential that fills them arrives whole, one
// byte more is a conversion failure (288 for the user, 290 for the password).
TEST_F(CredentialRecordingTest, ConversionHasRoomFor264BytesAndFailsBeyond) {
  const std::string fits(264, 'u');
  credentials_ = {fits, "secret"};
  EXPECT_EQ(passid(), 0);
  EXPECT_EQ(recorder_.trace.at(0), "NewStringUTF(" + fits + ")");

  restart();
  credentials_ = {std::string(265, 'u'), "secret"};
  EXPECT_EQ(passid(), 3);
  EXPECT_EQ(recorder_.trace, (Trace{"message 740/288"}));
  expectInterfaceReleasedClean();

  restart();
  credentials_ = {"tester", std::string(265, 'p')};
  EXPECT_EQ(passid(), 3);
  EXPECT_EQ(recorder_.trace,
            (Trace{"NewStringUTF(tester)", "message 740/290", "DeleteLocalRef(tester)"}));
  expectInterfaceReleasedClean();
}

TEST_F(CredentialRecordingTest, FailingGetCredentialsTells287AndReturnsMinusOne) {
  credentialFault_ = 0x801720E3u;
  EXPECT_EQ(passid(), -1);
  EXPECT_EQ(recorder_.trace, (Trace{"message 740/287"}));
  expectInterfaceReleasedClean();
}

TEST_F(CredentialRecordingTest, NoInterfaceReturnsThreeWithoutMessageOrJavaCall) {
  refuseInterface_ = true;
  EXPECT_EQ(passid(), 3);
  EXPECT_TRUE(recorder_.trace.empty());
  EXPECT_EQ(host_->record().loadComponentCalls.size(), 1u);
  EXPECT_EQ(host_->record().metadataInterfaceRequests, 1u);
}

TEST_F(CredentialRecordingTest, SysmsgAndSysrcAreLeftAsTheyWere) {
  host_->setMacroText("SYSMSG", "earlier", session_);
  host_->setMacroText("SYSRC", "5", session_);
  recorder_.failGetMethod = true;
  EXPECT_EQ(passid(), 3);
  EXPECT_EQ(sysmsg(), "earlier");
  EXPECT_EQ(sysrc(), "5");
}

}  // namespace
