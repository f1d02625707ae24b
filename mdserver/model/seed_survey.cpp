// The quick survey of a seed file; contract in seed_survey.h.
#include "mdserver/model/seed_survey.h"

#include <string_view>

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
    if (recording_) recorded_ += c;
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
    if (recording_) recorded_.append(from, n);
    if (out) out->append(from, n);
  }

  FilePosition position() const { return {offset_, line_, offset_ - lineStart_ + 1}; }
  uint64_t offset() const { return offset_; }
  bool readFailed() const { return source_.readFailed(); }

  void record() {
    recorded_.clear();
    recording_ = true;
  }
  std::string& stopRecording() {
    recording_ = false;
    return recorded_;
  }

 private:
  bool refill() {
    const std::string_view block = source_.takeBlock();
    if (block.empty()) return false;
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
      : in_(source), member_(member), entry_(entry), progress_(progress) {}

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
          member_(name, piece);
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
      if (in_.afterBlanks() == '{') {
        objectEntry();
        entry_(entry_state_);
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

  // An object from its '{': value(key, escaped) reads each member's value; escaped: the key
  // holds an escape, so its text is not its meaning.
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
      plainString(&key_, &escaped);
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

  // A string without escapes (a name or an identifier whose meaning matters), from its '"'.
  // With escaped given, escapes are let through (checked, not decoded) and *escaped is set: the
  // text then is not the string's meaning.
  void plainString(std::string* out, bool* escaped = nullptr) {
    out->clear();
    in_.get();
    for (;;) {
      in_.plainRun(out);
      const int c = in_.get();
      if (c == '"') return;
      if (c < 0x20) throw Unsure{};  // also the end of the text
      if (c == '\\') {
        if (!escaped) throw Unsure{};
        *escaped = true;
        escape();
      } else if (c >= 0x80) {
        out->push_back(static_cast<char>(c));
        utf8Rest(c, out);
      } else {
        out->push_back(static_cast<char>(c));
      }
    }
  }

  // Any string, from its '"'.
  void skipString() {
    in_.get();
    for (;;) {
      in_.plainRun(nullptr);
      const int c = in_.get();
      if (c == '"') return;
      if (c < 0x20) throw Unsure{};
      if (c == '\\') {
        escape();
      } else if (c >= 0x80) {
        utf8Rest(c, nullptr);
      }
    }
  }

  // What follows a backslash in a string.
  void escape() {
    switch (in_.get()) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return;
      case 'u': {
        int digits[4];
        for (int& d : digits) {
          d = in_.get();
          if (!isHex(d)) throw Unsure{};
        }
        // A surrogate (half a pair, or a pair): the full reader checks the pairing.
        if ((digits[0] == 'd' || digits[0] == 'D') &&
            (digits[1] >= '8' || (digits[1] >= 'a' && digits[1] <= 'f') ||
             (digits[1] >= 'A' && digits[1] <= 'F'))) {
          throw Unsure{};
        }
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
  const std::function<void(const std::string&, Piece&)>& member_;
  const std::function<void(const SurveyedEntry&)>& entry_;
  const std::function<void(uint64_t)>& progress_;
  size_t depth_ = 0;
  std::string key_;
  SurveyedEntry entry_state_;
};

}  // namespace

SurveyResult quickSurvey(SeedSource& source,
                         const std::function<void(const std::string&, Piece&)>& member,
                         const std::function<void(const SurveyedEntry&)>& entry,
                         const std::function<void(uint64_t)>& progress) {
  Survey survey(source, member, entry, progress);
  try {
    survey.run();
  } catch (const Unsure&) {
    return SurveyResult::kUnsure;
  }
  return SurveyResult::kDone;
}

}  // namespace mdserver::seed_json
