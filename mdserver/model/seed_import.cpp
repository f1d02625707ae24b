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
//
// The import reads the file twice, as a stream, holding one entry of "objects" at a time:
//  1. the survey: the syntax, and every identifier the file names, each given the key its row
//     will have (objects and their properties numbered in file order) in an IdentifierMap;
//  2. the load: each entry checked and written at once, its links resolved through the map, so
//     a link may name an object further down the file without anything being held back.
// The other top-level members (server, types, repositories, security) are held whole and
// applied in that order around the objects, wherever the file puts them.
// Writing the rows: seed_rows.h.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <unordered_map>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/model/seed_ids.h"
#include "mdserver/model/seed_json.h"
#include "mdserver/model/seed_rows.h"
#include "mdserver/model/seed_stream.h"
#include "mdserver/model/seed_survey.h"
#include "mdserver/security/security_seed.h"
#include "mdserver/security/sqlite_security_store.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using namespace seed_json;
using repository_support::isIdentifierPart;
using repository_support::kPropertyType;

namespace {

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string base36(uint64_t value, size_t width) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(width, '0');
  for (size_t i = width; i-- > 0 && value != 0;) {
    out[i] = kDigits[value % 36];
    value /= 36;
  }
  return out;
}

// A problem of one entry or member: where (pointer inside its piece) and why; kept apart from
// SeedProblem's full pointer so each piece locates its own.
struct Located {
  std::string where;  // "LINE:COLUMN"
  std::string reason;
};

// The tables a replacing import empties, children first.
constexpr const char* kClearedTables[] = {
    "associations", "properties",  "attributes",     "objects",
    "repositories", "types",       "authorizations",
    "logins",       "permissions", "template_applications", "security_settings"};

}  // namespace

// Applies a seed inside the caller's transaction. Throws SeedProblem (with a located reason in
// its pointer's place) at the first fault unless collecting, StorageError when the store fails.
class SeedImporter {
 public:
  SeedImporter(Repository& repository, const SeedImportOptions& options, std::string source)
      : repository_(repository), db_(*repository.db_), options_(options),
        source_(std::move(source)), rows_(db_) {}

  const SeedSummary& summary() const { return summary_; }
  std::vector<std::string>& problems() { return problems_; }

