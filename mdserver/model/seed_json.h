// Reading seed files: the JSON parse with its limits and fault positions, and the helpers that
// read a parsed seed and name every fault by its JSON pointer, turned into file:line:column by
// JsonLocator. The import (seed_import.cpp) and its security section use them.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "mdserver/base/outcome.h"
#include "mdserver/security/security_seed.h"

namespace mdserver::seed_json {

using Json = nlohmann::ordered_json;

// Finds where the value at a JSON pointer starts, scanning text that is known to be valid JSON.
class JsonLocator {
 public:
  explicit JsonLocator(std::string_view text) : text_(text) {}

  // Offset of the value at pointer, or of the deepest enclosing value that exists.
  size_t find(const std::string& pointer) {
    std::vector<std::string> tokens;
    for (size_t start = 1; start <= pointer.size() && !pointer.empty();) {
      size_t slash = pointer.find('/', start);
      std::string token = pointer.substr(start, slash == std::string::npos ? std::string::npos
                                                                           : slash - start);
      for (size_t at; (at = token.find("~1")) != std::string::npos;) token.replace(at, 2, "/");
      for (size_t at; (at = token.find("~0")) != std::string::npos;) token.replace(at, 2, "~");
      tokens.push_back(token);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    pos_ = 0;
    blanks();
    for (const std::string& token : tokens) {
      size_t here = pos_;
      if (!descend(token)) return here;
    }
    return pos_;
  }

 private:
  bool descend(const std::string& token) {
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == '{') {
      ++pos_;
      for (;;) {
        blanks();
        if (pos_ >= text_.size() || text_[pos_] == '}') return false;
        std::string key = stringValue();
        blanks();
        ++pos_;  // ':'
        blanks();
        if (key == token) return true;
        skipValue();
        blanks();
        if (pos_ < text_.size() && text_[pos_] == ',') ++pos_;
      }
    }
    if (text_[pos_] == '[') {
      size_t index = std::strtoul(token.c_str(), nullptr, 10);
      ++pos_;
      for (size_t i = 0;; ++i) {
        blanks();
        if (pos_ >= text_.size() || text_[pos_] == ']') return false;
        if (i == index) return true;
        skipValue();
        blanks();
        if (pos_ < text_.size() && text_[pos_] == ',') ++pos_;
      }
    }
    return false;
  }

  std::string stringValue() {
    std::string out;
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (text_[pos_] == '\\') ++pos_;
      if (pos_ < text_.size()) out += text_[pos_++];
    }
    ++pos_;
    return out;
  }

  void skipValue() {
    int depth = 0;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '"') {
        stringValue();
        if (depth == 0) return;
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') {
        if (depth == 0) return;
        if (--depth == 0) {
          ++pos_;
          return;
        }
      }
      if (depth == 0 && (c == ',' || c == '}' || c == ']')) return;
      ++pos_;
    }
  }

  void blanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// location, member, text: reading a parsed seed with every fault named by its JSON pointer.
// Line and column ("12:5") of an offset in text.
std::string location(std::string_view text, size_t offset);
// The member key of an object; SeedProblem at pointer when it is missing or object is none.
const Json& member(const Json& object, const char* key, const std::string& pointer);
// A string value; SeedProblem at pointer otherwise.
std::string text(const Json& value, const std::string& pointer);
// A string member that may be missing or null (then empty).
std::string optionalText(const Json& object, const char* key, const std::string& pointer);
// An identifier is given or left out; an empty one is a mistake, not a request for a new one.
std::string optionalIdentifier(const Json& object, const std::string& pointer);
// Attribute and association names may not be empty. (One name given twice in two spellings is
// one name: the attribute keeps the last value, the association both lists; programs rely on it.)
void checkNames(const Json& members, const std::string& pointer, const char* what);
// Throws SeedProblem{pointer, message} when outcome failed.
void failOn(const Outcome& outcome, const std::string& pointer);

// Arrays and objects nested deeper than this are refused: a seed file has four levels, and a
// value nested without end would exhaust the stack wherever it is copied or walked.
inline constexpr size_t kMaxNesting = 64;

// Offset of the first '[' or '{' nested deeper than limit, in text that parsed well up to it.
size_t firstTooDeep(std::string_view text, size_t limit);

// Builds the document as the library's own builder does, but refuses too deep a nesting and
// keeps the offset and reason of any fault (a syntax error, or a number no double can hold)
// instead of throwing.
class SeedParser : public nlohmann::json_sax<Json> {
 public:
  explicit SeedParser(Json& result) : builder_(result, false) {}

  bool null() override { return builder_.null(); }
  bool boolean(bool value) override { return builder_.boolean(value); }
  bool number_integer(number_integer_t value) override { return builder_.number_integer(value); }
  bool number_unsigned(number_unsigned_t value) override {
    return builder_.number_unsigned(value);
  }
  bool number_float(number_float_t value, const string_t& text) override {
    return builder_.number_float(value, text);
  }
  bool string(string_t& value) override { return builder_.string(value); }
  bool binary(binary_t& value) override { return builder_.binary(value); }
  bool start_object(std::size_t elements) override {
    return deeper() && builder_.start_object(elements);
  }
  bool key(string_t& value) override { return builder_.key(value); }
  bool end_object() override {
    --depth_;
    return builder_.end_object();
  }
  bool start_array(std::size_t elements) override {
    return deeper() && builder_.start_array(elements);
  }
  bool end_array() override {
    --depth_;
    return builder_.end_array();
  }
  bool parse_error(std::size_t position, const std::string& lastToken,
                   const nlohmann::detail::exception& error) override {
    failed_ = true;
    // position counts the characters read, up to and including the offending character; a
    // number out of range is named where it starts.
    constexpr int kNumberOverflow = 406;
    offset_ = position > 0 ? position - 1 : 0;
    if (error.id == kNumberOverflow && position >= lastToken.size()) {
      offset_ = position - lastToken.size();
    }
    reason_ = error.what();
    // Keep the library's explanation without its prefix.
    if (size_t at = reason_.find("] "); at != std::string::npos) reason_ = reason_.substr(at + 2);
    if (size_t at = reason_.find("syntax error"); at != std::string::npos) {
      reason_ = reason_.substr(at);
    }
    return false;
  }

  bool tooDeep() const { return tooDeep_; }
  bool failed() const { return failed_; }
  size_t offset() const { return offset_; }
  const std::string& reason() const { return reason_; }

 private:
  bool deeper() {
    if (++depth_ <= kMaxNesting) return true;
    tooDeep_ = true;
    return false;
  }

  nlohmann::detail::json_sax_dom_parser<Json> builder_;
  size_t depth_ = 0;
  bool tooDeep_ = false;
  bool failed_ = false;
  size_t offset_ = 0;
  std::string reason_;
};

}  // namespace mdserver::seed_json
