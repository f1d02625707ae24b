// Seed files written back: the repository's contents as one JSON document (the form
// seed_import.cpp reads), attribute order kept, the security section beside the objects.
//
// Written as it is read: objects are fetched a few thousand at a time by key (with their
// attributes, properties and associations in one statement each per batch), each object is
// formatted on its own and written out, so memory follows one batch, not the repository. The
// text is exactly what formatting the whole document at once with two-space indents gives.
// Everything is read from one snapshot, so an export is consistent while others write.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <unordered_set>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/security_seed.h"
#include "mdserver/security/sqlite_security_store.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using Json = nlohmann::ordered_json;

namespace {

// Object rows per batch (property objects among them): each batch is five statements, whatever
// its size.
constexpr int64_t kExportBatch = 4000;

void put(std::FILE* out, std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out) != text.size()) {
    throw StorageError("the seed could not be written");
  }
}

// text with indent put before every line (but the first when skipFirst), as the value would
// stand nested that deep in the whole document. JSON text holds no raw line breaks inside
// strings, so lines are the document's own.
std::string indented(const std::string& text, const std::string& indent, bool skipFirst) {
  std::string out;
  out.reserve(text.size() + 64);
  if (!skipFirst) out += indent;
  for (char c : text) {
    out += c;
    if (c == '\n') out += indent;
  }
  return out;
}

// Opens a read snapshot for the export and closes it however the export ends.
class Snapshot {
 public:
  explicit Snapshot(Database& db) : db_(db) { db_.savepoint("seed_export"); }
  ~Snapshot() {
    if (open_) db_.rollbackTo("seed_export");  // and released
  }
  void close() {
    open_ = false;
    db_.release("seed_export");
  }

 private:
  Database& db_;
  bool open_ = true;
};

}  // namespace