  // Runs both passes over sources made by open(). False when a problem stopped the import
  // (problems() holds it, or all of them for a dry run).
  bool run(const std::function<std::unique_ptr<SeedSource>()>& open) {
    if (options_.mode == SeedMode::kReplace) clearAll();
    {
      Statement s(db_, "SELECT coalesce(max(key), 0) FROM objects");
      firstKey_ = s.step() ? s.integer(0) + 1 : 1;
    }
    preloadIdentifiers();
    // The survey: the quick reader, unless the file holds something only the full one follows.
    pass_ = 1;
    nextKey_ = firstKey_;
    bool surveyed = false;
    {
      std::unique_ptr<SeedSource> source = open();
      const uint64_t size = source->size();
      surveyed =
          quickSurvey(
              *source,
              [this](const std::string& name, Piece& piece) { keepMember(name, piece); },
              [this](const SurveyedEntry& entry) { survey(entry); },
              [this, size](uint64_t offset) { step(offset, size); }) == SurveyResult::kDone;
    }
    if (!surveyed) {
      // Everything the quick reader found is set aside.
      members_.clear();
      unnamedObjects_.clear();
      ids_ = IdentifierMap();
      preloadIdentifiers();
      nextKey_ = firstKey_;
      entries_ = 0;
      std::unique_ptr<SeedSource> source = open();
      SyntaxFault fault;
      if (!readSeed(
              *source, [this](const std::string& name, Piece& piece) { keepMember(name, piece); },
              [this, &source](uint64_t, Piece& piece) {
                survey(piece);
                step(source->position().offset, source->size());
              },
              &fault)) {
        reportFault(fault);
        return false;
      }
    }
    if (!checkedMember("server", [this](const Json& v) { applyServer(v); })) return false;
    if (!checkedMember("types", [this](const Json& v) { applyTypes(v); })) return false;
    if (!checkedMember("repositories", [this](const Json& v) { applyRepositories(v); })) {
      return false;
    }
    loadCaches();
    {
      // Nobody can see objects of this repository yet: the bulk path's locks cost no reader
      // anything it could read before.
      Statement s(db_, "SELECT 1 FROM objects LIMIT 1");
      if (!s.step()) rows_.loadingEmpty();
    }
    // The load: through the quick reader when it read the whole file for the survey.
    pass_ = 2;
    nextKey_ = firstKey_;
    if (surveyed) {
      std::unique_ptr<SeedSource> source = open();
      const uint64_t size = source->size();
      if (quickEntries(
              *source, [this](uint64_t index, Piece& piece) { load(index, piece); },
              [this, size](uint64_t offset) { step(offset, size); }) != SurveyResult::kDone) {
        // The file changed since the survey; the full reader says how, when it can.
        source = open();
        SyntaxFault fault;
        if (!readSeed(*source, [](const std::string&, Piece&) {}, [](uint64_t, Piece&) {},
                      &fault)) {
          reportFault(fault);
        } else {
          problems_.push_back(source_ + ": the file changed while it was imported");
        }
        return false;
      }
    } else {
      std::unique_ptr<SeedSource> source = open();
      SyntaxFault fault;
      if (!readSeed(
              *source, [](const std::string&, Piece&) {},
              [this, &source](uint64_t index, Piece& piece) {
                load(index, piece);
                step(source->position().offset, source->size());
              },
              &fault)) {
        // The file changed between the passes.
        reportFault(fault);
        return false;
      }
    }
    // A dry run that found problems leaves the links where they wait: some may name entries that
    // were refused.
    finishObjects(problems_.empty());
    if (!problems_.empty() && !options_.dryRun) return false;
    checkedMember("security", [this](const Json& v) { applySecurity(v); });
    return problems_.empty();
  }

 private:
  void reportFault(const SyntaxFault& fault) {
    problems_.push_back(source_ + ":" + std::to_string(fault.at.line) + ":" +
                        std::to_string(fault.at.column) + ": " + fault.reason);
  }

  // --- the survey -------------------------------------------------------------------------

  void keepMember(const std::string& name, Piece& piece) { members_[name] = std::move(piece); }

  // Numbers the entry and its properties as the load will, and maps their identifiers.
  void survey(const Piece& piece) {
    const Json& entry = piece.value;
    if (!entry.is_object()) return;
    const int64_t key = nextKey_++;
    auto id = entry.find("id");
    if (id != entry.end() && id->is_string()) {
      if (auto packed = ids_.pack(id->get_ref<const std::string&>())) ids_.insert(*packed, key);
    } else if (id == entry.end() || id->is_null()) {
      if (auto repository = entry.find("repository");
          repository != entry.end() && repository->is_string()) {
        ++unnamedObjects_[repository->get<std::string>()];
      }
    }
    auto properties = entry.find("properties");
    if (properties == entry.end() || !properties->is_array()) return;
    for (const Json& property : *properties) {
      if (!property.is_object()) continue;
      const int64_t propertyKey = nextKey_++;
      auto pid = property.find("id");
      if (pid != property.end() && pid->is_string()) {
        if (auto packed = ids_.pack(pid->get_ref<const std::string&>())) {
          ids_.insert(*packed, propertyKey);
        }
      }
    }
  }

  // The same as survey(piece), from what the quick reader found.
  void survey(const SurveyedEntry& entry) {
    const int64_t key = nextKey_++;
    if (entry.idKind == SurveyedEntry::Id::kText) {
      if (auto packed = ids_.pack(entry.id)) ids_.insert(*packed, key);
    } else if (entry.idKind != SurveyedEntry::Id::kOther && entry.repositoryIsText) {
      ++unnamedObjects_[entry.repository];
    }
    for (size_t k = 0; k < entry.properties; ++k) {
      const int64_t propertyKey = nextKey_++;
      if (!entry.propertyHasId[k]) continue;
      if (auto packed = ids_.pack(entry.propertyIds[k])) ids_.insert(*packed, propertyKey);
    }
  }

