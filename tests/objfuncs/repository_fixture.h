// A reference host with objfuncs.so loaded, serving interfaces over an in-memory repository
// seeded with a small model. Keeps the interface most recently handed out, so tests can read its
// call counts and arm its faults, and the pool state of every interface at its release.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"

namespace testing_support {

inline constexpr char kSeed[] = R"json({
  "server": {"version": 9.401234567891234, "paused": 1},
  "types": ["Person", "Tree", "Table", "Column"],
  "repositories": [{"id": "A5HOME01", "name": "Home", "description": "default"},
                   {"id": "A5WORK02", "name": "Work", "description": "second"}],
  "objects": [
    {"repository": "A5HOME01", "type": "Person", "id": "A5HOME01.PERS0003", "name": "Smith"},
    {"repository": "A5HOME01", "type": "Person", "id": "A5HOME01.PERS0001", "name": "Smith"},
    {"repository": "A5HOME01", "type": "Person", "id": "A5HOME01.PERS0002", "name": "Smith"},
    {"repository": "A5HOME01", "type": "Person", "id": "A5HOME01.PERS0009", "name": "Jones"},
    {"repository": "A5HOME01", "type": "Table", "id": "A5HOME01.TABL0001", "name": "Customers"},
    {"repository": "A5HOME01", "type": "Tree", "id": "A5HOME01.TREE0002", "name": "Sales",
     "associations": {"Members": ["A5HOME01.TABL0001"]}},
    {"repository": "A5HOME01", "type": "Tree", "id": "A5HOME01.TREE0001", "name": "Root",
     "associations": {"SubTrees": ["A5HOME01.TREE0002"]}}
  ]
})json";

class RepositoryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository_ = mdserver::Repository::open("", &error);
    ASSERT_NE(repository_, nullptr) << error;
    mdserver::Outcome seeded = repository_->importSeedText(kSeed, "test seed");
    ASSERT_TRUE(seeded.ok()) << seeded.message;
    refhost::HostConfig config;
    config.logFile = nullptr;
    config.javaClassPath = RUX_BUILD_DIR "/java";  // the project's own classes
    host_ = std::make_unique<refhost::ReferenceHost>(config);
    host_->load(RUX_BUILD_DIR "/lib/objfuncs.so");
    host_->setMetadataProvider([this](HostSession*, void** out) {
      MetadataInterface* md = mdserver::openInterface(*repository_, {user_, password_});
      current_ = mdserver::ClientInterface::fromAbi(md);
      ++interfacesOpened_;
      current_->onRelease([this, ci = current_](const mdserver::ReleaseSummary& summary) {
        blocksLeftAtRelease_.push_back(summary.poolBeforeReclaim.blocksOutstanding);
        if (current_ == ci) current_ = nullptr;
      });
      *out = md;
      return kStatusOk;
    });
    session_ = host_->newSession(nullptr, "DOSUB");
  }
  void TearDown() override { host_.reset(); }

  refhost::CallResult call(const char* name, std::vector<refhost::Argument> args = {}) {
    return host_->call(session_, name, args);
  }
  double value(const char* name, std::vector<refhost::Argument> args = {}) {
    return call(name, std::move(args)).numericValue;
  }
  std::string sysmsg() { return host_->macroText("SYSMSG", session_).value_or("<unset>"); }
  std::string sysrc() { return host_->macroText("SYSRC", session_).value_or("<unset>"); }
  static std::string sysrcOf(StatusCode code) {
    return refhost::ReferenceHost::formatMacroNumber(
        static_cast<double>(static_cast<float>(static_cast<int32_t>(code))));
  }
  uint64_t calls(const char* operation) {
    return current_ != nullptr ? current_->callCount(operation) : 0;
  }

  std::string user_ = "tester";     // the credentials of every interface handed out
  std::string password_ = "secret";
  std::unique_ptr<mdserver::Repository> repository_;  // outlives the host and its interfaces
  std::unique_ptr<refhost::ReferenceHost> host_;
  HostSession* session_ = nullptr;
  mdserver::ClientInterface* current_ = nullptr;
  int interfacesOpened_ = 0;
  std::vector<uint64_t> blocksLeftAtRelease_;
};

}  // namespace testing_support
