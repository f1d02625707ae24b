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
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/model/seed_json.h"
#include "mdserver/security/security_seed.h"
#include "mdserver/security/sqlite_security_store.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using namespace seed_json;

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
