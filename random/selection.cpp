// Method selection by name: trimming, the accepted names and their aliases, the fallback to
// MTHYBRID, and the refusal of state-less methods on a processor without RDRAND.
#include "random/selection.h"

#include <cstring>

#include "random/conversions.h"
#include "random/method_list.h"
#include "random/stream.h"
#include "random/text16.h"

namespace rng {
namespace {

constexpr char16_t kMethodKey[] = u"OSENV.RUX_RNG_METHOD";

struct Alias {
  const char16_t* name;
  Method method;
};

// Accepted names in the order they are tried; the first equal one wins.
constexpr Alias kAliases[] = {
    {u"XOR64", Method::XOR64},
    {u"XOR128", Method::XOR128},
    {u"XOR1024", Method::XOR1024},
    {u"XOR4096", Method::XOR4096},
    {u"XORGENS", Method::XORGENS},
    {u"TF", Method::FRY4X64},
    {u"TF2", Method::FRY2X64},
    {u"TF4", Method::FRY4X64},
    {u"THREEFRY", Method::FRY4X64},
    {u"THREEFRY2X32", Method::FRY2X32},
    {u"THREEFRY2X64", Method::FRY2X64},
    {u"THREEFRY4X64", Method::FRY4X64},
    {u"TRNG", Method::RDRAND},
    {u"SUBKEY32", Method::SUBKEY32},
    {u"SUBKEY64", Method::SUBKEY64},
    {u"RANUNI", Method::RANUNI},
    {u"RDRAND", Method::RDRAND},
    {u"PCG", Method::PCG64I},
    {u"PCG32I", Method::PCG32I},
    {u"PCG64I", Method::PCG64I},
    {u"MH3", Method::MH3},
    {u"MT", Method::MT64},
    {u"MT1998", Method::MT1998},
    {u"MT2002", Method::MT32},
    {u"MT32", Method::MT32},
    {u"MT64", Method::MT64},
    {u"MTHYBRID", Method::MTHYBRID},
    {u"HARD", Method::RDRAND},
    {u"HARDWARE", Method::RDRAND},
    {u"FRY2X32", Method::FRY2X32},
    {u"FRY2X64", Method::FRY2X64},
    {u"FRY4X64", Method::FRY4X64},
};

bool sameName(const char16_t* text, int64_t length, const char16_t* accepted) {
  if (length16(accepted) != length) return false;
  for (int64_t i = 0; i < length; ++i)
    if (upperCase16(text[i]) != upperCase16(accepted[i])) return false;
  return true;
}

StatusCode installFallback(MethodDescriptor* descriptor, StatusCode status) {
  installMtHybrid(descriptor);
  return status;
}

// 8-bit name to UTF-16 through the host's transcoder (byte widening without one).
int64_t transcodeName(const char* text, int64_t length, char16_t* out, int64_t capacity) {
  RuntimeTable* runtime = boundRuntime();
  if (runtime != nullptr && runtime->transcode != nullptr) {
    int64_t produced = 0;
    if (runtime->transcode(text, length, out, capacity, &produced) == 0)
      return produced < 0 ? 0 : (produced > capacity ? capacity : produced);
  }
  int64_t n = length < capacity ? length : capacity;
  for (int64_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);
  return n;
}

}  // namespace

StatusCode selectMethod(const void* name, int64_t length, MethodDescriptor* descriptor,
                        uint64_t options) {
  const bool wide = (options & 1) != 0;
  const char16_t* wideText = static_cast<const char16_t*>(name);
  const char* narrowText = static_cast<const char*>(name);
  if (name == nullptr) {
    length = 0;
  } else if (length < 0) {
    length = wide ? length16(wideText) : static_cast<int64_t>(std::strlen(narrowText));
  }
  auto at = [&](int64_t i) -> char16_t {
    return wide ? wideText[i] : static_cast<char16_t>(static_cast<unsigned char>(narrowText[i]));
  };
  int64_t end = length;
  while (end > 0 && at(end - 1) == u' ') --end;
  int64_t start = 0;
  while (start < end && at(start) == u' ') ++start;
  const int64_t trimmed = end - start;
  if (trimmed >= kNameCapacity) return installFallback(descriptor, kStatusUnknownMethod);

  // The name may lie inside the descriptor that installing clears, so it is copied first.
  char16_t buffer[kNameCapacity] = {};
  int64_t nameLength = 0;
  if (trimmed > 0) {
    if (wide) {
      for (int64_t i = 0; i < trimmed; ++i) buffer[i] = wideText[start + i];
      nameLength = trimmed;
    } else {
      nameLength = transcodeName(narrowText + start, trimmed, buffer, kNameCapacity - 1);
    }
  } else {
    // A setting is taken as it stands, without trimming.
    nameLength = tknrtget(kMethodKey, 0, buffer, kNameCapacity - 1);
  }
  buffer[nameLength] = 0;
  std::memcpy(descriptor->wideName, buffer, sizeof buffer);
  if (nameLength == 0) return installFallback(descriptor, 0);

  const Alias* match = nullptr;
  for (const Alias& alias : kAliases) {
    if (sameName(buffer, nameLength, alias.name)) {
      match = &alias;
      break;
    }
  }
  if (match == nullptr) return installFallback(descriptor, kStatusUnknownMethod);
  methodEntry(match->method).install(descriptor);
  if (descriptor->seedStateBytes == 0 && !rdrandAvailable())
    return installFallback(descriptor, kStatusNoRdrand);
  return 0;
}

int acceptedNameCount() { return static_cast<int>(sizeof(kAliases) / sizeof(kAliases[0])); }

AcceptedName acceptedName(int index) {
  const Alias& alias = kAliases[index];
  return {alias.name, methodEntry(alias.method).name};
}

}  // namespace rng