void Repository::exportSeed(std::FILE* out, SeedExportSummary* summary,
                            const SeedProgress& progress) {
  std::lock_guard lock(mutex_);
  SeedExportSummary counts;
  Snapshot snapshot(*db_);
  Json head = Json::object();
  head["server"] = {{"version", 0.0}, {"paused", 0}};
  {
    Statement s(*db_, "SELECT name, value FROM settings WHERE name IN ('version', 'paused')");
    while (s.step()) {
      if (s.text(0) == "version") head["server"]["version"] = s.real(1);
      if (s.text(0) == "paused") head["server"]["paused"] = s.integer(1);
    }
  }
  head["types"] = Json::array();
  {
    Statement s(*db_, "SELECT name FROM types ORDER BY position");
    while (s.step()) head["types"].push_back(s.text(0));
  }
  head["repositories"] = Json::array();
  std::unordered_map<int64_t, std::string> repositoryIds;  // key -> id
  {
    Statement s(*db_, "SELECT key, id, name, description FROM repositories ORDER BY key");
    while (s.step()) {
      repositoryIds.emplace(s.integer(0), s.text(1));
      head["repositories"].push_back(
          {{"id", s.text(1)}, {"name", s.text(2)}, {"description", s.text(3)}});
    }
  }
  uint64_t total = 0;
  if (progress) {
    // Every property row names one object of its own (its key is unique and refers to one).
    Statement s(*db_, "SELECT (SELECT count(*) FROM objects) - (SELECT count(*) FROM properties)");
    if (s.step()) total = static_cast<uint64_t>(s.integer(0));
  }
  std::string text = head.dump(2);
  text.resize(text.size() - 2);  // the closing "\n}": the objects follow
  text += ",\n  \"objects\": [";
  put(out, text);

  bool any = false;
  int64_t after = 0;
  for (;;) {
    // The next run of keys, property objects included: a walk of the primary key alone. An
    // anti-join against properties here is planned as a pass over the whole properties table
    // per batch, which makes the export quadratic in the repository's size.
    struct Row {
      int64_t key, repository;
      std::string type, id, name, description;
    };
    std::vector<Row> rows;
    {
      Statement s(*db_,
                  "SELECT key, repository, type, id, name, description FROM objects WHERE key > ? "
                  "ORDER BY key LIMIT ?");
      s.bind(1, after).bind(2, kExportBatch);
      while (s.step()) {
        rows.push_back({s.integer(0), s.integer(1), s.text(2), s.text(3), s.text(4), s.text(5)});
      }
    }
    if (rows.empty()) break;
    const int64_t low = rows.front().key, high = rows.back().key;
    after = high;
    // Property objects are listed under their owners, not as entries.
    std::unordered_set<int64_t> propertyKeys;
    {
      Statement s(*db_, "SELECT property FROM properties WHERE property BETWEEN ? AND ?");
      s.bind(1, low).bind(2, high);
      while (s.step()) propertyKeys.insert(s.integer(0));
    }
    std::vector<Json> batch;
    std::unordered_map<int64_t, size_t> at;  // key -> index in batch
    batch.reserve(rows.size());
    for (Row& row : rows) {
      if (propertyKeys.count(row.key)) continue;
      auto repository = repositoryIds.find(row.repository);
      if (repository == repositoryIds.end()) {
        throw StorageError("object '" + row.id + "' names a repository that does not exist");
      }
      at.emplace(row.key, batch.size());
      batch.push_back({{"repository", repository->second}, {"type", std::move(row.type)},
                       {"id", std::move(row.id)}, {"name", std::move(row.name)},
                       {"description", std::move(row.description)}});
    }
    rows.clear();
    if (batch.empty()) continue;
    // Attributes, properties and associations of the batch's key range; rows of property
    // objects in the range (which the export does not list) are passed over.
    {
      Statement s(*db_, "SELECT object, name, value FROM attributes WHERE object BETWEEN ? AND ? "
                        "ORDER BY object, position");
      s.bind(1, low).bind(2, high);
      while (s.step()) {
        auto found = at.find(s.integer(0));
        if (found != at.end()) batch[found->second]["attributes"][s.text(1)] = s.text(2);
      }
    }
    {
      Statement s(*db_,
                  "SELECT p.owner, o.id, o.name, p.value FROM properties p JOIN objects o ON "
                  "o.key = p.property WHERE p.owner BETWEEN ? AND ? ORDER BY p.owner, p.position");
      s.bind(1, low).bind(2, high);
      while (s.step()) {
        auto found = at.find(s.integer(0));
        if (found == at.end()) continue;
        batch[found->second]["properties"].push_back(
            {{"id", s.text(1)}, {"name", s.text(2)}, {"value", s.text(3)}});
        ++counts.properties;
      }
    }
    {
      Statement s(*db_,
                  "SELECT a.source, a.name, o.id FROM associations a JOIN objects o ON o.key = "
                  "a.target WHERE a.source BETWEEN ? AND ? ORDER BY a.source, a.position");
      s.bind(1, low).bind(2, high);
      while (s.step()) {
        auto found = at.find(s.integer(0));
        if (found == at.end()) continue;
        batch[found->second]["associations"][s.text(1)].push_back(s.text(2));
        ++counts.associations;
      }
    }
    text.clear();
    for (const Json& entry : batch) {
      text += any ? ",\n" : "\n";
      any = true;
      text += indented(entry.dump(2), "    ", false);
    }
    put(out, text);
    counts.objects += batch.size();
    if (progress) progress(counts.objects, std::max(total, counts.objects));
  }
  put(out, any ? "\n  ]" : "]");
  Json security = exportSecuritySection(*security_);
  if (!security.is_null()) put(out, ",\n  \"security\": " + indented(security.dump(2), "  ", true));
  put(out, "\n}\n");
  snapshot.close();
  if (summary) *summary = counts;
}

std::string Repository::exportSeedText() {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  if (!out) throw StorageError("out of memory");
  struct Closer {
    std::FILE*& out;
    char*& buffer;
    ~Closer() {
      if (out) std::fclose(out);
      std::free(buffer);
    }
  } closer{out, buffer};
  exportSeed(out);
  std::fclose(out);
  out = nullptr;
  return std::string(buffer, size);
}

Outcome Repository::exportSeedFile(const std::string& path) {
  return exportSeedFile(path, nullptr, {});
}

Outcome Repository::exportSeedFile(const std::string& path, SeedExportSummary* summary,
                                   const SeedProgress& progress) {
  // Written beside the target and renamed over it, so a failed export leaves an existing file
  // as it was.
  const std::string partial = path + ".partial";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (!out) return {kStatusInvalidArgument, path + ": cannot be written"};
  Outcome outcome = Outcome::success();
  try {
    exportSeed(out, summary, progress);
  } catch (const StorageError& error) {
    outcome = {kStatusStorageFailure, path + ": " + error.what()};
  } catch (const nlohmann::json::exception& error) {
    // Programs may store any bytes; JSON holds only UTF-8 text. Refusing keeps the data intact
    // instead of writing a seed file that would import as something else.
    outcome = {kStatusInvalidArgument,
               path + ": the repository holds text that a seed file cannot carry (" +
                   error.what() + ")"};
  }
  if (std::fclose(out) != 0 && outcome.ok()) {
    outcome = {kStatusStorageFailure, path + ": write failed"};
  }
  if (!outcome.ok()) {
    std::remove(partial.c_str());
    return outcome;
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
