// Writing the rows of a seed import, in the caller's transaction:
//  - on SQLite, prepared single-row inserts, each statement held for the whole load (foreign keys
//    are checked at the commit, since a link may name an object stored later);
//  - on PostgreSQL, rows gathered per table and sent with COPY every few thousand entries,
//    parents first; links wait in a temporary table and are moved into place in one statement
//    once every object they may name is stored;
//  - on PostgreSQL into a repository without objects (loadingEmpty): the foreign keys and the
//    read-only indexes of the object tables set aside for the load and built again by finish(),
//    links sent with COPY straight into place.
// Keys are the caller's: objects and properties come with the keys the import planned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/storage/database.h"

namespace mdserver {

class SeedRows {
 public:
  explicit SeedRows(Database& db);
  SeedRows(const SeedRows&) = delete;
  SeedRows& operator=(const SeedRows&) = delete;

  // Whether rows are gathered and sent in batches (PostgreSQL).
  bool batched() const { return batched_; }

  void object(int64_t key, std::string_view id, int64_t repository, std::string_view type,
              std::string_view name, std::string_view description);
  void attribute(int64_t object, std::string_view name, int64_t position, std::string_view value);
  void property(int64_t key, int64_t owner, int64_t position, std::string_view value);
  void link(int64_t source, std::string_view name, int64_t target, int64_t position);

  // The repository holds no objects (so no reader can lose anything it could see before): on
  // PostgreSQL, the foreign keys and read-only indexes of the object tables are dropped until
  // finish() creates them again as they were. Checking a row against them one at a time costs
  // most of a load; building them once over the whole table costs a fraction, and doing it in
  // the caller's transaction means a failure rolls the drop back with the rows. The caller
  // resolves every reference itself meanwhile (the constraints' return checks every row again).
  // Nothing on SQLite.
  void loadingEmpty();

  // One entry is written: a full batch is sent.
  void entryDone();
  // Sends what is gathered, so that statements may read it.
  void flush();
  // After the last entry: the held statements released and what is gathered sent; with
  // moveLinks, the waiting links moved into place (without, those already in place after
  // loadingEmpty() removed again), what loadingEmpty() dropped built again, and with
  // moveSequence the key sequence moved past the last key (a sequence does not go back with a
  // rollback, so a dry run leaves it).
  void finish(bool moveLinks, bool moveSequence);

 private:
  Statement& held(std::optional<Statement>& slot, const char* sql);

  Database& db_;
  const bool batched_;
  uint64_t entries_ = 0;
  bool linkTable_ = false;
  // Set by loadingEmpty(): the statements that create again what it dropped (indexes first).
  std::vector<std::string> setAside_;
  bool linksInPlace_ = false;
  std::optional<Statement> insertObject_, insertAttribute_, insertProperty_, insertLink_;
  std::string objectRows_, attributeRows_, propertyRows_, linkRows_;
};

}  // namespace mdserver
