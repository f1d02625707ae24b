// Writing the rows of a seed import; contract in seed_rows.h.
#include "mdserver/model/seed_rows.h"

#include <system_error>

namespace mdserver {

namespace {

// Entries per round of COPY statements: enough for each round trip to carry a good deal, few
// enough that the rows held stay small.
constexpr uint64_t kCopyBatch = 20000;

// The tables of objects: what loadingEmpty() sets aside is theirs.
constexpr const char* kObjectTables =
    "('objects'::regclass, 'attributes'::regclass, 'properties'::regclass, "
    "'associations'::regclass)";

void field(std::string& out, std::string_view text) {
  appendCopyField(out, text);
  out += '\t';
}
void field(std::string& out, int64_t value) {
  out += std::to_string(value);
  out += '\t';
}
void last(std::string& out, std::string_view text) {
  appendCopyField(out, text);
  out += '\n';
}
void last(std::string& out, int64_t value) {
  out += std::to_string(value);
  out += '\n';
}

}  // namespace

enum Table { kObjects, kAttributes, kProperties, kLinks };

SeedRows::SeedRows(Database& db)
    : db_(db), batched_(std::string_view(db.backendName()) == "postgresql") {
  // A link may name an object stored later in the same transaction.
  if (!batched_) db_.execute("PRAGMA defer_foreign_keys = ON");
}

SeedRows::~SeedRows() {
  // A load stopped by an error: the batch in flight ends before the caller rolls back.
  if (sender_.joinable()) sender_.join();
}

Statement& SeedRows::held(std::optional<Statement>& slot, const char* sql) {
  // Kept for the whole load: its cache entry stays busy meanwhile, so a nested use of the same
  // text gets a statement of its own.
  if (!slot) slot.emplace(db_, sql);
  return *slot;
}

void SeedRows::object(int64_t key, std::string_view id, int64_t repository, std::string_view type,
                      std::string_view name, std::string_view description) {
  if (batched_) {
    field(gathering_[kObjects], key);
    field(gathering_[kObjects], id);
    field(gathering_[kObjects], repository);
    field(gathering_[kObjects], type);
    field(gathering_[kObjects], name);
    last(gathering_[kObjects], description);
    return;
  }
  held(insertObject_,
       "INSERT INTO objects(key, id, repository, type, name, description) VALUES(?, ?, ?, ?, ?, ?)")
      .bind(1, key)
      .bindUnchanging(2, id)
      .bind(3, repository)
      .bindUnchanging(4, type)
      .bindUnchanging(5, name)
      .bindUnchanging(6, description)
      .run();
  insertObject_->reset();
}

void SeedRows::attribute(int64_t object, std::string_view name, int64_t position,
                         std::string_view value) {
  if (batched_) {
    field(gathering_[kAttributes], object);
    field(gathering_[kAttributes], name);
    field(gathering_[kAttributes], position);
    last(gathering_[kAttributes], value);
    return;
  }
  held(insertAttribute_, "INSERT INTO attributes(object, name, position, value) VALUES(?, ?, ?, ?)")
      .bind(1, object)
      .bindUnchanging(2, name)
      .bind(3, position)
      .bindUnchanging(4, value)
      .run();
  insertAttribute_->reset();
}

void SeedRows::property(int64_t key, int64_t owner, int64_t position, std::string_view value) {
  if (batched_) {
    field(gathering_[kProperties], key);
    field(gathering_[kProperties], owner);
    field(gathering_[kProperties], position);
    last(gathering_[kProperties], value);
    return;
  }
  held(insertProperty_, "INSERT INTO properties(property, owner, position, value) VALUES(?, ?, ?, ?)")
      .bind(1, key)
      .bind(2, owner)
      .bind(3, position)
      .bindUnchanging(4, value)
      .run();
  insertProperty_->reset();
}

void SeedRows::link(int64_t source, std::string_view name, int64_t target, int64_t position) {
  if (batched_) {
    field(gathering_[kLinks], source);
    field(gathering_[kLinks], name);
    field(gathering_[kLinks], target);
    last(gathering_[kLinks], position);
    return;
  }
  held(insertLink_, "INSERT INTO associations(source, name, target, position) VALUES(?, ?, ?, ?)")
      .bind(1, source)
      .bindUnchanging(2, name)
      .bind(3, target)
      .bind(4, position)
      .run();
  insertLink_->reset();
}

void SeedRows::loadingEmpty() {
  if (!setAside_.empty() || linksInPlace_) return;
  // Not on SQLite: its foreign keys are checked at the commit, but while a link waits for an
  // object further down the file, each object stored looks for the rows that wait for it through
  // the indexes on their columns; without them a load takes time quadratic in its size.
  if (!batched_) return;
  {
    // Only a role that owns the tables may drop and add their constraints; any other loads with
    // them in place, as into a repository that holds objects.
    Statement s(db_, (std::string("SELECT bool_and(pg_has_role(relowner, 'USAGE')) FROM pg_class "
                                  "WHERE oid IN ") +
                      kObjectTables + " OR oid = 'repositories'::regclass")
                         .c_str());
    if (!s.step() || s.isNull(0) || s.integer(0) == 0) return;
  }
  std::vector<std::string> drops;
  {
    Statement s(db_, (std::string("SELECT indexrelid::regclass::text, pg_get_indexdef(indexrelid) "
                                  "FROM pg_index WHERE indrelid IN ") +
                      kObjectTables + " AND NOT indisunique AND NOT indisprimary ORDER BY 1")
                         .c_str());
    while (s.step()) {
      drops.push_back("DROP INDEX " + s.text(0));
      setAside_.push_back({s.text(1)});
    }
  }
  std::vector<Rebuild> foreignKeys;
  {
    Statement s(db_, (std::string("SELECT conrelid::regclass::text, quote_ident(conname), "
                                  "pg_get_constraintdef(oid), cardinality(conkey) = 1 AND EXISTS "
                                  "(SELECT 1 FROM pg_index i WHERE i.indrelid = conrelid AND "
                                  "i.indkey[0] = conkey[1]) FROM pg_constraint WHERE contype = "
                                  "'f' AND conrelid IN ") +
                      kObjectTables + " ORDER BY 1, 2")
                         .c_str());
    while (s.step()) {
      drops.push_back("ALTER TABLE " + s.text(0) + " DROP CONSTRAINT " + s.text(1));
      foreignKeys.push_back(
          {"ALTER TABLE " + s.text(0) + " ADD CONSTRAINT " + s.text(1) + " " + s.text(2),
           !s.isNull(3) && s.integer(3) != 0});
    }
  }
  // The primary keys and unique constraints too (after the foreign keys that lean on them):
  // each row checked against them as it comes costs more than sorting the table once. Built
  // again before the foreign keys, they still refuse what the import's own checks may not see
  // (two names equal only in a case that is not ASCII): the load then fails as a whole.
  {
    Statement s(db_, (std::string("SELECT conrelid::regclass::text, quote_ident(conname), "
                                  "pg_get_constraintdef(oid) FROM pg_constraint WHERE contype IN "
                                  "('p', 'u') AND conrelid IN ") +
                      kObjectTables + " ORDER BY 1, 2")
                         .c_str());
    while (s.step()) {
      drops.push_back("ALTER TABLE " + s.text(0) + " DROP CONSTRAINT " + s.text(1));
      setAside_.push_back(
          {"ALTER TABLE " + s.text(0) + " ADD CONSTRAINT " + s.text(1) + " " + s.text(2)});
    }
  }
  setAside_.insert(setAside_.end(), foreignKeys.begin(), foreignKeys.end());
  for (const std::string& drop : drops) db_.execute(drop.c_str());
  // Emptied (they hold nothing) in this transaction, so that the load's rows go in frozen: the
  // export after a load otherwise rewrites every page it reads for the first time, to note
  // that the rows' transaction committed. Rows frozen this way are seen by any snapshot once
  // the load commits, even one taken before it; the tables were empty and locked meanwhile.
  db_.execute("TRUNCATE objects, attributes, properties, associations");
  frozen_ = true;
  // Nothing a link names can be missing at the end (the foreign keys come back then), so links
  // need not wait for the objects they name.
  linksInPlace_ = true;
}

void SeedRows::entryDone() {
  if (!batched_ || ++entries_ < kCopyBatch) return;
  entries_ = 0;
  awaitSending();
  prepareLinkTable();
  for (int table = 0; table < 4; ++table) std::swap(gathering_[table], sending_[table]);
  // The connection is the sender's alone until awaitSending() joins it.
  try {
    sender_ = std::thread([this] {
      try {
        send(sending_);
      } catch (...) {
        sendFailure_ = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    send(sending_);  // no thread to be had: sent here, as it is read
  }
}

void SeedRows::awaitSending() {
  if (sender_.joinable()) sender_.join();
  if (sendFailure_) {
    std::exception_ptr failure = sendFailure_;
    sendFailure_ = nullptr;
    std::rethrow_exception(failure);
  }
}

void SeedRows::prepareLinkTable() {
  if (linkTable_ || linksInPlace_) return;
  db_.execute(
      "CREATE TEMP TABLE IF NOT EXISTS seed_links(source bigint, name text, target bigint, "
      "position bigint) ON COMMIT DROP");
  linkTable_ = true;
}

void SeedRows::send(std::string* rows) {
  db_.copyRows("objects", "key, id, repository, type, name, description", rows[kObjects], frozen_);
  db_.copyRows("attributes", "object, name, position, value", rows[kAttributes], frozen_);
  db_.copyRows("properties", "property, owner, position, value", rows[kProperties], frozen_);
  if (linksInPlace_) {
    db_.copyRows("associations", "source, name, target, position", rows[kLinks], frozen_);
  } else {
    db_.copyRows("seed_links", "source, name, target, position", rows[kLinks]);
  }
  for (int table = 0; table < 4; ++table) rows[table].clear();
}

void SeedRows::flush() {
  entries_ = 0;
  if (!batched_) return;
  awaitSending();
  prepareLinkTable();
  send(gathering_);
}

void SeedRows::finish(bool moveLinks, bool moveSequence) {
  for (auto* slot : {&insertObject_, &insertAttribute_, &insertProperty_, &insertLink_}) {
    slot->reset();
  }
  if (!batched_) return;
  flush();
  if (linksInPlace_) {
    // The table was empty before the load: all its rows are the load's. Without moveLinks some
    // may name entries that were refused.
    if (!moveLinks) db_.execute("DELETE FROM associations");
    // Built over the whole table at once; more sort memory than a single statement gets by
    // default, for this transaction only.
    db_.execute("SET LOCAL maintenance_work_mem = '256MB'");
    // Each foreign key checks every row of its table against the objects' keys. With the
    // rows' column leading an index, the check walks that index beside the keys' index, both in
    // key order and both fresh (the rows went in frozen, so no row is looked up in the table):
    // about half the time of the hashed comparison the planner otherwise picks for large tables
    // (a million objects; more memory for the hash did not help). Only for those statements;
    // the setting then returns to what it was.
    std::string hashJoins;
    {
      Statement s(db_, "SELECT current_setting('enable_hashjoin')");
      if (s.step()) hashJoins = s.text(0);
    }
    for (const Rebuild& rebuild : setAside_) {
      const bool alongIndexes = rebuild.keyAlongIndexes && !hashJoins.empty();
      if (alongIndexes) db_.execute("SET LOCAL enable_hashjoin = off");
      db_.execute(rebuild.statement.c_str());
      if (alongIndexes) {
        Statement s(db_, "SELECT set_config('enable_hashjoin', ?, true)");
        s.bind(1, hashJoins);
        s.step();
      }
    }
    setAside_.clear();
    linksInPlace_ = false;
    // The tables were empty before: until the background statistics run the planner would
    // plan the first reads (an export walks every table by key) as for empty tables.
    if (moveLinks) db_.execute("ANALYZE objects, attributes, properties, associations");
  }
  if (!moveLinks) return;
  if (linkTable_) {
    db_.execute(
        "INSERT INTO associations(source, name, target, position) SELECT source, name, target, "
        "position FROM seed_links");
    db_.execute("DELETE FROM seed_links");
  }
  if (moveSequence) {
    db_.execute(
        "SELECT setval(pg_get_serial_sequence('objects', 'key'), (SELECT max(key) FROM objects))");
  }
}

}  // namespace mdserver
