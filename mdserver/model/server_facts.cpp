// Server-wide facts (the version and the paused state) and the type namespace.
#include "mdserver/model/repository.h"

#include <sqlite3.h>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using namespace repository_support;

// Programs ask for these on every call of a loop. A private database changes only through this
// connection, and every change that commits moves its data version, so what was read stays
// true until the version moves: then both are read again. Inside a transaction a change is not
// committed yet, and a database file may be changed by another process without this connection
// noticing: then they are read on every call.
const Repository::ServerFacts& Repository::serverFactsUnlocked() {
  sqlite3* handle = db_->sqliteHandle();
  uint32_t dataVersion = 0;
  const bool versioned =
      privateDatabase_ && handle != nullptr && sqlite3_get_autocommit(handle) != 0 &&
      sqlite3_file_control(handle, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) == SQLITE_OK;
  if (versioned && serverFacts_.known && serverFacts_.dataVersion == dataVersion) {
    return serverFacts_;
  }
  ServerFacts facts;
  try {
    Statement s(*db_, "SELECT name, value FROM settings WHERE name IN ('version', 'paused')");
    while (s.step()) {
      if (s.text(0) == "version") facts.version = s.real(1);
      if (s.text(0) == "paused") facts.paused = static_cast<int32_t>(s.integer(1));
    }
    facts.known = versioned;
    facts.dataVersion = dataVersion;
  } catch (const StorageError&) {
    facts = ServerFacts{};  // read as 0, as before, and asked again next time
  }
  serverFacts_ = facts;
  return serverFacts_;
}

double Repository::serverVersion() {
  std::lock_guard lock(mutex_);
  return serverFactsUnlocked().version;
}

int32_t Repository::paused() {
  std::lock_guard lock(mutex_);
  return serverFactsUnlocked().paused;
}

Outcome Repository::setServerVersion(double version) {
  return guarded(mutex_, [&] {
    Statement(*db_, "INSERT INTO settings(name, value) VALUES('version', ?) "
                    "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
        .bindDouble(1, version)
        .run();
    return Outcome::success();
  });
}

Outcome Repository::setPaused(int32_t paused) {
  return guarded(mutex_, [&] {
    Statement(*db_, "INSERT INTO settings(name, value) VALUES('paused', ?) "
                    "ON CONFLICT(name) DO UPDATE SET value = excluded.value")
        .bind(1, int64_t{paused})
        .run();
    return Outcome::success();
  });
}

std::vector<std::string> Repository::typeNames() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  try {
    Statement s(*db_, "SELECT name FROM types ORDER BY position");
    while (s.step()) names.push_back(s.text(0));
  } catch (const StorageError&) {
    names.clear();
  }
  return names;
}

Outcome Repository::addType(std::string_view name) {
  return guarded(mutex_, [&] {
    if (name.empty()) return failure(kStatusInvalidArgument, "a type name is empty");
    Statement(*db_, "INSERT OR IGNORE INTO types(name) VALUES(?)").bind(1, name).run();
    return Outcome::success();
  });
}

std::optional<std::string> Repository::canonicalTypeUnlocked(std::string_view name) {
  if (equalNoCase(name, kPropertyType)) return std::string(kPropertyType);
  Statement s(*db_, "SELECT name FROM types WHERE name = ?");
  s.bind(1, name);
  if (s.step()) return s.text(0);
  return std::nullopt;
}

}  // namespace mdserver
