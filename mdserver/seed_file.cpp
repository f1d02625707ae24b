// Seed files: the JSON form of a repository's contents, imported in one transaction and exported
// back. Attribute order is kept (ordered_json). Every refusal names the file, the line and column
// of the offending value, and the reason.
//
// {"server": {"version": 9.4, "paused": 0}, "types": ["Person", ...],
//  "repositories": [{"id": "A0000001", "name": "FOUNDATION", "description": "..."}],
//  "objects": [{"repository": "A0000001", "type": "Person", "id": "A0000001.P0000001",
//               "name": "...", "description": "...", "attributes": {"Title": "..."},
//               "properties": [{"id": "...", "name": "...", "value": "..."}],
//               "associations": {"Members": ["A0000001.P0000002"]}}]}
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_set>

#include "mdserver/repository.h"
#include "mdserver/security_seed.h"
#include "mdserver/sqlite_security_store.h"
#include "mdserver/sqlite_database.h"
#include "mdserver/status_codes.h"

namespace mdserver {
namespace {

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

std::string location(std::string_view text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

const Json& member(const Json& object, const char* key, const std::string& pointer) {
  if (!object.is_object()) throw SeedProblem{pointer, "expected an object"};
  auto found = object.find(key);
  if (found == object.end()) {
    throw SeedProblem{pointer, std::string("missing member \"") + key + "\""};
  }
  return *found;
}

std::string text(const Json& value, const std::string& pointer) {
  if (!value.is_string()) throw SeedProblem{pointer, "expected a string"};
  return value.get<std::string>();
}

std::string optionalText(const Json& object, const char* key, const std::string& pointer) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return {};
  return text(*found, pointer + "/" + key);
}

// An identifier is given or left out; an empty one is a mistake, not a request for a new one.
std::string optionalIdentifier(const Json& object, const std::string& pointer) {
  std::string id = optionalText(object, "id", pointer);
  if (id.empty() && object.contains("id") && !object["id"].is_null()) {
    throw SeedProblem{pointer + "/id",
                      "an identifier is empty; leave \"id\" out to have one generated"};
  }
  return id;
}


// Attribute and association names may not be empty. (One name given twice in two spellings is
// one name: the attribute keeps the last value, the association both lists; programs rely on it.)
void checkNames(const Json& members, const std::string& pointer, const char* what) {
  for (const auto& [name, value] : members.items()) {
    if (name.empty()) throw SeedProblem{pointer + "/", std::string("an ") + what + " name is empty"};
  }
}

void failOn(const Outcome& outcome, const std::string& pointer) {
  if (!outcome.ok()) throw SeedProblem{pointer, outcome.message};
}

// Arrays and objects nested deeper than this are refused: a seed file has four levels, and a
// value nested without end would exhaust the stack wherever it is copied or walked.
constexpr size_t kMaxNesting = 64;

// Offset of the first '[' or '{' nested deeper than limit, in text that parsed well up to it.
size_t firstTooDeep(std::string_view text, size_t limit) {
  size_t depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return i;
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
    }
  }
  return text.size();
}

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

}  // namespace

// Applies a parsed seed through the repository's unlocked helpers, inside the caller's
// transaction. Throws SeedProblem at the first fault.
class SeedImporter {
 public:
  SeedImporter(Repository& repository, const SeedProgress& progress)
      : repository_(repository), progress_(progress) {}

  const SeedSummary& summary() const { return summary_; }

