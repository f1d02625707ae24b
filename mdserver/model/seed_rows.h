// Writing the rows of a seed import, in the caller's transaction:
//  - on SQLite, prepared single-row inserts, each statement held for the whole load (foreign keys
//    are checked at the commit, since a link may name an object stored later);
//  - on PostgreSQL, rows gathered per table and sent with COPY every few thousand entries,
//    parents first; links wait in a temporary table and are moved into place in one statement
//    once every object they may name is stored;
//  - on PostgreSQL into a repository without objects (loadingEmpty): the constraints (keys,
//    unique, foreign) and the indexes of the object tables set aside for the load and built
//    again by finish(), links sent with COPY straight into place.
// Keys are the caller's: objects and properties come with the keys the import planned.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mdserver/storage/database.h"

namespace mdserver {

class SeedRows {
 public:
  explicit SeedRows(Database& db);
  ~SeedRows();
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
  // PostgreSQL, the constraints (primary keys, unique, foreign keys) and indexes of the object
  // tables are dropped until finish() creates them again as they were. Checking a row against
  // them one at a time costs most of a load; building them once over the whole table costs a
  // fraction, and doing it in the caller's transaction means a failure rolls the drop back with
  // the rows. The caller resolves every reference itself meanwhile (the constraints' return
  // checks every row again, and refuses there what the caller's checks let through).
  // Nothing on SQLite.
  void loadingEmpty();

  // One entry is written: a full batch is sent. On PostgreSQL it is sent by a thread of its
  // own while the caller goes on gathering the next (the server stores one batch while the
  // caller reads the next from the file); at most two batches are held. Until flush() or
  // finish(), the caller must not use the database.
  void entryDone();
  // Sends what is gathered (after the batch in flight, if any), so that statements may read it.
  void flush();
  // After the last entry: the held statements released and what is gathered sent; with
  // moveLinks, the waiting links moved into place (without, those already in place after
  // loadingEmpty() removed again), what loadingEmpty() dropped built again, and with
  // moveSequence the key sequence moved past the last key (a sequence does not go back with a
  // rollback, so a dry run leaves it).
  void finish(bool moveLinks, bool moveSequence);

 private:
  Statement& held(std::optional<Statement>& slot, const char* sql);
  // Creates the table where links wait, unless they go straight into place.
  void prepareLinkTable();
  // Sends the four tables' rows of one batch and empties them.
  void send(std::string* rows);
  // Waits for the batch in flight; rethrows what stopped it.
  void awaitSending();

  Database& db_;
  const bool batched_;
  uint64_t entries_ = 0;
  bool linkTable_ = false;
  // Set by loadingEmpty(): the statements that create again what it dropped (indexes first),
  // each marked when it is a foreign key whose column leads an index of its table.
  struct Rebuild {
    std::string statement;
    bool keyAlongIndexes = false;
  };
  std::vector<Rebuild> setAside_;
  bool linksInPlace_ = false;
  // Set by loadingEmpty() once the tables are emptied in this transaction: rows go in frozen.
  bool frozen_ = false;
  std::optional<Statement> insertObject_, insertAttribute_, insertProperty_, insertLink_;
  // Objects, attributes, properties, links: the rows being gathered, and the batch in flight.
  std::string gathering_[4], sending_[4];
  std::thread sender_;
  std::exception_ptr sendFailure_;
};

}  // namespace mdserver
