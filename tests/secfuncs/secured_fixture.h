// A reference host with both packages over an in-memory repository that defines security:
// people in nested groups and a role, logins, permissions and authorizations. The provider
// authenticates the fixture's current credentials the way mdhost does, so a test switches user
// with connectAs() and sees enforcement through the real load path.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/authentication.h"

namespace testing_support {

inline constexpr char kSecuredSeed[] = R"json({
  "types": ["Person", "IdentityGroup", "Role", "PhysicalTable"],
  "repositories": [{"id": "B0000001", "name": "Main", "description": "default"},
                   {"id": "B0000002", "name": "Side", "description": "second"}],
  "objects": [
    {"repository": "B0000001", "type": "Person", "id": "B0000001.PERSON01", "name": "Ann",
     "description": "administrator"},
    {"repository": "B0000001", "type": "Person", "id": "B0000001.PERSON02", "name": "Rick",
     "description": "reader"},
    {"repository": "B0000001", "type": "Person", "id": "B0000001.PERSON03", "name": "Wes",
     "description": "writer through a role"},
    {"repository": "B0000001", "type": "IdentityGroup", "id": "B0000001.GROUP001", "name": "Admins",
     "associations": {"MemberIdentities": ["B0000001.PERSON01"]}},
    {"repository": "B0000001", "type": "IdentityGroup", "id": "B0000001.GROUP002", "name": "Inner",
     "associations": {"MemberIdentities": ["B0000001.PERSON03"]}},
    {"repository": "B0000001", "type": "IdentityGroup", "id": "B0000001.GROUP003", "name": "Outer",
     "associations": {"MemberIdentities": ["B0000001.GROUP002"]}},
    {"repository": "B0000001", "type": "Role", "id": "B0000001.ROLE0001", "name": "Editors",
     "associations": {"MemberIdentities": ["B0000001.GROUP003"]}},
    {"repository": "B0000001", "type": "PhysicalTable", "id": "B0000001.TABLE001", "name": "OPEN"},
    {"repository": "B0000001", "type": "PhysicalTable", "id": "B0000001.TABLE002", "name": "SECRET"},
    {"repository": "B0000001", "type": "PhysicalTable", "id": "B0000001.TABLE003", "name": "EDITED"}
  ],
  "security": {
    "passwordHashing": "minimal",
    "permissions": ["Read", "Write", "Delete", "Administer"],
    "logins": [
      {"id": "B0000001.LOGIN001", "user": "ann", "password": "ann-secret-1", "owner": "B0000001.PERSON01", "domain": "Main"},
      {"id": "B0000001.LOGIN002", "user": "rick", "password": "rick-secret-2", "owner": "B0000001.PERSON02", "domain": "Main"},
      {"id": "B0000001.LOGIN003", "user": "wes", "password": "wes-secret-3", "owner": "B0000001.PERSON03", "domain": "Other"},
      {"id": "B0000001.LOGIN004", "user": "admins", "password": "group-secret-4", "owner": "B0000001.GROUP001", "domain": "Main"}
    ],
    "authorizations": [
      {"target": "B0000001", "identity": "Everybody", "permission": "Read", "decision": "grant"},
      {"target": "B0000001", "identity": "Admins", "permission": "Write", "decision": "grant"},
      {"target": "B0000001", "identity": "Admins", "permission": "Delete", "decision": "grant"},
      {"target": "B0000001", "identity": "Admins", "permission": "Administer", "decision": "grant"},
      {"target": "B0000001.TABLE002", "identity": "Rick", "permission": "Read", "decision": "deny"},
      {"target": "B0000001.TABLE003", "identity": "Editors", "permission": "Write", "decision": "grant"},
      {"target": "B0000001.TABLE003", "identity": "Inner", "permission": "Delete", "decision": "grant"},
      {"target": "B0000001.TABLE003", "identity": "Outer", "permission": "Delete", "decision": "deny"}
    ]
  }
})json";

class SecuredFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository_ = mdserver::Repository::open(path(), &error);
    ASSERT_NE(repository_, nullptr) << error;
    if (seedIt()) {
      mdserver::Outcome seeded = repository_->importSeedText(kSecuredSeed, "secured seed");
      ASSERT_TRUE(seeded.ok()) << seeded.message;
    }
    refhost::HostConfig config;
    config.logFile = nullptr;
    host_ = std::make_unique<refhost::ReferenceHost>(config);
    host_->load(RUX_BUILD_DIR "/lib/secfuncs.so");
    host_->load(RUX_BUILD_DIR "/lib/objfuncs.so");
    host_->setMetadataProvider([this](HostSession*, void** out) -> StatusCode {
      *out = nullptr;
      if (noInterface_) return kStatusOk;
      mdserver::Authentication login =
          mdserver::authenticate(repository_->security(), user_, password_);
      if (!login.outcome.ok()) return login.outcome.status;
      MetadataInterface* md =
          mdserver::openInterface(*repository_, {user_, password_}, login.principal);
      current_ = mdserver::ClientInterface::fromAbi(md);
      current_->onRelease([this, ci = current_](const mdserver::ReleaseSummary& summary) {
        leftAtRelease_ += summary.poolBeforeReclaim.blocksOutstanding;
        if (current_ == ci) current_ = nullptr;
      });
      *out = md;
      return kStatusOk;
    });
    session_ = host_->newSession(nullptr, "DOSUB");
  }
  void TearDown() override { host_.reset(); }

  virtual std::string path() const { return ""; }
  virtual bool seedIt() const { return true; }

  // The next connection acts for this user (the session is renewed so it asks again).
  void connectAs(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
    host_->endSession(session_);
    session_ = host_->newSession(nullptr, "DOSUB");
  }

  using Arg = refhost::Argument;
  double value(const char* name, std::vector<refhost::Argument> args) {
    return host_->call(session_, name, args).numericValue;
  }
  std::string sysmsg() { return host_->macroText("SYSMSG", session_).value_or("<unset>"); }
  std::string sysrc() { return host_->macroText("SYSRC", session_).value_or("<unset>"); }
  static std::string sysrcOf(StatusCode code) {
    return refhost::ReferenceHost::formatMacroNumber(
        static_cast<double>(static_cast<float>(static_cast<int32_t>(code))));
  }
  static double exact(StatusCode code) { return static_cast<double>(static_cast<int32_t>(code)); }
  uint64_t calls(const char* operation) { return current_ ? current_->callCount(operation) : 0; }
  uint64_t blocks() { return current_ ? current_->pool().counts().blocksOutstanding : 0; }
  uint64_t invalidReleases() { return current_ ? current_->pool().counts().invalidReleases : 0; }

  std::unique_ptr<mdserver::Repository> repository_;
  std::unique_ptr<refhost::ReferenceHost> host_;
  HostSession* session_ = nullptr;
  mdserver::ClientInterface* current_ = nullptr;
  std::string user_;
  std::string password_;
  bool noInterface_ = false;
  uint64_t leftAtRelease_ = 0;
};

}  // namespace testing_support
