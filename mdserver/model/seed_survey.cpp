// The quick survey of a seed file; contract in seed_survey.h.
#include "mdserver/model/seed_survey.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace mdserver::seed_json {

namespace {

// Thrown inside this file only: the reader met something it does not follow to the letter.
struct Unsure {};

// JSON from source's blocks, byte by byte, counting lines for the pieces it records.
class Reader {
 public:
  explicit Reader(SeedSource& source) : source_(source) {}

  int peek() {
    if (at_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*at_);
  }
  int get() {
    if (at_ == end_ && !refill()) return -1;
    const char c = *at_++;
    ++offset_;
    if (c == '\n') {
      ++line_;
      lineStart_ = offset_;
    }
    return static_cast<unsigned char>(c);
  }
  int afterBlanks() {
    for (;;) {
      const int c = peek();
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      get();
    }
  }
  void expect(char wanted) {
    if (afterBlanks() != static_cast<unsigned char>(wanted)) throw Unsure{};
    get();
  }

  // Passes over the plain characters of a string (printable ASCII but the quote and backslash)
  // that the current block holds, adding them to out when given.
  void plainRun(std::string* out) {
    const char* from = at_;
    while (at_ != end_) {
      const unsigned char c = static_cast<unsigned char>(*at_);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++at_;
    }
    const size_t n = static_cast<size_t>(at_ - from);
    offset_ += n;
    if (out) out->append(from, n);
  }

  FilePosition position() const { return {offset_, line_, offset_ - lineStart_ + 1}; }
  uint64_t offset() const { return offset_; }
  bool readFailed() const { return source_.readFailed(); }

  // What is read from here on is kept, a block's span at a time (not a character at a time).
  void record() {
    recorded_.clear();
    recording_ = true;
    recordFrom_ = at_;
  }
  std::string& stopRecording() {
    if (recording_) recorded_.append(recordFrom_, static_cast<size_t>(at_ - recordFrom_));
    recording_ = false;
    return recorded_;
  }

 private:
  bool refill() {
    if (recording_) recorded_.append(recordFrom_, static_cast<size_t>(at_ - recordFrom_));
    const std::string_view block = source_.takeBlock();
    if (block.empty()) {
      recordFrom_ = at_;
      return false;
    }
    recordFrom_ = block.data();
    at_ = block.data();
    end_ = block.data() + block.size();
    return true;
  }