  void preloadIdentifiers() {
    if (options_.mode == SeedMode::kReplace) return;
    Statement s(db_, "SELECT id, key FROM objects");
    while (s.step()) {
      if (auto packed = ids_.pack(s.text(0))) ids_.insert(*packed, -s.integer(1));
    }
  }

  void clearAll() {
    for (const char* table : kClearedTables) {
      db_.execute((std::string("DELETE FROM ") + table).c_str());
    }
    // Other settings stay: numbers once handed out (template serials) must never come back.
    db_.execute("DELETE FROM settings WHERE name IN ('version', 'paused')");
  }

  // --- the members held whole ----------------------------------------------------------------

  // Runs apply on the member's value when the file has it; a problem is recorded with its
  // position. False when the import must stop.
  template <typename Apply>
  bool checkedMember(const std::string& name, Apply&& apply) {
    auto found = members_.find(name);
    if (found == members_.end()) return true;
    try {
      apply(found->second.value);
    } catch (const SeedProblem& problem) {
      const std::string prefix = "/" + name;
      std::string inside = problem.pointer.substr(std::min(prefix.size(), problem.pointer.size()));
      problems_.push_back(source_ + ":" + found->second.locate(inside) + ": " + problem.reason);
      return options_.dryRun;
    }
    return true;
  }

