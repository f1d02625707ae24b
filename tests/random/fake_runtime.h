// A small in-memory runtime table for the engine's unit tests: a name-value store with the host's
// statuses, a controllable clock, a processor record with or without RDRAND, a task record, and
// a message object that records every formatted line (formatted with the host's UTF-16 printf
// conventions: %s/%S UTF-16, %hs 8-bit) and the level and code of every catalogue message.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "frame/host_abi.h"
#include "random/engine.h"

namespace rng_test {

struct Recorded {
  enum Kind { kFormatted, kCatalogue, kStatus } kind;
  int32_t level;
  StatusCode code;   // catalogue code or reported status
  std::string text;  // formatted line (ASCII)
};

class FakeRuntime {
 public:
  FakeRuntime() {
    instance_ = this;
    table_.structureSize = sizeof(RuntimeTable);
    table_.version = 1;
    table_.query = &query;
    table_.nameValueGet = &get;
    table_.nameValueSet = &set;
    table_.nameValueDefined = &defined;
    table_.transcode = &transcode;
    table_.currentTaskRecord = &task;
    table_.messageObject = &messages_;
    table_.upperCase16 = nullptr;
    messages_.ops = &kOps;
    processor_.leaf1Ecx = kCpuidEcxRdrand;
    task_.identity = 42;
    rng::bindRuntime(&table_);
  }
  ~FakeRuntime() {
    rng::bindRuntime(nullptr);
    instance_ = nullptr;
  }

  RuntimeTable* table() { return &table_; }
  void setRdrand(bool present) { processor_.leaf1Ecx = present ? kCpuidEcxRdrand : 0; }
  void withoutMessages() { table_.messageObject = nullptr; }

  using Value = std::variant<double, int64_t, std::u16string>;
  std::map<std::u16string, Value> store;
  std::vector<Recorded> log;

  std::vector<StatusCode> catalogueCodes() const {
    std::vector<StatusCode> codes;
    for (const Recorded& r : log)
      if (r.kind == Recorded::kCatalogue) codes.push_back(r.code);
    return codes;
  }
  std::vector<std::string> formattedLines() const {
    std::vector<std::string> lines;
    for (const Recorded& r : log)
      if (r.kind == Recorded::kFormatted) lines.push_back(r.text);
    return lines;
  }

  // Formats one UTF-16 printf format (the subset the engine uses) into ASCII.
  static std::string format(const char16_t* format, va_list args) {
    std::string out;
    for (const char16_t* p = format; *p; ++p) {
      if (*p != u'%') {
        out += static_cast<char>(*p);
        continue;
      }
      std::string directive = "%";
      ++p;
      bool star = false;
      while (*p == u'-' || *p == u'.' || *p == u'*' || (*p >= u'0' && *p <= u'9')) {
        if (*p == u'*') star = true;
        directive += static_cast<char>(*p++);
      }
      int lengthMods = 0;
      bool narrow = false;
      while (*p == u'l' || *p == u'h') {
        if (*p == u'l') ++lengthMods;
        if (*p == u'h') narrow = true;
        ++p;
      }
      char conversion = static_cast<char>(*p);
      char buffer[512];
      int precision = star ? va_arg(args, int) : -1;
      if (conversion == '%') {
        out += '%';
      } else if (conversion == 's' || conversion == 'S') {
        if (narrow) {
          const char* s = va_arg(args, const char*);
          out += precision >= 0 ? std::string(s, strnlen(s, precision)) : std::string(s);
        } else {
          const char16_t* s = va_arg(args, const char16_t*);
          for (int i = 0; s[i] && (precision < 0 || i < precision); ++i)
            out += static_cast<char>(s[i]);
        }
      } else if (conversion == 'g' || conversion == 'f') {
        std::snprintf(buffer, sizeof buffer, (directive + conversion).c_str(), va_arg(args, double));
        out += buffer;
      } else if (lengthMods >= 2) {
        std::snprintf(buffer, sizeof buffer, (directive + "ll" + conversion).c_str(),
                      va_arg(args, long long));
        out += buffer;
      } else {
        std::snprintf(buffer, sizeof buffer, (directive + conversion).c_str(), va_arg(args, int));
        out += buffer;
      }
    }
    return out;
  }

  double clock = 1000.0;  // seconds; every read advances it
  uint64_t systemWord5 = 77;