  SeedSource& source_;
  const char* at_ = nullptr;
  const char* end_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t line_ = 1;
  uint64_t lineStart_ = 0;
  bool recording_ = false;
  const char* recordFrom_ = nullptr;
  std::string recorded_;
};

bool isHex(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class Survey {
 public:
  Survey(SeedSource& source, const std::function<void(const std::string&, Piece&)>& member,
         const std::function<void(const SurveyedEntry&)>& entry,
         const std::function<void(uint64_t)>& progress)
      : in_(source), member_(&member), entry_(&entry), progress_(progress) {}
  // Hands out every entry of "objects" whole instead (members are passed over).
  Survey(SeedSource& source, const std::function<void(uint64_t, Piece&)>& wholeEntry,
         const std::function<void(uint64_t)>& progress)
      : in_(source), progress_(progress), wholeEntry_(&wholeEntry) {}

  void run() {
    // The top: one object, nothing but blanks after it. (A byte-order mark, or anything else,
    // is left to the full reader.)
    if (in_.afterBlanks() != '{') throw Unsure{};
    in_.get();
    depth_ = 1;
    bool objectsSeen = false;
    if (in_.afterBlanks() == '}') {
      in_.get();
    } else {
      for (;;) {
        if (in_.afterBlanks() != '"') throw Unsure{};
        std::string name;
        plainString(&name);
        if (name == "objects") {
          // Given twice, or not as a list: the full reader says what becomes of it.
          if (objectsSeen) throw Unsure{};
          in_.expect(':');
          if (in_.afterBlanks() != '[') throw Unsure{};
          objectsSeen = true;
          objects();
        } else if (wholeEntry_) {
          in_.expect(':');
          skipValue();
        } else {
          Piece piece;
          piece.start = in_.position();
          in_.record();
          in_.expect(':');
          in_.afterBlanks();
          skipValue();
          piece.text = std::move(in_.stopRecording());
          const size_t colon = piece.text.find(':');
          piece.value = Json::parse(piece.text.begin() + static_cast<std::ptrdiff_t>(colon) + 1,
                                    piece.text.end(), nullptr, /*allow_exceptions=*/false);
          if (piece.value.is_discarded()) throw Unsure{};
          (*member_)(name, piece);
        }
        const int c = in_.afterBlanks();
        in_.get();
        if (c == '}') break;
        if (c != ',') throw Unsure{};
      }
    }
    if (in_.afterBlanks() != -1 || in_.readFailed()) throw Unsure{};
  }

 private:
  // The "objects" array, from its '['.
  void objects() {
    elements([&] {
      if (wholeEntry_) {
        in_.afterBlanks();
        piece_.start = in_.position();
        in_.record();
        piece_.value = Json();
        {
          DomBuilder builder(piece_.value, /*allow_exceptions=*/false);
          buildValue(builder);
        }
        piece_.text = std::move(in_.stopRecording());
        (*wholeEntry_)(index_++, piece_);
      } else if (in_.afterBlanks() == '{') {
        objectEntry();
        (*entry_)(entry_state_);
      } else {
        skipValue();
      }
      progress_(in_.offset());
    });
  }

  // An array from its '[': element() reads each element.
  template <typename Element>
  void elements(Element&& element) {
    enter();
    in_.get();
    if (in_.afterBlanks() == ']') {
      in_.get();
      leave();
      return;
    }
    for (;;) {
      element();
      const int c = in_.afterBlanks();
      in_.get();
      if (c == ']') break;
      if (c != ',') throw Unsure{};
    }
    leave();
  }

  void objectEntry() {
    SurveyedEntry& e = entry_state_;
    e.idKind = SurveyedEntry::Id::kAbsent;
    e.repositoryIsText = false;
    e.properties = 0;
    bool idSeen = false, repositorySeen = false, propertiesSeen = false;
    members([&](const std::string& key, bool escaped) {
      // An escaped name might mean any of those that decide something.
      if (escaped) throw Unsure{};
      if (key == "id") {
        once(idSeen);
        const int c = in_.afterBlanks();
        if (c == '"') {
          plainString(&e.id);
          e.idKind = SurveyedEntry::Id::kText;
        } else if (c == 'n') {
          skipValue();
          e.idKind = SurveyedEntry::Id::kNull;
        } else {
          skipValue();
          e.idKind = SurveyedEntry::Id::kOther;
        }
      } else if (key == "repository") {
        once(repositorySeen);
        if (in_.afterBlanks() == '"') {
          plainString(&e.repository);
          e.repositoryIsText = true;
        } else {
          skipValue();
        }
      } else if (key == "properties") {
        once(propertiesSeen);
        if (in_.afterBlanks() == '[') {
          properties(e);
        } else {
          skipValue();
        }
      } else {
        skipValue();
      }
    });
  }

  void properties(SurveyedEntry& e) {
    elements([&] {
      if (in_.afterBlanks() == '{') {
        const size_t k = e.properties++;
        if (e.propertyIds.size() < e.properties) {
          e.propertyIds.resize(e.properties);
          e.propertyHasId.resize(e.properties);
        }
        e.propertyHasId[k] = 0;
        bool idSeen = false;
        members([&](const std::string& key, bool escaped) {
          if (escaped) throw Unsure{};
          if (key == "id") {
            once(idSeen);
            if (in_.afterBlanks() == '"') {
              plainString(&e.propertyIds[k]);
              e.propertyHasId[k] = 1;
              return;
            }
          }
          skipValue();
        });
      } else {
        skipValue();
      }
    });
  }

  // An object from its '{': value(key, escaped) reads each member's value; key is the name's
  // meaning, escaped tells whether it was written with an escape.
  template <typename Value>
  void members(Value&& value) {
    enter();
    in_.get();
    if (in_.afterBlanks() == '}') {
      in_.get();
      leave();
      return;
    }
    for (;;) {
      if (in_.afterBlanks() != '"') throw Unsure{};
      bool escaped = false;
      readString(&key_, &escaped);
      in_.expect(':');
      in_.afterBlanks();
      value(key_, escaped);
      const int c = in_.afterBlanks();
      in_.get();
      if (c == '}') break;
      if (c != ',') throw Unsure{};
    }
    leave();
  }

  // A member that decides something, named twice: which one counts is the full reader's call.
  static void once(bool& seen) {
    if (seen) throw Unsure{};
    seen = true;
  }

  void enter() {
    if (++depth_ > kMaxNesting) throw Unsure{};
  }
  void leave() { --depth_; }

  // A string from its '"', checked as strictly as the full reader checks it; its meaning
  // (escapes decoded) goes to out when given. An escape is refused unless escaped is given,
  // which then tells whether there was one (a name or an identifier whose meaning decides
  // something is taken only without).
  void readString(std::string* out, bool* escaped) {
    if (out) out->clear();
    in_.get();
    for (;;) {
      in_.plainRun(out);
      const int c = in_.get();
      if (c == '"') return;
      if (c < 0x20) throw Unsure{};  // also the end of the text
      if (c == '\\') {
        if (!escaped) throw Unsure{};
        *escaped = true;
        unescape(out);
      } else {
        // A byte from 0x80 on, or any at the start of the next block.
        if (out) out->push_back(static_cast<char>(c));
        if (c >= 0x80) utf8Rest(c, out);
      }
    }
  }
  void plainString(std::string* out) { readString(out, nullptr); }
  void skipString() {
    bool escaped = false;
    readString(nullptr, &escaped);
  }

  // What follows a backslash: checked, and the character it stands for added to out (when
  // given) in UTF-8.
  void unescape(std::string* out) {
    std::string ignored;
    std::string& to = out ? *out : ignored;
    const int c = in_.get();
    switch (c) {
      case '"': case '\\': case '/':
        to.push_back(static_cast<char>(c));
        return;
      case 'b': to.push_back('\b'); return;
      case 'f': to.push_back('\f'); return;
      case 'n': to.push_back('\n'); return;
      case 'r': to.push_back('\r'); return;
      case 't': to.push_back('\t'); return;
      case 'u': {
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
          const int d = in_.get();
          if (!isHex(d)) throw Unsure{};
          code = code * 16 + static_cast<unsigned>(d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
        }
        // A surrogate (half a pair, or a pair): the full reader checks the pairing.
        if (code >= 0xD800 && code <= 0xDFFF) throw Unsure{};
        if (code < 0x80) {
          to.push_back(static_cast<char>(code));
          return;
        }
        if (code < 0x800) {
          to.push_back(static_cast<char>(0xC0 | (code >> 6)));
        } else {
          to.push_back(static_cast<char>(0xE0 | (code >> 12)));
          to.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        }
        to.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        return;
      }
      default:
        throw Unsure{};
    }
  }

  // The bytes after the lead byte of a UTF-8 sequence, as strictly as the full reader takes them.
  void utf8Rest(int lead, std::string* out) {
    int low = 0x80, high = 0xBF, count = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
    } else if (lead == 0xE0) {
      count = 2;
      low = 0xA0;
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
      count = 2;
    } else if (lead == 0xED) {
      count = 2;
      high = 0x9F;
    } else if (lead == 0xF0) {
      count = 3;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      count = 3;
    } else if (lead == 0xF4) {
      count = 3;
      high = 0x8F;
    } else {
      throw Unsure{};
    }
    for (int i = 0; i < count; ++i) {
      const int c = in_.get();
      if (c < low || c > high) throw Unsure{};
      if (out) out->push_back(static_cast<char>(c));
      low = 0x80;
      high = 0xBF;
    }
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)? with at most 15 digits: an exponent, or more digits, might not
  // fit what the full reader makes of it.
  void skipNumber() {
    if (in_.peek() == '-') in_.get();
    int digits = 0;
    auto isDigit = [](int c) { return c >= '0' && c <= '9'; };
    const int first = in_.get();
    if (!isDigit(first)) throw Unsure{};
    ++digits;
    if (first != '0') {
      while (isDigit(in_.peek())) {
        in_.get();
        ++digits;
      }
    }
    if (in_.peek() == '.') {
      in_.get();
      if (!isDigit(in_.peek())) throw Unsure{};
      while (isDigit(in_.peek())) {
        in_.get();
        ++digits;
      }
    }
    const int after = in_.peek();
    if (digits > 15 || after == 'e' || after == 'E' || isDigit(after)) throw Unsure{};
  }

  void literal(const char* word) {
    for (const char* c = word; *c; ++c) {
      if (in_.get() != static_cast<unsigned char>(*c)) throw Unsure{};
    }
  }

  using DomBuilder = nlohmann::detail::json_sax_dom_parser<Json>;

  // Any value, from its first character, told to builder as the full reader's parser tells it
  // (so the document is the one that parser builds).
  void buildValue(DomBuilder& builder) {
    switch (in_.afterBlanks()) {
      case '"': {
        bool escaped = false;
        readString(&text_, &escaped);
        builder.string(text_);
        return;
      }
      case '{':
        builder.start_object(static_cast<std::size_t>(-1));
        // The builder takes the key before the value is read (which may reuse key_).
        members([&](const std::string&, bool) {
          builder.key(key_);
          buildValue(builder);
        });
        builder.end_object();
        return;
      case '[':
        builder.start_array(static_cast<std::size_t>(-1));
        elements([&] { buildValue(builder); });
        builder.end_array();
        return;
      case 't':
        literal("true");
        builder.boolean(true);
        return;
      case 'f':
        literal("false");
        builder.boolean(false);
        return;
      case 'n':
        literal("null");
        builder.null();
        return;
      default:
        buildNumber(builder);
    }
  }

  // A number as skipNumber takes it, told as the full reader's lexer makes it: without a
  // fraction an integer (unsigned unless negative), with one a double from its text.
  void buildNumber(DomBuilder& builder) {
    number_.clear();
    if (in_.peek() == '-') number_.push_back(static_cast<char>(in_.get()));
    int digits = 0;
    auto isDigit = [](int c) { return c >= '0' && c <= '9'; };
    const int first = in_.get();
    if (!isDigit(first)) throw Unsure{};
    number_.push_back(static_cast<char>(first));
    ++digits;
    if (first != '0') {
      while (isDigit(in_.peek())) {
        number_.push_back(static_cast<char>(in_.get()));
        ++digits;
      }
    }
    bool fraction = false;
    if (in_.peek() == '.') {
      fraction = true;
      number_.push_back(static_cast<char>(in_.get()));
      if (!isDigit(in_.peek())) throw Unsure{};
      while (isDigit(in_.peek())) {
        number_.push_back(static_cast<char>(in_.get()));
        ++digits;
      }
    }
    const int after = in_.peek();
    if (digits > 15 || after == 'e' || after == 'E' || isDigit(after)) throw Unsure{};
    if (fraction) {
      builder.number_float(std::strtod(number_.c_str(), nullptr), number_);
    } else if (number_[0] == '-') {
      builder.number_integer(std::strtoll(number_.c_str(), nullptr, 10));
    } else {
      builder.number_unsigned(std::strtoull(number_.c_str(), nullptr, 10));
    }
  }

  // Any value, from its first character.
  void skipValue() {
    switch (in_.afterBlanks()) {
      case '"':
        skipString();
        return;
      case '{':
        members([this](const std::string&, bool) { skipValue(); });
        return;
      case '[':
        elements([this] { skipValue(); });
        return;
      case 't':
        literal("true");
        return;
      case 'f':
        literal("false");
        return;
      case 'n':
        literal("null");
        return;
      default:
        skipNumber();
    }
  }

  Reader in_;
  const std::function<void(const std::string&, Piece&)>* member_ = nullptr;
  const std::function<void(const SurveyedEntry&)>* entry_ = nullptr;
  const std::function<void(uint64_t)>& progress_;
  size_t depth_ = 0;
  std::string key_;
  SurveyedEntry entry_state_;
  const std::function<void(uint64_t, Piece&)>* wholeEntry_ = nullptr;
  uint64_t index_ = 0;
  Piece piece_;
  std::string text_, number_;
};

// Runs a reader to the end of its source: kUnsure when it met something it does not follow.
SurveyResult readToEnd(Survey& survey) {
  try {
    survey.run();
  } catch (const Unsure&) {
    return SurveyResult::kUnsure;
  }
  return SurveyResult::kDone;
}

}  // namespace

