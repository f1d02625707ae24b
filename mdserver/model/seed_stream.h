// Reading a seed file as a stream: one pass of the JSON parser over a file or a text, handing
// out each entry of "objects" as a document of its own and every other top-level member whole,
// so that memory follows the largest entry, not the file.
//
// Positions: each piece comes with its own text (the characters the parser read for it) and
// where that text starts in the file, so a fault found later by JSON pointer is still named by
// file:line:column (Piece::locate).
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "mdserver/model/seed_json.h"

namespace mdserver::seed_json {

// Where a piece of the file starts: byte offset, and line and column counted from 1.
struct FilePosition {
  uint64_t offset = 0;
  uint64_t line = 1;
  uint64_t column = 1;
};

// One top-level member, or one entry of "objects".
struct Piece {
  // The value's text as read, possibly with blanks and the ':' or ',' before it.
  std::string text;
  FilePosition start;  // of text
  Json value;

  // "LINE:COLUMN" of the value at pointer (relative to this piece), or of the deepest enclosing
  // value that exists.
  std::string locate(const std::string& pointer) const;
};

// Characters from a file or a text, counted as they go, and kept while a piece is recorded.
class SeedSource {
 public:
  // Reads text in place; it must outlive the source.
  explicit SeedSource(std::string_view text) : text_(text), size_(text.size()) {}
  // Reads an open file from its current position (not closed here); size: its length, for
  // progress, or 0 when unknown.
  SeedSource(std::FILE* file, uint64_t size) : file_(file), size_(size) {}

  int next() {
    if (at_ == end_ && !refill()) return EOF;
    const char c = *at_++;
    history_[position_.offset % kHistory] = position_;
    if (!significantSeen_ && !std::isspace(static_cast<unsigned char>(c))) {
      significantSeen_ = true;
      firstSignificant_ = position_;
    }
    ++position_.offset;
    if (c == '\n') {
      ++position_.line;
      position_.column = 1;
    } else {
      ++position_.column;
    }
    if (recording_) recorded_ += c;
    if (armed_ && c == ',') {
      armed_ = false;
      record();
    }
    last_ = c;
    return static_cast<unsigned char>(c);
  }

  // The characters not yet read, as they come (the rest of the text, or the next block of the
  // file), taken whole: none of them is counted, recorded or kept. Empty at the end. For a
  // reader that does its own counting (the quick survey); not to be mixed with next().
  std::string_view takeBlock() {
    if (at_ == end_ && !refill()) return {};
    std::string_view out(at_, static_cast<size_t>(end_ - at_));
    at_ = end_;
    return out;
  }

  // Where the character at offset (one of the last few read, or on the current line) was.
  FilePosition positionOf(uint64_t offset) const;
  // Where the first character other than a blank was.
  const FilePosition& firstSignificant() const { return firstSignificant_; }

  const FilePosition& position() const { return position_; }
  uint64_t size() const { return size_; }
  char last() const { return last_; }
  bool readFailed() const { return readFailed_; }

  // Starts keeping what is read from here on (dropping anything kept before).
  void record() {
    recorded_.clear();
    recordStart_ = position_;
    recording_ = true;
  }
  void stopRecording() {
    recording_ = false;
    armed_ = false;
  }
  // Starts recording after the next ',' (only blanks come before it in valid text).
  void recordAfterComma() {
    recording_ = false;
    armed_ = true;
  }
  std::string& recorded() { return recorded_; }
  const FilePosition& recordStart() const { return recordStart_; }

  // The input iterator the JSON library reads through.
  struct Iterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;
    SeedSource* source = nullptr;  // null: the end
    int current = 0;
    bool loaded = false;

    char operator*() {
      load();
      return static_cast<char>(current);
    }
    Iterator& operator++() {
      load();
      loaded = false;
      return *this;
    }
    bool operator==(const Iterator& other) const { return atEnd() == other.atEnd(); }
    bool operator!=(const Iterator& other) const { return !(*this == other); }

   private:
    void load() {
      if (!loaded && source) {
        current = source->next();
        loaded = true;
      }
    }
    bool atEnd() const {
      if (!source) return true;
      const_cast<Iterator*>(this)->load();
      return current == EOF;
    }
  };
  Iterator begin() { return Iterator{this}; }
  static Iterator end() { return Iterator{}; }

 private:
  bool refill();

  std::string_view text_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  std::string buffer_;
  const char* at_ = nullptr;
  const char* end_ = nullptr;
  bool textGiven_ = false;
  bool readFailed_ = false;
  FilePosition position_;
  char last_ = 0;
  bool recording_ = false;
  bool armed_ = false;
  static constexpr uint64_t kHistory = 16;
  FilePosition history_[kHistory];
  bool significantSeen_ = false;
  FilePosition firstSignificant_;
  std::string recorded_;
  FilePosition recordStart_;
};

// What the reader found wrong with the text itself; offset/line/column where.
struct SyntaxFault {
  FilePosition at;
  std::string reason;
};

// Parses the whole source once. member(name, piece) is told each top-level member other than
// an "objects" array; entry(index, piece) each entry of that array, in order. Either may throw
// (a SeedProblem, a storage error) to stop the parse. Returns false with *fault set when the
// text is not a seed's JSON (a syntax error, too deep a nesting, not an object at the top).
bool readSeed(SeedSource& source, const std::function<void(const std::string&, Piece&)>& member,
              const std::function<void(uint64_t, Piece&)>& entry, SyntaxFault* fault);

}  // namespace mdserver::seed_json
