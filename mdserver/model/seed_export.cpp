// Seed files written back: the repository's contents as one JSON document (the form
// seed_import.cpp reads), attribute order kept, the security section beside the objects.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/security_seed.h"
#include "mdserver/security/sqlite_security_store.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using Json = nlohmann::ordered_json;

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

Outcome exportDatabaseToSeed(const std::string& databasePath, const std::string& seedPath) {
  std::ifstream probe(databasePath);
  if (!probe) return {kStatusInvalidArgument, databasePath + ": no such repository file"};
  std::string error;
  auto repository = Repository::open(databasePath, &error);
  if (!repository) return {kStatusStorageFailure, error};
  return repository->exportSeedFile(seedPath);
}

}  // namespace mdserver
