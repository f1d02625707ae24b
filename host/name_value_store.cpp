#include "host/name_value_store.h"

#include <algorithm>
#include <cstring>

#include "host/reference_host.h"
#include "host/text_tools.h"

namespace refhost::detail {
namespace {

int32_t typeOf(const NameValueStore::Value& v) {
  switch (v.index()) {
    case 0: return kNameValueDouble;
    case 1: return kNameValueInteger;
    default: return kNameValueText;
  }
}

}  // namespace

std::u16string_view runtimeName(const char16_t* name, int32_t length) {
  if (!name) return {};
  if (length > 0) return std::u16string_view(name, static_cast<size_t>(length));
  return std::u16string_view(name);
}

StatusCode NameValueStore::get(std::u16string_view name, int32_t type, void* buffer,
                               int64_t* size) const {
  auto it = values_.find(text::foldKey(name));
  if (it == values_.end()) return kNameValueNoValue;
  if (typeOf(it->second) != type) return kNameValueWrongType;
  if (!size || (!buffer && *size > 0)) return kHostStatusMissingArgument;
  if (type == kNameValueText) {
    const std::u16string& text = std::get<std::u16string>(it->second);
    int64_t room = *size < 0 ? 0 : *size / 2;
    int64_t n = std::min<int64_t>(room, static_cast<int64_t>(text.size()));
    if (n > 0) std::memcpy(buffer, text.data(), static_cast<size_t>(n) * 2);
    *size = n * 2;
    return kStatusOk;
  }
  if (*size < 8) return kHostStatusBufferTooSmall;
  if (type == kNameValueDouble) {
    double v = std::get<double>(it->second);
    std::memcpy(buffer, &v, 8);
  } else {
    int64_t v = std::get<int64_t>(it->second);
    std::memcpy(buffer, &v, 8);
  }
  *size = 8;
  return kStatusOk;
}

StatusCode NameValueStore::set(std::u16string_view name, int32_t type, const void* value,
                               int64_t size) {
  if (name.empty()) return kHostStatusMissingArgument;
  Value v;
  if (type == kNameValueDouble || type == kNameValueInteger) {
    if (!value) return kHostStatusMissingArgument;
    if (size < 8) return kHostStatusBufferTooSmall;
    if (type == kNameValueDouble) {
      double d;
      std::memcpy(&d, value, 8);
      v = d;
    } else {
      int64_t i;
      std::memcpy(&i, value, 8);
      v = i;
    }
  } else if (type == kNameValueText) {
    if (!value && size > 0) return kHostStatusMissingArgument;
    std::u16string text;
    if (size > 0) {
      text.resize(static_cast<size_t>(size / 2));
      std::memcpy(text.data(), value, text.size() * 2);
    }
    // A terminating zero counted in the size is not part of the value.
    while (!text.empty() && text.back() == 0) text.pop_back();
    v = std::move(text);
  } else {
    return kHostStatusUnknownSelector;
  }
  std::u16string key = text::foldKey(name);
  auto it = values_.find(key);
  if (it != values_.end() && typeOf(it->second) != type) return kNameValueWrongTypeAlt;
  values_[std::move(key)] = std::move(v);
  return kStatusOk;
}

bool NameValueStore::defined(std::u16string_view name) const {
  return values_.count(text::foldKey(name)) != 0;
}

void NameValueStore::replace(std::u16string_view name, Value value) {
  values_[text::foldKey(name)] = std::move(value);
}

void NameValueStore::remove(std::u16string_view name) { values_.erase(text::foldKey(name)); }

std::optional<NameValueStore::Value> NameValueStore::find(std::u16string_view name) const {
  auto it = values_.find(text::foldKey(name));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace refhost::detail
