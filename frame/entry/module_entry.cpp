// Module entry of a package: mcn_main, tkvercn1, the image information block with the module list
// and the version record, and the registration handler. Shared by both deliverables; what differs
// (module record, descriptor table, callbacks) comes from the package's kPackage.
#include <cstring>

#include "frame/build_info.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/package_definition.h"
#include "random/engine.h"

#define RUX_EXPORT extern "C" __attribute__((visibility("default")))

namespace frame {

HostInterface* gHost = nullptr;

namespace {

void* gModuleToken = nullptr;
RuntimeTable* gRuntime = nullptr;

// Texts the version record points at. The two 64-character fields are keyword plus blanks.
constexpr char kHotfixField[] =
    "RUX_VERSION_HOTFIX_NUMBER=                                      ";
constexpr char kDescriptionField[] =
    "VERCON_IMAGE_DESCRIPTION=                                       ";
static_assert(sizeof(kHotfixField) == 65 && sizeof(kDescriptionField) == 65);
static_assert(sizeof(build_info::kIdentifier) == 20);  // 19 characters

constexpr char kNotice[] = "Copyright the metadata packages team. All rights reserved.";

constexpr VersionRecord kVersionRecord = {
    build_info::kFullVersionWithBuild,
    build_info::kBranch,
    "",
    build_info::kBuildEpoch,
    "base",
    build_info::kShortIdentifier,
    "base",
    build_info::kIdentifier,
    "",
    "version",
    "::",
    "",
    kHotfixField,
    "",
    kDescriptionField,
    build_info::kShortText,
    build_info::kBuildStamp,
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
};

template <size_t N, size_t M>
constexpr void copyText(char (&field)[N], const char (&text)[M]) {
  static_assert(M <= N, "text does not fit its field");
  for (size_t i = 0; i < M; ++i) field[i] = text[i];
}

constexpr ImageInformationBlock makeImage() {
  ImageInformationBlock image{};
  copyText(image.marker, kImageMarker);
  image.magic = kImageMagic;
  image.eight = 8;
  copyText(image.shortVersion, build_info::kShortVersion);
  copyText(image.fullVersion, build_info::kFullVersion);
  copyText(image.buildDate, build_info::kBuildDate);
  image.moduleList = nullptr;  // set below: needs the block's own address
  image.notice = kNotice;
  copyText(image.levelText, "001");
  image.moduleListStorage[0] = &kModuleRecord;
  image.moduleListStorage[1] = nullptr;
  image.version = kVersionRecord;
  return image;
}

struct ImageWithSelfReference {
  ImageInformationBlock block;
  constexpr ImageWithSelfReference() : block(makeImage()) {
    block.moduleList = block.moduleListStorage;
  }
};
constinit const ImageWithSelfReference kImage{};

}  // namespace

void setModuleGlobals(HostInterface* host, void* moduleToken) {
  gHost = host;
  gModuleToken = moduleToken;
  gRuntime = host != nullptr ? host->runtime : nullptr;
  rng::bindRuntime(gRuntime);  // the engine reaches the host only through this table
}
void* moduleToken() { return gModuleToken; }
RuntimeTable* runtimeTable() { return gRuntime; }

// Request 1: the name record (count and descriptor table); request 2: the callback block of
// count + 1 words, word 0 unwritten. Both come from the host's registration allocator and belong
// to the host. Any other request: null, nothing allocated.
void* registrationHandler(int32_t request) {
  if (request != kRequestNames && request != kRequestCallbacks) return nullptr;
  const PackageDefinition& package = kPackage;
  if (request == kRequestNames) {
    auto* names = static_cast<RegistrationNameRecord*>(
        hostAllocate(gHost->registrationAllocator, sizeof(RegistrationNameRecord), kTagGeneral));
    if (names == nullptr) {
      hostRaiseError(gHost, kHostErrorOutOfMemory);
      return nullptr;
    }
    names->count = package.count;
    names->descriptors = package.descriptors;
    return names;
  }
  const uint64_t bytes = sizeof(uint64_t) * (static_cast<uint64_t>(package.count) + 1);
  auto* block = static_cast<AnyCallback*>(
      hostAllocate(gHost->registrationAllocator, bytes, kTagGeneral));
  if (block == nullptr) {
    hostRaiseError(gHost, kHostErrorOutOfMemory);
    return nullptr;
  }
  for (int32_t i = 0; i < package.count; ++i) block[i + 1] = package.callbacks[i];
  return block;
}

}  // namespace frame

RUX_EXPORT const ImageInformationBlock* mcn_main(HostInterface* host, void* moduleToken) {
  frame::setModuleGlobals(host, moduleToken);
  return &frame::kImage.block;
}

RUX_EXPORT int32_t tkvercn1(void* buffer) {
  std::memcpy(buffer, &frame::kImage.block.version, sizeof(VersionRecord));
  return 0;
}