SurveyResult quickSurvey(SeedSource& source,
                         const std::function<void(const std::string&, Piece&)>& member,
                         const std::function<void(const SurveyedEntry&)>& entry,
                         const std::function<void(uint64_t)>& progress) {
  Survey survey(source, member, entry, progress);
  return readToEnd(survey);
}

namespace {

// Entries read on a thread of their own and handed to the caller's thread in batches, so that
// reading the file and the caller's work on each entry (for the load: its checks and rows) run
// side by side. A few batches are held at most.
class ReadAhead {
 public:
  struct Item {
    uint64_t index = 0;
    uint64_t offset = 0;  // bytes read once the entry ended
    Piece piece;
  };
  // The caller gave up: the reader stops where it is.
  struct Abandoned {};

  // Reader's side.
  void put(Item&& item) {
    filling_.push_back(std::move(item));
    if (filling_.size() >= kBatch) send();
  }
  void end(SurveyResult result, std::exception_ptr failure) {
    if (!filling_.empty()) {
      try {
        send();
      } catch (const Abandoned&) {
      }
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    result_ = result;
    failure_ = failure;
    ready_.notify_one();
  }

  // Caller's side: the next batch, false once the reader is done and everything is taken.
  bool take(std::vector<Item>& batch) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !full_.empty() || done_; });
    if (full_.empty()) return false;
    batch = std::move(full_.front());
    full_.pop_front();
    room_.notify_one();
    return true;
  }
  void abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    room_.notify_one();
  }
  SurveyResult result() const { return result_; }
  std::exception_ptr failure() const { return failure_; }

 private:
  static constexpr size_t kBatch = 64;
  static constexpr size_t kBatches = 4;

  void send() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return full_.size() < kBatches || abandoned_; });
    if (abandoned_) throw Abandoned{};
    full_.push_back(std::move(filling_));
    filling_ = {};
    filling_.reserve(kBatch);
    ready_.notify_one();
  }

  std::vector<Item> filling_;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::vector<Item>> full_;
  bool done_ = false;
  bool abandoned_ = false;
  SurveyResult result_ = SurveyResult::kUnsure;
  std::exception_ptr failure_;
};

}  // namespace

