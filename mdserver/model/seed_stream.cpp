// Reading a seed file as a stream; contract in seed_stream.h.
#include "mdserver/model/seed_stream.h"

#include <optional>

namespace mdserver::seed_json {

namespace {

// Line and column of offset inside text that starts at start.
FilePosition advance(FilePosition start, std::string_view text, size_t offset) {
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    ++start.offset;
    if (text[i] == '\n') {
      ++start.line;
      start.column = 1;
    } else {
      ++start.column;
    }
  }
  return start;
}

std::string lineColumn(const FilePosition& at) {
  return std::to_string(at.line) + ":" + std::to_string(at.column);
}

using DomBuilder = nlohmann::detail::json_sax_dom_parser<Json>;

// Splits the document into pieces as the parser reads it: the top-level members, and each entry
// of "objects" on its own.
class Splitter : public nlohmann::json_sax<Json> {
 public:
  Splitter(SeedSource& source, const std::function<void(const std::string&, Piece&)>& member,
           const std::function<void(uint64_t, Piece&)>& entry)
      : source_(source), member_(member), entry_(entry) {}

  bool null() override { return scalar([](DomBuilder& b) { return b.null(); }); }
  bool boolean(bool value) override {
    return scalar([&](DomBuilder& b) { return b.boolean(value); });
  }
  bool number_integer(number_integer_t value) override {
    return scalar([&](DomBuilder& b) { return b.number_integer(value); });
  }
  bool number_unsigned(number_unsigned_t value) override {
    return scalar([&](DomBuilder& b) { return b.number_unsigned(value); });
  }
  bool number_float(number_float_t value, const string_t& text) override {
    return scalar([&](DomBuilder& b) { return b.number_float(value, text); });
  }
  bool string(string_t& value) override {
    return scalar([&](DomBuilder& b) { return b.string(value); });
  }
  bool binary(binary_t& value) override {
    return scalar([&](DomBuilder& b) { return b.binary(value); });
  }

  bool start_object(std::size_t elements) override {
    if (!deeper()) return false;
    if (depth_ == 1) return true;
    return open([&](DomBuilder& b) { return b.start_object(elements); });
  }
  bool start_array(std::size_t elements) override {
    if (!deeper()) return false;
    if (depth_ == 1) {
      notObject_ = true;
      return true;
    }
    if (depth_ == 2 && !notObject_ && name_ == "objects" && !objectsSeen_) {
      // The entries are handed out one by one; the array itself is never held.
      objectsSeen_ = true;
      inObjects_ = true;
      source_.record();
      return true;
    }
    return open([&](DomBuilder& b) { return b.start_array(elements); });
  }
  bool key(string_t& value) override {
    if (depth_ == 1) {
      if (notObject_) return true;
      if (value == "objects" && objectsSeen_) {
        twice_ = true;
        at_ = source_.position();
        return false;
      }
      name_ = value;
      source_.record();
      return true;
    }
    return !builder_ || builder_->key(value);
  }
  bool end_object() override {
    --depth_;
    if (depth_ == 0) return true;
    return close([](DomBuilder& b) { return b.end_object(); });
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 0) return true;
    if (depth_ == 1 && inObjects_ && !builder_) {
      inObjects_ = false;
      source_.stopRecording();
      return true;
    }
    return close([](DomBuilder& b) { return b.end_array(); });
  }

  bool parse_error(std::size_t position, const std::string& lastToken,
                   const nlohmann::detail::exception& error) override {
    failed_ = true;
    // position counts the characters read, up to and including the offending character; a
    // number out of range is named where it starts.
    constexpr int kNumberOverflow = 406;
    uint64_t offset = position > 0 ? position - 1 : 0;
    if (error.id == kNumberOverflow && position >= lastToken.size()) {
      offset = position - lastToken.size();
    }
    at_ = source_.positionOf(offset);
    reason_ = error.what();
    // Keep the library's explanation without its prefix.
    if (size_t at = reason_.find("] "); at != std::string::npos) reason_ = reason_.substr(at + 2);
    if (size_t at = reason_.find("syntax error"); at != std::string::npos) {
      reason_ = reason_.substr(at);
    }
    return false;
  }

  bool tooDeep() const { return tooDeep_; }
  bool twice() const { return twice_; }
  bool failed() const { return failed_; }
  bool notObject() const { return notObject_; }
  const FilePosition& at() const { return at_; }
  const std::string& reason() const { return reason_; }

 private:
  bool deeper() {
    if (++depth_ <= kMaxNesting) return true;
    tooDeep_ = true;
    // The '[' or '{' that went too deep was the last character read.
    at_ = source_.positionOf(source_.position().offset - 1);
    return false;
  }

