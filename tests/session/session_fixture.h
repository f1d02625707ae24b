// A reference host with objfuncs.so loaded and a fake metadata server behind it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "tests/session/fake_metadata_server.h"

namespace testing_support {

class SessionFixture : public ::testing::Test {
 protected:
  void SetUp() override { startHost({}); }

  void startHost(refhost::HostConfig config) {
    host_.reset();
    config.logFile = nullptr;
    host_ = std::make_unique<refhost::ReferenceHost>(std::move(config));
    host_->load(RUX_BUILD_DIR "/lib/objfuncs.so");
    host_->setMetadataProvider([this](HostSession*, void** out) {
      *out = server_.open();
      return kStatusOk;
    });
    session_ = host_->newSession(nullptr, "DOSUB");
  }

  refhost::CallResult call(HostSession* session, const char* name,
                           std::vector<refhost::Argument> args = {}) {
    return host_->call(session, name, args);
  }
  double value(HostSession* session, const char* name, std::vector<refhost::Argument> args = {}) {
    return call(session, name, std::move(args)).numericValue;
  }
  double resolve(HostSession* session, const std::string& uri) {
    refhost::CharacterVariable type(32), id(32);
    return value(session, "METADATA_RESOLVE",
                 {refhost::Argument::literal(uri), refhost::Argument::of(type),
                  refhost::Argument::of(id)});
  }
  std::string sysmsg(HostSession* session) {
    return host_->macroText("SYSMSG", session).value_or("<unset>");
  }
  std::string sysrc(HostSession* session) {
    return host_->macroText("SYSRC", session).value_or("<unset>");
  }

  // Declared first so it outlives the host, whose end runs the cache cleanups against it.
  FakeMetadataServer server_;
  std::unique_ptr<refhost::ReferenceHost> host_;
  HostSession* session_ = nullptr;
};

}  // namespace testing_support
