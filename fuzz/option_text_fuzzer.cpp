// The packages' reading of the host's startup option text ("-rngseed=5 -nonews"), as each
// package does it when it builds a session's context, served by the reference host. What must
// hold for every text:
// - no option is found in a text that does not name it (or abbreviate it with "*");
// - a well-formed "-rngseed=N" added after any text is the one that counts (the last wins),
//   when the whole text fits the capacity the package asks for;
// - the package tells the host it was seeded exactly when it found the option.
// The fuzz program plays the module entry: it hands the package frame the host interface, as
// mcn_main does when a host loads a package.
#include <cstdint>
#include <string>
#include <string_view>

#include "frame/host_abi.h"
#include "frame/module_globals.h"
#include "frame/package_context.h"
#include "fuzz/fuzz_check.h"
#include "host/reference_host.h"
#include "random/engine.h"

namespace frame {
HostInterface* gHost = nullptr;
namespace {
void* gToken = nullptr;
}  // namespace

void setModuleGlobals(HostInterface* host, void* moduleToken) {
  gHost = host;
  gToken = moduleToken;
  rng::bindRuntime(host != nullptr ? host->runtime : nullptr);
}
void* moduleToken() { return gToken; }
RuntimeTable* runtimeTable() { return gHost != nullptr ? gHost->runtime : nullptr; }
}  // namespace frame

namespace {

constexpr size_t kPackageCapacity = 1024;  // what the package asks the host for
constexpr int32_t kAddedSeed = 12345;

struct Host {
  refhost::ReferenceHost host{[] {
    refhost::HostConfig config;
    config.logFile = nullptr;
    return config;
  }()};
  HostSession* session = host.newSession(nullptr, "DOSUB");
  Host() { frame::setModuleGlobals(host.interface(), this); }
};

Host& theHost() {
  static Host* h = new Host;
  return *h;
}

bool namesTheOption(std::string_view text) {
  if (text.find('*') != std::string_view::npos) return true;
  constexpr std::string_view kName = "RNGSEED";
  for (size_t i = 0; i + kName.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < kName.size() && (text[i + k] & ~0x20) == kName[k]) ++k;
    if (k == kName.size()) return true;
  }
  return false;
}

int32_t seedOf(Host& h, std::string text) {
  h.host.clearRecord();
  h.host.setOptionText(std::move(text));
  const int32_t seed = frame::optionValue(h.session, "-rngseed");
  const size_t events = h.host.record().optionEvents.size();
  FUZZ_CHECK(events == (seed != 0 ? 3u : 0u),
             "seed " + std::to_string(seed) + " with " + std::to_string(events) + " option events");
  return seed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Host& h = theHost();
  const std::string text(reinterpret_cast<const char*>(data), size);

  const int32_t seed = seedOf(h, text);
  if (!namesTheOption(text)) FUZZ_CHECK(seed == 0, "found " + std::to_string(seed) + " in: " + text);

  // The host keeps the text without the dash of each option, so the added option takes 14
  // bytes of the capacity (blank included).
  const std::string added = text + " -rngseed=" + std::to_string(kAddedSeed);
  if (added.size() - 1 <= kPackageCapacity) {
    const int32_t last = seedOf(h, added);
    FUZZ_CHECK(last == kAddedSeed, "the option added last gave " + std::to_string(last));
  }
  return 0;
}