  void applyServer(const Json& server) {
    if (!server.is_object()) throw SeedProblem{"/server", "expected an object"};
    if (auto v = server.find("version"); v != server.end()) {
      if (!v->is_number()) throw SeedProblem{"/server/version", "expected a number"};
      Statement(db_, "INSERT INTO settings(name, value) VALUES('version', ?) "
                     "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
          .bindDouble(1, v->get<double>())
          .run();
    }
    if (auto p = server.find("paused"); p != server.end()) {
      if (!p->is_number_integer()) throw SeedProblem{"/server/paused", "expected an integer"};
      Statement(db_, "INSERT INTO settings(name, value) VALUES('paused', ?) "
                     "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
          .bind(1, p->get<int64_t>())
          .run();
    }
  }

  void applyTypes(const Json& types) {
    if (!types.is_array()) throw SeedProblem{"/types", "expected an array of type names"};
    for (size_t i = 0; i < types.size(); ++i) {
      std::string pointer = "/types/" + std::to_string(i);
      std::string name = text(types[i], pointer);
      if (name.empty()) throw SeedProblem{pointer, "a type name is empty"};
      Statement(db_, "INSERT OR IGNORE INTO types(name) VALUES(?)").bind(1, name).run();
    }
  }

  void applyRepositories(const Json& repositories) {
    if (!repositories.is_array()) throw SeedProblem{"/repositories", "expected an array"};
    for (size_t i = 0; i < repositories.size(); ++i) {
      std::string pointer = "/repositories/" + std::to_string(i);
      const Json& entry = repositories[i];
      std::string id = text(member(entry, "id", pointer), pointer + "/id");
      std::string name = text(member(entry, "name", pointer), pointer + "/name");
      std::string description = optionalText(entry, "description", pointer);
      if (options_.mode == SeedMode::kMerge && repository_.repositoryWhereUnlocked("id", id)) {
        // Matched by identifier: the file's name and description win.
        Statement(db_, "UPDATE repositories SET name = ?, description = ? WHERE id = ?")
            .bind(1, name)
            .bind(2, description)
            .bind(3, id)
            .run();
        continue;
      }
      failOn(repository_.addRepository(id, name, description), pointer + "/id");
    }
  }

  void applySecurity(const Json& section) {
    importSecuritySection(*repository_.security_, section, [this](std::string_view id) {
      return repository_.objectKeyUnlocked(id) != 0 ||
             repository_.repositoryWhereUnlocked("id", id).has_value();
    });
  }

  // --- the load ------------------------------------------------------------------------------

  struct RepositoryState {
    RepositoryInfo info;
    uint64_t objectSerial = 0;    // identifiers generated for objects continue from here
    uint64_t propertySerial = 0;  // and for properties from here (after every object's)
    bool used = false;
  };

  // Repositories and types as they are once the held members are applied; where generated
  // identifiers start, so that they come out as one object at a time would make them: every
  // object's first, then every property's, none taking an identifier the file names.
  void loadCaches() {
    {
      Statement s(db_, "SELECT key, id, name, description, serial FROM repositories");
      while (s.step()) {
        RepositoryState state{{s.integer(0), s.text(1), s.text(2), s.text(3)},
                              static_cast<uint64_t>(s.integer(4)), 0, false};
        state.propertySerial = state.objectSerial;
        for (uint64_t n = unnamedObjects_[state.info.id]; n > 0; --n) {
          nextFree(state.info.id, state.propertySerial);
        }
        repositories_.emplace(state.info.id, std::move(state));
      }
    }
    Statement s(db_, "SELECT name FROM types");
    while (s.step()) {
      std::string name = s.text(0);
      types_.emplace(folded(name), name);
    }
    types_.emplace(folded(kPropertyType), std::string(kPropertyType));
  }

  // Advances serial to the next identifier of the repository that nothing names; returns it.
  std::string nextFree(const std::string& repository, uint64_t& serial) {
    for (;;) {
      std::string id = repository + "." + base36(++serial, 8);
      auto packed = ids_.pack(id);
      if (!packed || ids_.find(*packed) == 0) return id;
    }
  }

  void load(uint64_t index, const Piece& piece) {
    const std::string pointer = "/objects/" + std::to_string(index);
    const size_t problemsBefore = problems_.size();
    try {
      loadEntry(pointer, piece.value);
    } catch (const SeedProblem& problem) {
      std::string inside = problem.pointer.substr(std::min(pointer.size(), problem.pointer.size()));
      problems_.push_back(source_ + ":" + piece.locate(inside) + ": " + problem.reason);
    }
    if (problems_.size() > problemsBefore && !options_.dryRun) {
      throw Stop{};
    }
    rows_.entryDone();
  }

 public:
  struct Stop {};

 private:
  void loadEntry(const std::string& pointer, const Json& entry) {
    if (!entry.is_object()) {
      // The survey numbers only objects.
      throw SeedProblem{pointer, "expected an object"};
    }
    const int64_t key = nextKey_++;
    ObjectDraft draft;
    draft.repository = text(member(entry, "repository", pointer), pointer + "/repository");
    draft.type = text(member(entry, "type", pointer), pointer + "/type");
    draft.id = optionalIdentifier(entry, pointer);
    draft.name = optionalText(entry, "name", pointer);
    draft.description = optionalText(entry, "description", pointer);
    // Properties take their keys right after their object's, whatever becomes of it.
    const int64_t firstPropertyKey = nextKey_;
    if (auto properties = entry.find("properties");
        properties != entry.end() && properties->is_array()) {
      for (const Json& property : *properties) {
        if (property.is_object()) ++nextKey_;
      }
    }
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
    auto repository = repositories_.find(draft.repository);
    if (repository == repositories_.end()) {
      throw SeedProblem{pointer + "/repository", "no repository '" + draft.repository + "'"};
    }
    auto type = types_.find(folded(draft.type));
    if (type == types_.end()) {
      throw SeedProblem{pointer + "/type", "unknown type '" + draft.type + "'"};
    }
    const std::string idPointer = entry.contains("id") ? pointer + "/id" : pointer;
    std::string id = draft.id;
    int64_t existing = 0;
    if (id.empty()) {
      id = nextFree(repository->second.info.id, repository->second.objectSerial);
      repository->second.used = true;
      if (auto packed = ids_.pack(id)) ids_.insert(*packed, key);
    } else {
      checkShape(id, repository->second.info, idPointer);
      const int64_t mapped = ids_.find(*ids_.packKnown(id));
      if (mapped < 0 && options_.mode == SeedMode::kMerge) {
        existing = -mapped;
      } else if (mapped != key) {
        throw SeedProblem{idPointer, "identifier '" + id + "' is already in use"};
      }
    }
    if (existing != 0) {
      mergeEntry(pointer, entry, existing, draft, type->second, repository->second,
                 firstPropertyKey);
      return;
    }
    rows_.object(key, id, repository->second.info.key, type->second, draft.name,
                draft.description);
    writeAttributes(key, draft.attributes);
    ++summary_.objects;
    loadProperties(pointer, entry, key, repository->second, firstPropertyKey);
    loadAssociations(pointer, entry, key);
  }

  void checkShape(const std::string& id, const RepositoryInfo& repository,
                  const std::string& pointer) {
    if (id.size() != 17 || id.compare(0, 8, repository.id) != 0 || id[8] != '.' ||
        !isIdentifierPart(std::string_view(id).substr(9)) || !ids_.packKnown(id)) {
      throw SeedProblem{pointer, "identifier '" + id + "' is not '" + repository.id +
                                     ".' followed by 8 letters or digits"};
    }
  }

  void loadProperties(const std::string& pointer, const Json& entry, int64_t owner,
                      RepositoryState& repository, int64_t firstKey) {
    auto properties = entry.find("properties");
    if (properties == entry.end()) return;
    if (!properties->is_array()) throw SeedProblem{pointer + "/properties", "expected an array"};
    std::vector<std::string> names;
    int64_t key = firstKey;
    for (size_t k = 0; k < properties->size(); ++k) {
      std::string at = pointer + "/properties/" + std::to_string(k);
      const Json& property = (*properties)[k];
      std::string name = text(member(property, "name", at), at + "/name");
      std::string value = text(member(property, "value", at), at + "/value");
      std::string id = optionalIdentifier(property, at);
      const int64_t propertyKey = key++;
      if (name.empty()) throw SeedProblem{at, "the property name is empty"};
      std::string name_folded = folded(name);
      if (std::find(names.begin(), names.end(), name_folded) != names.end()) {
        throw SeedProblem{at, "the object already has a property '" + name + "'"};
      }
      names.push_back(std::move(name_folded));
      if (id.empty()) {
        id = nextFree(repository.info.id, repository.propertySerial);
        repository.used = true;
        if (auto packed = ids_.pack(id)) ids_.insert(*packed, propertyKey);
      } else {
        checkShape(id, repository.info, at);
        if (ids_.find(*ids_.packKnown(id)) != propertyKey) {
          throw SeedProblem{at, "identifier '" + id + "' is already in use"};
        }
      }
      rows_.object(propertyKey, id, repository.info.key, std::string(kPropertyType), name, "");
      rows_.property(propertyKey, owner, static_cast<int64_t>(k + 1), value);
      ++summary_.properties;
    }
  }

  // The targets of each association, resolved; one name in two spellings is one association
  // (the first spelling kept), a target named twice counts once.
  struct Association {
    std::string spelling;
    std::string key;  // folded
    std::vector<int64_t> targets;
  };

  std::vector<Association> resolveAssociations(const std::string& pointer, const Json& entry) {
    std::vector<Association> out;
    auto associations = entry.find("associations");
    if (associations == entry.end()) return out;
    if (!associations->is_object()) {
      throw SeedProblem{pointer + "/associations", "expected an object of name: [ids]"};
    }
    checkNames(*associations, pointer + "/associations", "association");
    for (const auto& [name, targets] : associations->items()) {
      std::string at = pointer + "/associations/" + name;
      if (!targets.is_array()) throw SeedProblem{at, "expected an array of identifiers"};
      std::string nameKey = folded(name);
      auto same = std::find_if(out.begin(), out.end(),
                               [&](const Association& a) { return a.key == nameKey; });
      if (same == out.end()) {
        out.push_back({name, nameKey, {}});
        same = out.end() - 1;
      }
      for (size_t k = 0; k < targets.size(); ++k) {
        std::string target = text(targets[k], at + "/" + std::to_string(k));
        auto packed = ids_.packKnown(target);
        const int64_t mapped = packed ? ids_.find(*packed) : 0;
        if (mapped == 0) {
          throw SeedProblem{at + "/" + std::to_string(k), "no object '" + target + "'"};
        }
        const int64_t targetKey = mapped < 0 ? -mapped : mapped;
        if (std::find(same->targets.begin(), same->targets.end(), targetKey) ==
            same->targets.end()) {
          same->targets.push_back(targetKey);
        }
      }
    }
    return out;
  }

  void loadAssociations(const std::string& pointer, const Json& entry, int64_t source) {
    int64_t position = 0;
    for (const Association& association : resolveAssociations(pointer, entry)) {
      for (int64_t target : association.targets) {
        rows_.link(source, association.spelling, target, ++position);
        ++summary_.associations;
      }
    }
  }

  // An entry naming an object the repository holds: its fields and attributes take the file's
  // values, its properties are matched by identifier (else by name) and updated or added, and
  // its associations gain the targets they lack (none is dropped).
  void mergeEntry(const std::string& pointer, const Json& entry, int64_t key,
                  const ObjectDraft& draft, const std::string& type, RepositoryState& repository,
                  int64_t firstPropertyKey) {
    rows_.flush();
    auto stored = repository_.objectByKeyUnlocked(key);
    if (!stored) throw SeedProblem{pointer + "/id", "object '" + draft.id + "' is gone"};
    if (!equalNoCase(stored->type, type)) {
      throw SeedProblem{pointer + "/type", "object '" + draft.id + "' is a " + stored->type +
                                               " in the repository, not a " + type};
    }
    if (entry.contains("name")) {
      Statement(db_, "UPDATE objects SET name = ? WHERE key = ?").bind(1, draft.name).bind(2, key).run();
    }
    if (entry.contains("description")) {
      Statement(db_, "UPDATE objects SET description = ? WHERE key = ?")
          .bind(1, draft.description)
          .bind(2, key)
          .run();
    }
    for (const auto& [name, value] : draft.attributes) {
      Statement(db_,
                "INSERT INTO attributes(object, name, position, value) VALUES(?1, ?2, "
                "(SELECT coalesce(max(position), 0) + 1 FROM attributes WHERE object = ?1), ?3) "
                "ON CONFLICT(object, name) DO UPDATE SET value = excluded.value")
          .bind(1, key)
          .bind(2, name)
          .bind(3, value)
          .run();
    }
    if (auto properties = entry.find("properties"); properties != entry.end()) {
      if (!properties->is_array()) throw SeedProblem{pointer + "/properties", "expected an array"};
      int64_t newKey = firstPropertyKey;
      int64_t position = 0;
      {
        Statement s(db_, "SELECT coalesce(max(position), 0) FROM properties WHERE owner = ?");
        s.bind(1, key);
        if (s.step()) position = s.integer(0);
      }
      for (size_t k = 0; k < properties->size(); ++k) {
        std::string at = pointer + "/properties/" + std::to_string(k);
        const Json& property = (*properties)[k];
        std::string name = text(member(property, "name", at), at + "/name");
        std::string value = text(member(property, "value", at), at + "/value");
        std::string id = optionalIdentifier(property, at);
        const int64_t ownKey = newKey++;
        if (name.empty()) throw SeedProblem{at, "the property name is empty"};
        int64_t propertyKey = 0;
        {
          Statement s(db_, id.empty()
                               ? "SELECT p.property FROM properties p JOIN objects o ON o.key = "
                                 "p.property WHERE p.owner = ?1 AND o.name = ?2 COLLATE NOCASE"
                               : "SELECT p.property FROM properties p JOIN objects o ON o.key = "
                                 "p.property WHERE p.owner = ?1 AND o.id = ?2");
          s.bind(1, key).bind(2, id.empty() ? name : id);
          if (s.step()) propertyKey = s.integer(0);
        }
        if (propertyKey != 0) {
          Statement(db_, "UPDATE objects SET name = ? WHERE key = ?").bind(1, name).bind(2, propertyKey).run();
          Statement(db_, "UPDATE properties SET value = ? WHERE property = ?")
              .bind(1, value)
              .bind(2, propertyKey)
              .run();
        } else {
          // A new property of the stored object, keyed and named as the survey planned.
          if (id.empty()) {
            id = nextFree(repository.info.id, repository.propertySerial);
            repository.used = true;
            if (auto packed = ids_.pack(id)) ids_.insert(*packed, ownKey);
          } else {
            checkShape(id, repository.info, at);
            if (ids_.find(*ids_.packKnown(id)) != ownKey) {
              throw SeedProblem{at, "identifier '" + id + "' is already in use"};
            }
          }
          Statement taken(db_,
                          "SELECT 1 FROM properties p JOIN objects o ON o.key = p.property WHERE "
                          "p.owner = ? AND o.name = ? COLLATE NOCASE");
          taken.bind(1, key).bind(2, name);
          if (taken.step()) {
            throw SeedProblem{at, "the object already has a property '" + name + "'"};
          }
          rows_.object(ownKey, id, repository.info.key, std::string(kPropertyType), name, "");
          rows_.property(ownKey, key, ++position, value);
          rows_.flush();
        }
        ++summary_.properties;
      }
    }
    // Applied after the last entry: a target may be an object further down the file.
    for (Association& association : resolveAssociations(pointer, entry)) {
      summary_.associations += association.targets.size();
      mergedLinks_.push_back({key, pointer + "/associations", std::move(association.spelling),
                              std::move(association.targets)});
    }
    ++summary_.objects;
  }

  // The associations of stored objects that a merge extends, applied when every object is in:
  // memory for these follows the number of links that merging entries name.
  struct MergedLinks {
    int64_t source;
    std::string pointer;
    std::string name;
    std::vector<int64_t> targets;
  };
  std::vector<MergedLinks> mergedLinks_;

  // --- writing rows ----------------------------------------------------------------------------

  void writeAttributes(int64_t key,
                       const std::vector<std::pair<std::string, std::string>>& attributes) {
    // One name in two spellings is one attribute: its first place, its last value.
    std::vector<std::pair<std::string, size_t>> seen;  // folded name, index in kept
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& [name, value] : attributes) {
      std::string nameKey = folded(name);
      auto same = std::find_if(seen.begin(), seen.end(),
                               [&](const auto& s) { return s.first == nameKey; });
      if (same != seen.end()) {
        kept[same->second].second = value;
      } else {
        seen.emplace_back(std::move(nameKey), kept.size());
        kept.emplace_back(name, value);
      }
    }
    int64_t position = 0;
    for (const auto& [name, value] : kept) rows_.attribute(key, name, ++position, value);
  }

  // After the last entry: the links in place, the serials and key sequence moved past what the
  // import used.
  void finishObjects(bool moveLinks) {
    rows_.finish(moveLinks, !options_.dryRun);
    if (!moveLinks) return;
    for (const MergedLinks& links : mergedLinks_) {
      Outcome outcome = repository_.setAssociationUnlocked(
          links.source, links.name, AssociationMode::kMerge, links.targets, /*followInverse=*/false);
      if (!outcome.ok()) db_.fail(links.pointer + ": " + outcome.message);
    }
    for (auto& [id, state] : repositories_) {
      if (!state.used) continue;
      Statement(db_, "UPDATE repositories SET serial = ? WHERE key = ? AND serial < ?")
          .bind(1, static_cast<int64_t>(std::max(state.objectSerial, state.propertySerial)))
          .bind(2, state.info.key)
          .bind(3, static_cast<int64_t>(std::max(state.objectSerial, state.propertySerial)))
          .run();
    }
  }

  // Progress: offset bytes read of size in the current pass.
  void step(uint64_t offset, uint64_t size) {
    if (!options_.progress || (++entries_ % 1024) != 0) return;
    const uint64_t done = offset + (pass_ == 2 ? size : 0);
    options_.progress(std::min(done, 2 * size), 2 * size);
  }

  Repository& repository_;
  Database& db_;
  const SeedImportOptions& options_;
  std::string source_;
  SeedRows rows_;
  SeedSummary summary_;
  std::vector<std::string> problems_;
  std::map<std::string, Piece> members_;
  IdentifierMap ids_;
  std::unordered_map<std::string, uint64_t> unnamedObjects_;  // per repository identifier
  std::unordered_map<std::string, RepositoryState> repositories_;
  std::unordered_map<std::string, std::string> types_;  // folded name -> stored name
  int64_t firstKey_ = 1;
  int64_t nextKey_ = 1;
  int pass_ = 0;
  uint64_t entries_ = 0;
};

namespace {

// Runs an import of what open() reads; the common frame of the text and the file.
Outcome runImport(Repository& repository, std::recursive_mutex& mutex, Database& db,
                  const SeedImportOptions& options, SeedReport* report, const std::string& source,
                  const std::function<std::unique_ptr<SeedSource>()>& open) {
  std::lock_guard lock(mutex);
  if (report) *report = SeedReport{};
  try {
    Transaction transaction(db);
    SeedImporter importer(repository, options, source);
    bool ok = false;
    try {
      ok = importer.run(open);
    } catch (const SeedImporter::Stop&) {
      ok = false;
    }
    std::vector<std::string>& problems = importer.problems();
    if (report) report->summary = importer.summary();
    if (options.dryRun) {
      // The transaction rolls back: nothing of a dry run stays.
      if (report) report->problems = problems;
      if (!problems.empty()) {
        return {kStatusInvalidArgument, problems.front() +
                                            (problems.size() > 1
                                                 ? " (and " + std::to_string(problems.size() - 1) +
                                                       " more)"
                                                 : "")};
      }
      return Outcome::success();
    }
    if (!ok) {
      if (report) report->summary = SeedSummary{};
      return {kStatusInvalidArgument, problems.empty() ? source + ": refused" : problems.front()};
    }
    transaction.commit();
    return Outcome::success();
  } catch (const StorageError& error) {
    if (report) report->summary = SeedSummary{};
    return {kStatusStorageFailure, source + ": " + error.what()};
  } catch (const std::bad_alloc&) {
    if (report) report->summary = SeedSummary{};
    return {kStatusNoMemory, source + ": out of memory"};
  }
}

}  // namespace

Outcome Repository::importSeedText(std::string_view text, std::string_view sourceName) {
  return importSeedText(text, sourceName, SeedImportOptions{}, nullptr);
}

Outcome Repository::importSeedText(std::string_view text, std::string_view sourceName,
                                   SeedSummary* summary, const SeedProgress& progress) {
  SeedImportOptions options;
  options.progress = progress;
  SeedReport report;
  Outcome outcome = importSeedText(text, sourceName, options, &report);
  if (summary != nullptr && outcome.ok()) *summary = report.summary;
  return outcome;
}

Outcome Repository::importSeedText(std::string_view text, std::string_view sourceName,
                                   const SeedImportOptions& options, SeedReport* report) {
  std::string source(sourceName.empty() ? "<seed>" : sourceName);
  return runImport(*this, mutex_, *db_, options, report, source,
                   [text] { return std::make_unique<SeedSource>(text); });
}

Outcome Repository::importSeedFile(const std::string& path) {
  return importSeedFile(path, SeedImportOptions{}, nullptr);
}

Outcome Repository::importSeedFile(const std::string& path, const SeedImportOptions& options,
                                   SeedReport* report) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  struct stat info {};
  if (!file || fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
    return {kStatusInvalidArgument, path + ": cannot be read"};
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  std::FILE* handle = file.get();
  return runImport(*this, mutex_, *db_, options, report, path, [handle, size] {
    std::rewind(handle);
    return std::make_unique<SeedSource>(handle, size);
  });
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

}  // namespace mdserver