  void apply(const Json& seed) {
    if (!seed.is_object()) throw SeedProblem{"", "a seed file is one JSON object"};
    Database& db = *repository_.db_;
    if (auto server = seed.find("server"); server != seed.end()) {
      if (!server->is_object()) throw SeedProblem{"/server", "expected an object"};
      if (auto v = server->find("version"); v != server->end()) {
        if (!v->is_number()) throw SeedProblem{"/server/version", "expected a number"};
        Statement(db, "INSERT INTO settings(name, value) VALUES('version', ?) "
                      "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
            .bindDouble(1, v->get<double>())
            .run();
      }
      if (auto p = server->find("paused"); p != server->end()) {
        if (!p->is_number_integer()) throw SeedProblem{"/server/paused", "expected an integer"};
        Statement(db, "INSERT INTO settings(name, value) VALUES('paused', ?) "
                      "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
            .bind(1, p->get<int64_t>())
            .run();
      }
    }
    if (auto types = seed.find("types"); types != seed.end()) {
      if (!types->is_array()) throw SeedProblem{"/types", "expected an array of type names"};
      for (size_t i = 0; i < types->size(); ++i) {
        std::string pointer = "/types/" + std::to_string(i);
        std::string name = text((*types)[i], pointer);
        if (name.empty()) throw SeedProblem{pointer, "a type name is empty"};
        Statement(db, "INSERT OR IGNORE INTO types(name) VALUES(?)").bind(1, name).run();
      }
    }
    if (auto repositories = seed.find("repositories"); repositories != seed.end()) {
      if (!repositories->is_array()) throw SeedProblem{"/repositories", "expected an array"};
      for (size_t i = 0; i < repositories->size(); ++i) {
        std::string pointer = "/repositories/" + std::to_string(i);
        const Json& entry = (*repositories)[i];
        std::string id = text(member(entry, "id", pointer), pointer + "/id");
        std::string name = text(member(entry, "name", pointer), pointer + "/name");
        std::string description = optionalText(entry, "description", pointer);
        failOn(repository_.addRepository(id, name, description), pointer + "/id");
      }
    }
    if (auto objects = seed.find("objects"); objects != seed.end()) applyObjects(*objects);
    if (auto security = seed.find("security"); security != seed.end()) {
      // After the objects: logins and entries name identities and objects.
      importSecuritySection(*repository_.security_, *security, [this](std::string_view id) {
        return repository_.objectKeyUnlocked(id) != 0 ||
               repository_.repositoryWhereUnlocked("id", id).has_value();
      });
    }
  }

 private:
  void applyObjects(const Json& objectList) {
    const Json* objects = &objectList;
    if (!objects->is_array()) throw SeedProblem{"/objects", "expected an array"};
    // Identifiers the file gives are reserved before any is generated, so that an object or
    // property left without one never takes an identifier that a later entry names.
    std::unordered_set<std::string> reserved;
    for (const Json& entry : *objects) {
      if (!entry.is_object()) continue;
      if (auto id = entry.find("id"); id != entry.end() && id->is_string()) {
        reserved.insert(id->get<std::string>());
      }
      auto properties = entry.find("properties");
      if (properties == entry.end() || !properties->is_array()) continue;
      for (const Json& property : *properties) {
        if (!property.is_object()) continue;
        if (auto id = property.find("id"); id != property.end() && id->is_string()) {
          reserved.insert(id->get<std::string>());
        }
      }
    }
    struct Reservation {
      Repository& repository;
      ~Reservation() { repository.reservedIds_ = nullptr; }
    } reservation{repository_};
    repository_.reservedIds_ = &reserved;
    // Objects first, then properties and associations, so that links may point forward.
    std::vector<std::string> ids(objects->size());
    for (size_t i = 0; i < objects->size(); ++i) {
      std::string pointer = "/objects/" + std::to_string(i);
      const Json& entry = (*objects)[i];
      ObjectDraft draft;
      draft.repository = text(member(entry, "repository", pointer), pointer + "/repository");
      draft.type = text(member(entry, "type", pointer), pointer + "/type");
      draft.id = optionalIdentifier(entry, pointer);
      draft.name = optionalText(entry, "name", pointer);
      draft.description = optionalText(entry, "description", pointer);
      if (auto attributes = entry.find("attributes"); attributes != entry.end()) {
        if (!attributes->is_object()) {
          throw SeedProblem{pointer + "/attributes", "expected an object of name: value"};
        }
        checkNames(*attributes, pointer + "/attributes", "attribute");
        for (const auto& [name, value] : attributes->items()) {
          std::string at = pointer + "/attributes/" + name;
          if (value.is_number()) {
            draft.attributes.emplace_back(name, value.dump());
          } else {
            draft.attributes.emplace_back(name, text(value, at));
          }
        }
      }
      Outcome outcome = repository_.createObjectUnlocked(draft, &ids[i]);
      if (outcome.status == kStatusUnknownType) failOn(outcome, pointer + "/type");
      if (outcome.status == kStatusUnknownRepository) failOn(outcome, pointer + "/repository");
      failOn(outcome, entry.contains("id") ? pointer + "/id" : pointer);
      ++summary_.objects;
      step(i + 1, 2 * objects->size());
    }
    for (size_t i = 0; i < objects->size(); ++i) {
      std::string pointer = "/objects/" + std::to_string(i);
      const Json& entry = (*objects)[i];
      int64_t key = repository_.objectKeyUnlocked(ids[i]);
      if (auto properties = entry.find("properties"); properties != entry.end()) {
        if (!properties->is_array()) throw SeedProblem{pointer + "/properties", "expected an array"};
        for (size_t k = 0; k < properties->size(); ++k) {
          std::string at = pointer + "/properties/" + std::to_string(k);
          const Json& property = (*properties)[k];
          std::string name = text(member(property, "name", at), at + "/name");
          std::string value = text(member(property, "value", at), at + "/value");
          std::string id = optionalIdentifier(property, at);
          failOn(repository_.addPropertyUnlocked(key, name, value, id, nullptr), at);
          ++summary_.properties;
        }
      }
      if (auto associations = entry.find("associations"); associations != entry.end()) {
        if (!associations->is_object()) {
          throw SeedProblem{pointer + "/associations", "expected an object of name: [ids]"};
        }
        checkNames(*associations, pointer + "/associations", "association");
        for (const auto& [name, targets] : associations->items()) {
          std::string at = pointer + "/associations/" + name;
          if (!targets.is_array()) throw SeedProblem{at, "expected an array of identifiers"};
          std::vector<int64_t> keys;
          for (size_t k = 0; k < targets.size(); ++k) {
            std::string target = text(targets[k], at + "/" + std::to_string(k));
            int64_t targetKey = repository_.objectKeyUnlocked(target);
            if (targetKey == 0) {
              throw SeedProblem{at + "/" + std::to_string(k), "no object '" + target + "'"};
            }
            keys.push_back(targetKey);
          }
          failOn(repository_.setAssociationUnlocked(key, name, AssociationMode::kMerge, keys,
                                                        /*followInverse=*/false),
                 at);
          summary_.associations += keys.size();
        }
      }
      step(objects->size() + i + 1, 2 * objects->size());
    }
  }

 private:
  // Progress every 1024 steps and at the end: often enough for a display, rarely enough to cost
  // nothing.
  void step(uint64_t done, uint64_t total) {
    if (progress_ && (done % 1024 == 0 || done == total)) progress_(done, total);
  }

  Repository& repository_;
  const SeedProgress& progress_;
  SeedSummary summary_;
};

Outcome Repository::importSeedText(std::string_view text, std::string_view sourceName) {
  return importSeedText(text, sourceName, nullptr, {});
}

Outcome Repository::importSeedText(std::string_view text, std::string_view sourceName,
                                   SeedSummary* summary, const SeedProgress& progress) {
  std::string source(sourceName.empty() ? "<seed>" : sourceName);
  Json seed;
  SeedParser parser(seed);
  bool parsed = Json::sax_parse(text.begin(), text.end(), &parser);
  if (parser.tooDeep()) {
    return {kStatusInvalidArgument,
            source + ":" + location(text, firstTooDeep(text, kMaxNesting)) +
                ": arrays and objects nested more than " + std::to_string(kMaxNesting) +
                " deep"};
  }
  if (!parsed || parser.failed()) {
    return {kStatusInvalidArgument,
            source + ":" + location(text, parser.offset()) + ": " + parser.reason()};
  }
  std::lock_guard lock(mutex_);
  try {
    Transaction transaction(*db_);
    SeedImporter importer(*this, progress);
    importer.apply(seed);
    transaction.commit();
    if (summary != nullptr) *summary = importer.summary();
    return Outcome::success();
  } catch (const SeedProblem& problem) {
    JsonLocator locator(text);
    return {kStatusInvalidArgument,
            source + ":" + location(text, locator.find(problem.pointer)) + ": " + problem.reason};
  } catch (const StorageError& error) {
    return {kStatusStorageFailure, source + ": " + error.what()};
  }
}

Outcome Repository::importSeedFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {kStatusInvalidArgument, path + ": cannot be read"};
  std::stringstream buffer;
  buffer << in.rdbuf();
  return importSeedText(buffer.str(), path);
}

std::string Repository::exportSeedText() {
  std::lock_guard lock(mutex_);
  Json seed = Json::object();
  seed["server"] = {{"version", 0.0}, {"paused", 0}};
  {
    Statement s(*db_, "SELECT name, value FROM settings WHERE name IN ('version', 'paused')");
    while (s.step()) {
      if (s.text(0) == "version") seed["server"]["version"] = s.real(1);
      if (s.text(0) == "paused") seed["server"]["paused"] = s.integer(1);
    }
  }
  seed["types"] = Json::array();
  {
    Statement s(*db_, "SELECT name FROM types ORDER BY position");
    while (s.step()) seed["types"].push_back(s.text(0));
  }
  seed["repositories"] = Json::array();
  {
    Statement s(*db_, "SELECT id, name, description FROM repositories ORDER BY key");
    while (s.step()) {
      seed["repositories"].push_back(
          {{"id", s.text(0)}, {"name", s.text(1)}, {"description", s.text(2)}});
    }
  }
  seed["objects"] = Json::array();
  Statement objects(*db_,
                    "SELECT o.key, r.id, o.type, o.id, o.name, o.description FROM objects o JOIN "
                    "repositories r ON r.key = o.repository WHERE o.key NOT IN (SELECT property "
                    "FROM properties) ORDER BY o.key");
  while (objects.step()) {
    int64_t key = objects.integer(0);
    Json entry = {{"repository", objects.text(1)}, {"type", objects.text(2)},
                  {"id", objects.text(3)},         {"name", objects.text(4)},
                  {"description", objects.text(5)}};
    Json attributes = Json::object();
    {
      Statement s(*db_, "SELECT name, value FROM attributes WHERE object = ? ORDER BY position");
      s.bind(1, key);
      while (s.step()) attributes[s.text(0)] = s.text(1);
    }
    if (!attributes.empty()) entry["attributes"] = std::move(attributes);
    Json properties = Json::array();
    {
      Statement s(*db_,
                  "SELECT o.id, o.name, p.value FROM properties p JOIN objects o ON o.key = "
                  "p.property WHERE p.owner = ? ORDER BY p.position");
      s.bind(1, key);
      while (s.step()) {
        properties.push_back({{"id", s.text(0)}, {"name", s.text(1)}, {"value", s.text(2)}});
      }
    }
    if (!properties.empty()) entry["properties"] = std::move(properties);
    Json associations = Json::object();
    {
      Statement s(*db_,
                  "SELECT a.name, o.id FROM associations a JOIN objects o ON o.key = a.target "
                  "WHERE a.source = ? ORDER BY a.position");
      s.bind(1, key);
      while (s.step()) associations[s.text(0)].push_back(s.text(1));
    }
    if (!associations.empty()) entry["associations"] = std::move(associations);
    seed["objects"].push_back(std::move(entry));
  }
  Json security = exportSecuritySection(*security_);
  if (!security.is_null()) seed["security"] = std::move(security);
  return seed.dump(2) + "\n";
}

Outcome Repository::exportSeedFile(const std::string& path) {
  std::string text;
  try {
    text = exportSeedText();
  } catch (const StorageError& error) {
    return {kStatusStorageFailure, error.what()};
  } catch (const nlohmann::json::exception& error) {
    // Programs may store any bytes; JSON holds only UTF-8 text. Refusing keeps the data intact
    // instead of writing a seed file that would import as something else.
    return {kStatusInvalidArgument,
            path + ": the repository holds text that a seed file cannot carry (" + error.what() +
                ")"};
  }
  // Written beside the target and renamed over it, so a failed export leaves an existing file
  // as it was.
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) return {kStatusInvalidArgument, path + ": cannot be written"};
    out << text;
    out.close();
    if (!out) {
      std::remove(partial.c_str());
      return {kStatusStorageFailure, path + ": write failed"};
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return {kStatusStorageFailure, path + ": cannot be replaced"};
  }
  return Outcome::success();
}

Outcome importSeedIntoDatabase(const std::string& databasePath, const std::string& seedPath) {
  // A repository file that this import creates is removed again when the import fails, so a
  // refused seed file leaves nothing behind; an existing file keeps its contents (the import
  // is one transaction).
  std::error_code ignored;
  const bool existed = std::filesystem::exists(databasePath, ignored);
  Outcome outcome;
  {
    std::string error;
    auto repository = Repository::open(databasePath, &error);
    if (!repository) {
      outcome = {kStatusStorageFailure, error};
    } else {
      outcome = repository->importSeedFile(seedPath);
    }
  }
  if (!outcome.ok() && !existed) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(databasePath + suffix, ignored);
    }
  }
  return outcome;
}

Outcome exportDatabaseToSeed(const std::string& databasePath, const std::string& seedPath) {
  std::ifstream probe(databasePath);
  if (!probe) return {kStatusInvalidArgument, databasePath + ": no such repository file"};
  std::string error;
  auto repository = Repository::open(databasePath, &error);
  if (!repository) return {kStatusStorageFailure, error};
  return repository->exportSeedFile(seedPath);
}

}  // namespace mdserver