  // A value begins inside a top-level member or an entry: a builder takes it.
  template <typename Event>
  bool open(Event&& event) {
    if (notObject_) return true;
    if (!builder_) begin();
    return event(*builder_);
  }

  template <typename Event>
  bool close(Event&& event) {
    if (notObject_) return true;
    if (!builder_) return true;
    if (!event(*builder_)) return false;
    // The value ends where it began: at depth 1 for a member, 2 for an entry.
    if (depth_ == pieceDepth()) finish();
    return true;
  }

  template <typename Event>
  bool scalar(Event&& event) {
    if (depth_ == 0) notObject_ = true;
    if (notObject_) return true;
    if (!builder_) begin();
    if (!event(*builder_)) return false;
    if (depth_ == pieceDepth()) finish();
    return true;
  }

  size_t pieceDepth() const { return inObjects_ ? 2 : 1; }

  void begin() {
    piece_ = Piece{};
    builder_.emplace(piece_.value, false);
  }

  void finish() {
    builder_.reset();
    piece_.start = source_.recordStart();
    if (inObjects_) {
      piece_.text = std::move(source_.recorded());
      // A number's end is seen one character late: the ',' after it may be read already.
      if (source_.last() == ',') {
        source_.record();
      } else {
        source_.recordAfterComma();
      }
      entry_(index_++, piece_);
    } else {
      source_.stopRecording();
      piece_.text = std::move(source_.recorded());
      member_(name_, piece_);
    }
    piece_ = Piece{};
  }

  SeedSource& source_;
  const std::function<void(const std::string&, Piece&)>& member_;
  const std::function<void(uint64_t, Piece&)>& entry_;
  size_t depth_ = 0;
  bool twice_ = false;
  bool notObject_ = false;
  bool inObjects_ = false;
  bool objectsSeen_ = false;
  std::string name_;
  uint64_t index_ = 0;
  Piece piece_;
  std::optional<DomBuilder> builder_;
  bool tooDeep_ = false;
  bool failed_ = false;
  FilePosition at_;
  std::string reason_;
};

}  // namespace

std::string Piece::locate(const std::string& pointer) const {
  size_t from = 0;
  while (from < text.size() && std::isspace(static_cast<unsigned char>(text[from]))) ++from;
  if (from < text.size() && (text[from] == ':' || text[from] == ',')) ++from;
  JsonLocator locator(std::string_view(text).substr(from));
  return lineColumn(advance(start, text, from + locator.find(pointer)));
}

bool SeedSource::refill() {
  if (!file_) {
    if (textGiven_) return false;
    textGiven_ = true;
    at_ = text_.data();
    end_ = text_.data() + text_.size();
    return at_ != end_;
  }
  if (buffer_.empty()) buffer_.resize(1 << 16);
  const size_t n = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  if (n == 0) {
    if (std::ferror(file_)) readFailed_ = true;
    return false;
  }
  at_ = buffer_.data();
  end_ = buffer_.data() + n;
  return true;
}

FilePosition SeedSource::positionOf(uint64_t offset) const {
  if (offset >= position_.offset) return position_;
  if (position_.offset - offset <= kHistory) return history_[offset % kHistory];
  // Further back only inside one token (a long number), which stays on one line: the line of
  // the last character read, unless that was the line's end.
  FilePosition last = history_[(position_.offset - 1) % kHistory];
  const uint64_t back = position_.offset - 1 - offset;
  last.offset = offset;
  last.column = last.column > back ? last.column - back : 1;
  return last;
}

bool readSeed(SeedSource& source, const std::function<void(const std::string&, Piece&)>& member,
              const std::function<void(uint64_t, Piece&)>& entry, SyntaxFault* fault) {
  Splitter splitter(source, member, entry);
  const bool parsed = Json::sax_parse(source.begin(), SeedSource::end(), &splitter);
  if (source.readFailed()) {
    *fault = {source.position(), "the file could not be read to its end"};
    return false;
  }
  if (splitter.tooDeep()) {
    *fault = {splitter.at(), "arrays and objects nested more than " +
                                 std::to_string(kMaxNesting) + " deep"};
    return false;
  }
  if (splitter.twice()) {
    *fault = {splitter.at(), "\"objects\" is given twice; a seed file has one list of objects"};
    return false;
  }
  if (!parsed || splitter.failed()) {
    *fault = {splitter.at(), splitter.reason()};
    return false;
  }
  if (splitter.notObject()) {
    *fault = {source.firstSignificant(), "a seed file is one JSON object"};
    return false;
  }
  return true;
}

}  // namespace mdserver::seed_json