 private:
  static inline FakeRuntime* instance_ = nullptr;
  RuntimeTable table_{};
  MessageObject messages_{};
  ProcessorRecord processor_{};
  HostTask task_{};

  static StatusCode query(int64_t, void* buffer, uint32_t selector) {
    if (selector == kQueryClock) {
      auto* d = static_cast<double*>(buffer);
      instance_->clock += 0.001;
      d[0] = instance_->clock;
      d[1] = 0.0;
      return 0;
    }
    if (selector == kQuerySystem) {
      auto* w = static_cast<uint64_t*>(buffer);
      for (int i = 0; i < 25; ++i) w[i] = 0;
      w[5] = instance_->systemWord5;
      return 0;
    }
    if (selector == kQueryProcessor) {
      *static_cast<ProcessorRecord**>(buffer) = &instance_->processor_;
      return 0;
    }
    return 0x803FC001u;
  }
  static std::u16string key(const char16_t* name, int32_t length) {
    return length > 0 ? std::u16string(name, length) : std::u16string(name);
  }
  static StatusCode get(const char16_t* name, int32_t length, int32_t type, void* buffer,
                        int64_t* size) {
    auto it = instance_->store.find(key(name, length));
    if (it == instance_->store.end()) return kNameValueNoValue;
    const Value& v = it->second;
    if (type == kNameValueDouble && std::holds_alternative<double>(v)) {
      std::memcpy(buffer, &std::get<double>(v), 8);
      return 0;
    }
    if (type == kNameValueInteger && std::holds_alternative<int64_t>(v)) {
      std::memcpy(buffer, &std::get<int64_t>(v), 8);
      return 0;
    }
    if (type == kNameValueText && std::holds_alternative<std::u16string>(v)) {
      const std::u16string& text = std::get<std::u16string>(v);
      int64_t bytes = std::min<int64_t>(*size, text.size() * 2);
      std::memcpy(buffer, text.data(), bytes);
      *size = bytes;
      return 0;
    }
    return kNameValueWrongType;
  }
  static StatusCode set(const char16_t* name, int32_t length, int32_t, int32_t type,
                        const void* value, int64_t size, int64_t, int64_t) {
    std::u16string k = key(name, length);
    auto it = instance_->store.find(k);
    // Like the host, a name keeps its first type.
    if (it != instance_->store.end()) {
      bool same = (type == kNameValueDouble && std::holds_alternative<double>(it->second)) ||
                  (type == kNameValueInteger && std::holds_alternative<int64_t>(it->second)) ||
                  (type == kNameValueText && std::holds_alternative<std::u16string>(it->second));
      if (!same) return kNameValueWrongType;
    }
    if (type == kNameValueDouble) {
      double d;
      std::memcpy(&d, value, 8);
      instance_->store[k] = d;
    } else if (type == kNameValueInteger) {
      int64_t i;
      std::memcpy(&i, value, 8);
      instance_->store[k] = i;
    } else {
      instance_->store[k] = std::u16string(static_cast<const char16_t*>(value), size / 2);
    }
    return 0;
  }
  static int32_t defined(const char16_t* name, int32_t length) {
    return instance_->store.count(key(name, length)) ? 1 : 0;
  }
  static StatusCode transcode(const char* text, int64_t length, char16_t* out, int64_t capacity,
                              int64_t* outLength) {
    if (length < 0) length = static_cast<int64_t>(std::strlen(text));
    int64_t n = std::min(length, capacity);
    for (int64_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);
    *outLength = n;
    return 0;
  }
  static HostTask* task() { return &instance_->task_; }

  static StatusCode formatted(MessageObject*, int32_t level, const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    instance_->log.push_back({Recorded::kFormatted, level, 0, format(fmt, args)});
    va_end(args);
    return 0;
  }
  static StatusCode catalogue(MessageObject*, int32_t level, StatusCode code, ...) {
    instance_->log.push_back({Recorded::kCatalogue, level, code, {}});
    return 0;
  }
  static StatusCode status(MessageObject*, int32_t level, StatusCode status) {
    instance_->log.push_back({Recorded::kStatus, level, status, {}});
    return 0;
  }
  static constexpr MessageObjectOps kOps = {&formatted, &catalogue, &status};
};

}  // namespace rng_test
