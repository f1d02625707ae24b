// Loading a package as the host does: dlopen, mcn_main, the image information block, the module
// record and the two registration requests.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "host/host_core.h"
#include "host/text_tools.h"

namespace refhost::detail {
namespace {

std::string hex32(uint32_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", v);
  return buffer;
}

// Hands a registration answer back to the allocator it came from; one that does not come from
// the registration allocator is reported, not freed.
void releaseAnswer(HostCore& core, void* answer, const std::string& path, const char* what) {
  if (core.registrationPool.holds(answer)) {
    core.registrationPool.release(answer);
  } else {
    core.writeLog(kLevelWarning, path + ": the " + what +
                                     " was not allocated from the host's allocator; it is not freed.");
  }
}

}  // namespace

void HostCore::closeLibrary(LoadedLibrary& library) {
  if (library.handle_) dlclose(library.handle_);
  library.handle_ = nullptr;
}

const LoadedLibrary& HostCore::load(const std::string& path) {
  for (const auto& library : libraries)
    if (library->path_ == path) return *library;
  ActiveGuard guard(this);

  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    throw HostError("cannot load " + path + ": " + (reason ? reason : "unknown reason"));
  }
  auto library = std::make_unique<LoadedLibrary>();
  library->path_ = path;
  library->handle_ = handle;
  auto refuse = [&](const std::string& what) {
    closeLibrary(*library);
    writeLog(kLevelError, "The package " + path + " was refused: " + what);
    throw HostError("cannot load " + path + ": " + what);
  };

  auto mcnMain = reinterpret_cast<McnMainEntry>(dlsym(handle, "mcn_main"));
  if (!mcnMain) refuse("it does not export mcn_main");
  library->tkvercn1_ = reinterpret_cast<Tkvercn1Entry>(dlsym(handle, "tkvercn1"));
  if (!library->tkvercn1_) refuse("it does not export tkvercn1");

  const ImageInformationBlock* image = mcnMain(&interface, library->moduleToken());
  if (!image) refuse("mcn_main returned no image information block");
  if (std::memcmp(image->marker, kImageMarker, sizeof kImageMarker) != 0 ||
      image->marker[sizeof kImageMarker] != '\0') {
    refuse("the image information block does not begin with the marker \"" +
           std::string(kImageMarker) + "\"");
  }
  if (image->magic != kImageMagic)
    refuse("the image information block has the magic " + hex32(image->magic) + ", expected " +
           hex32(kImageMagic));
  if (!image->moduleList || !image->moduleList[0])
    refuse("the image information block lists no module record");
  const ModuleRecord* module = image->moduleList[0];
  static constexpr uint8_t kLead[4] = {0x00, 0x00, 0xFF, 0xFF};
  if (std::memcmp(module->lead, kLead, 4) != 0)
    refuse("the module record does not begin with the bytes 00 00 FF FF");
  if (!module->registrationHandler) refuse("the module record has no registration handler");
  library->image_ = image;
  library->module_ = module;

  size_t raisedBefore = record.raisedErrors.size();
  auto raisedNote = [&]() -> std::string {
    return record.raisedErrors.size() > raisedBefore
               ? " (the package raised host error " + std::to_string(record.raisedErrors.back()) + ")"
               : "";
  };
  auto* names = static_cast<RegistrationNameRecord*>(module->registrationHandler(kRequestNames));
  if (!names) refuse("the registration handler returned no name record for request 1" + raisedNote());
  int32_t count = names->count;
  const FunctionDescriptor* descriptors = names->descriptors;
  if (count <= 0 || count > 4096 || !descriptors) {
    releaseAnswer(*this, names, path, "name record");
    refuse("the name record holds " + std::to_string(count) + " descriptors" +
           (descriptors ? "" : " and no descriptor table"));
  }
  std::vector<FunctionDescriptor> rows(descriptors, descriptors + count);
  releaseAnswer(*this, names, path, "name record");

  auto* words = static_cast<void**>(module->registrationHandler(kRequestCallbacks));
  if (!words) refuse("the registration handler returned no callback block for request 2" + raisedNote());
  std::vector<void*> callbacks(words + 1, words + 1 + count);
  releaseAnswer(*this, words, path, "callback block");

  for (int32_t i = 0; i < count; ++i) {
    LoadedFunction function;
    function.name.assign(rows[i].name, strnlen(rows[i].name, sizeof rows[i].name));
    function.descriptor = rows[i];
    function.callback = callbacks[i];
    function.row = i + 1;
    function.library = library.get();
    if (!function.callback)
      refuse("callback " + std::to_string(i + 1) + " (" + function.name + ") is null");
    if (function.name.empty()) refuse("descriptor " + std::to_string(i + 1) + " has no name");
    library->functions_.push_back(std::move(function));
  }

  Dl_info info{};
  if (dladdr(image, &info) && info.dli_fbase)
    library->loadBase_ = reinterpret_cast<uintptr_t>(info.dli_fbase);

  for (const LoadedFunction& function : library->functions_)
    functionIndex.emplace(text::asciiUpper(function.name), &function);
  writeLog(kLevelNote, "The package " + path + " (module " + library->moduleName() + ") registered " +
                           std::to_string(count) + " functions.");
  libraries.push_back(std::move(library));
  return *libraries.back();
}

}  // namespace refhost::detail
