// A small package built only for the host tests: it registers like a real package and offers
// functions that show what the host put in the call frame.
//
//   ECHO(in, out)        copies the text of argument 1 into argument 2; value = its length
//   PROBE(a, b, c, d)    value = sum of digit_i * 10^i: 0 null address, 1 writable, 2 flag 4
//   ISMISSING(x)         value = 1 when x has all exponent bits set, else 0
//   ADD(x, y)            value = x + y
//   COUNT(text, ...)     value = the argument count (no upper limit)
//   RAISE()              raises host error 1016, then stores 5
//   SHOUT(in)            character result "R:" + in
//   PLAIN(in)            no result; returns 42
//   SESSIONSLOT()        value = 1 when the current task's session is the host's, stores slot 37
#include <cstring>

#include "frame/host_services.h"

namespace {

HostInterface* gHost = nullptr;

CharacterSlot* slotOf(CallFrame* frame, int i) {
  return static_cast<CharacterSlot*>(callFrameArgument(frame, i)->address);
}

int32_t echo(CallFrame* frame, double* result) {
  CharacterSlot* in = slotOf(frame, 0);
  CharacterSlot* out = slotOf(frame, 1);
  int64_t n = static_cast<int32_t>(in->length);
  std::memset(out->text, ' ', static_cast<size_t>(out->capacity));
  if (n > out->capacity) n = out->capacity;
  std::memcpy(out->text, in->text, static_cast<size_t>(n));
  out->length = n;
  *result = static_cast<double>(n);
  return 0;
}

int32_t probe(CallFrame* frame, double* result) {
  double value = 0, scale = 1;
  for (int i = 0; i < frame->argumentCount; ++i, scale *= 10) {
    CallFrameArgument* a = callFrameArgument(frame, i);
    int digit = a->address == nullptr ? 0 : ((a->flags & kArgumentCannotReceive) ? 2 : 1);
    value += digit * scale;
  }
  *result = value;
  return 0;
}

int32_t isMissing(CallFrame* frame, double* result) {
  uint64_t bits;
  std::memcpy(&bits, callFrameArgument(frame, 0)->address, 8);
  *result = (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull ? 1 : 0;
  return 0;
}

int32_t add(CallFrame* frame, double* result) {
  *result = *static_cast<double*>(callFrameArgument(frame, 0)->address) +
            *static_cast<double*>(callFrameArgument(frame, 1)->address);
  return 0;
}

int32_t count(CallFrame* frame, double* result) {
  *result = frame->argumentCount;
  return 0;
}

int32_t raise(CallFrame*, double* result) {
  hostRaiseError(gHost, kHostErrorOutOfMemory);
  *result = 5;
  return 0;
}

int32_t shout(CallFrame* frame, CharacterSlot* result) {
  CharacterSlot* in = slotOf(frame, 0);
  int64_t n = 0;
  auto put = [&](char c) {
    if (n < result->capacity) result->text[n++] = c;
  };
  put('R');
  put(':');
  for (int64_t i = 0; i < static_cast<int32_t>(in->length); ++i) put(in->text[i]);
  result->length = n;
  return 0;
}

int32_t plain(CallFrame*) { return 42; }

int32_t sessionSlot(CallFrame*, double* result) {
  HostSession* s = gHost->currentTask ? gHost->currentTask->session : nullptr;
  *result = s ? 1 : 0;
  if (s) hostSetSessionSlot(gHost, s, 37, s);
  return 0;
}

#pragma pack(push, 1)
constexpr FunctionDescriptor kRows[] = {
    {"ECHO", 2, 2, kResultKindNumeric, 0, 0x32},
    {"PROBE", 0, 4, kResultKindNumeric, 0, 0x492},
    {"ISMISSING", 1, 1, kResultKindNumeric, 0, 0x1},
    {"ADD", 2, 2, kResultKindNumeric, 0, 0x9},
    {"COUNT", 1, kNoUpperLimit, kResultKindNumeric, 0, 0x12492492},
    {"RAISE", 0, 0, kResultKindNumeric, 0, 0},
    {"SHOUT", 1, 1, kResultKindNumeric, 0xA, 0x2},
    {"PLAIN", 1, 1, kResultKindNumeric, 0x1, 0x2},
    {"SESSIONSLOT", 0, 0, kResultKindNumeric, 0, 0},
};
#pragma pack(pop)
constexpr int32_t kCount = sizeof kRows / sizeof kRows[0];
void* const kCallbacks[kCount] = {
    reinterpret_cast<void*>(echo),  reinterpret_cast<void*>(probe), reinterpret_cast<void*>(isMissing),
    reinterpret_cast<void*>(add),   reinterpret_cast<void*>(count), reinterpret_cast<void*>(raise),
    reinterpret_cast<void*>(shout), reinterpret_cast<void*>(plain), reinterpret_cast<void*>(sessionSlot),
};

void* registration(int32_t request) {
  if (request == kRequestNames) {
    auto* names = static_cast<RegistrationNameRecord*>(
        hostAllocate(gHost->registrationAllocator, sizeof(RegistrationNameRecord), kTagGeneral));
    if (!names) {
      hostRaiseError(gHost, kHostErrorOutOfMemory);
      return nullptr;
    }
    names->count = kCount;
    names->descriptors = kRows;
    return names;
  }
  if (request == kRequestCallbacks) {
    auto* words = static_cast<void**>(
        hostAllocate(gHost->registrationAllocator, 8 * (kCount + 1), kTagGeneral));
    if (!words) {
      hostRaiseError(gHost, kHostErrorOutOfMemory);
      return nullptr;
    }
    for (int32_t i = 0; i < kCount; ++i) words[i + 1] = kCallbacks[i];
    return words;
  }
  return nullptr;
}

const ModuleRecord kModule = {{0, 0, 0xFF, 0xFF}, 1024, 1024, "fixture", registration, 1, 9683,
                              0x12345678, 15};

ImageInformationBlock makeImage() {
  ImageInformationBlock block{};
  std::memcpy(block.marker, kImageMarker, sizeof kImageMarker);
  block.magic = FIXTURE_MAGIC;
  block.eight = 8;
  std::memcpy(block.levelText, "001", 3);
  block.moduleListStorage[0] = &kModule;
  return block;
}
ImageInformationBlock gImage = makeImage();

}  // namespace

extern "C" __attribute__((visibility("default"))) const ImageInformationBlock* mcn_main(
    HostInterface* host, void*) {
  gHost = host;
  gImage.moduleList = gImage.moduleListStorage;
  return &gImage;
}

extern "C" __attribute__((visibility("default"))) int32_t tkvercn1(void* buffer) {
  std::memcpy(buffer, &gImage.version, sizeof gImage.version);
  return 0;
}
