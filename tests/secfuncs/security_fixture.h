// A reference host with secfuncs.so and objfuncs.so loaded (in the order a test asks for),
// serving interfaces over an in-memory repository with two repositories. Keeps the interface
// most recently handed out, so tests can read its call counts, transactions and pool, and arm
// its faults.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"

namespace testing_support {

inline constexpr char kSecuritySeed[] = R"json({
  "types": ["Person"],
  "repositories": [{"id": "A5HOME01", "name": "Home", "description": "default"},
                   {"id": "A5WORK02", "name": "Work", "description": "second"}],
  "objects": [
    {"repository": "A5HOME01", "type": "Person", "id": "A5HOME01.PERS0001", "name": "Smith"}
  ]
})json";

class SecurityFixture : public ::testing::Test {
 protected:
  // Loads secfuncs first unless a test overrides this (the shared-session tests load both ways).
  virtual std::vector<std::string> libraries() const {
    return {RUX_BUILD_DIR "/lib/secfuncs.so", RUX_BUILD_DIR "/lib/objfuncs.so"};
  }

  void SetUp() override {
    std::string error;
    repository_ = mdserver::Repository::open("", &error);
    ASSERT_NE(repository_, nullptr) << error;
    mdserver::Outcome seeded = repository_->importSeedText(kSecuritySeed, "security seed");
    ASSERT_TRUE(seeded.ok()) << seeded.message;
    refhost::HostConfig config;
    config.logFile = nullptr;
    host_ = std::make_unique<refhost::ReferenceHost>(config);
    for (const std::string& path : libraries()) host_->load(path);
    host_->setMetadataProvider([this](HostSession*, void** out) {
      MetadataInterface* md = mdserver::openInterface(*repository_, {"tester", "secret"});
      current_ = mdserver::ClientInterface::fromAbi(md);
      current_->onRelease([this, ci = current_](const mdserver::ReleaseSummary&) {
        if (current_ == ci) current_ = nullptr;
      });
      *out = md;
      return kStatusOk;
    });
    session_ = host_->newSession(nullptr, "DOSUB");
  }
  void TearDown() override { host_.reset(); }

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

  const mdserver::TransactionRecord* transaction(const std::string& text) {
    return current_ ? current_->transactions().find(text) : nullptr;
  }
  uint64_t calls(const char* operation) { return current_ ? current_->callCount(operation) : 0; }
  uint64_t blocks() { return current_ ? current_->pool().counts().blocksOutstanding : 0; }
  uint64_t invalidReleases() { return current_ ? current_->pool().counts().invalidReleases : 0; }

  using Arg = refhost::Argument;
  double begtran(const std::string& repository, double flags, refhost::CharacterVariable& out) {
    return value("METASEC_BEGTRAN", {Arg::literal(repository), Arg::numeric(flags), Arg::of(out)});
  }
  double endtran(const std::string& repository, const std::string& text, double flag) {
    return value("METASEC_ENDTRAN",
                 {Arg::literal(repository), Arg::literal(text), Arg::numeric(flag)});
  }

  std::unique_ptr<mdserver::Repository> repository_;  // outlives the host and its interfaces
  std::unique_ptr<refhost::ReferenceHost> host_;
  HostSession* session_ = nullptr;
  mdserver::ClientInterface* current_ = nullptr;
};

}  // namespace testing_support