SurveyResult quickEntries(SeedSource& source,
                          const std::function<void(uint64_t, Piece&)>& entry,
                          const std::function<void(uint64_t)>& progress) {
  ReadAhead handoff;
  std::thread reader;
  const auto readAll = [&] {
    ReadAhead::Item item;
    const std::function<void(uint64_t, Piece&)> keep = [&](uint64_t index, Piece& piece) {
      item.index = index;
      item.piece = std::move(piece);
    };
    // Told after every entry: the entry is complete with its offset.
    const std::function<void(uint64_t)> handOut = [&](uint64_t offset) {
      item.offset = offset;
      handoff.put(std::move(item));
      item = {};
    };
    SurveyResult result = SurveyResult::kUnsure;
    std::exception_ptr failure;
    try {
      Survey survey(source, keep, handOut);
      survey.run();
      result = SurveyResult::kDone;
    } catch (const Unsure&) {
    } catch (const ReadAhead::Abandoned&) {
    } catch (...) {
      failure = std::current_exception();
    }
    handoff.end(result, failure);
  };
  try {
    reader = std::thread(readAll);
  } catch (const std::system_error&) {
    // No thread to be had: the file is read here, entry by entry, as the caller takes them.
    Survey survey(source, entry, progress);
    return readToEnd(survey);
  }
  try {
    std::vector<ReadAhead::Item> batch;
    while (handoff.take(batch)) {
      for (ReadAhead::Item& item : batch) {
        entry(item.index, item.piece);
        progress(item.offset);
      }
    }
  } catch (...) {
    handoff.abandon();
    reader.join();
    throw;
  }
  reader.join();
  if (handoff.failure()) std::rethrow_exception(handoff.failure());
  return handoff.result();
}

}  // namespace mdserver::seed_json
