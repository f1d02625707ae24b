// Writing the rows of a seed import; contract in seed_rows.h.
#include "mdserver/model/seed_rows.h"

namespace mdserver {

namespace {

// Entries per round of COPY statements: enough for each round trip to carry a good deal, few
// enough that the rows held stay small.
constexpr uint64_t kCopyBatch = 5000;

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

SeedRows::SeedRows(Database& db)
    : db_(db), batched_(std::string_view(db.backendName()) == "postgresql") {
  // A link may name an object stored later in the same transaction.
  if (!batched_) db_.execute("PRAGMA defer_foreign_keys = ON");
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
    field(objectRows_, key);
    field(objectRows_, id);
    field(objectRows_, repository);
    field(objectRows_, type);
    field(objectRows_, name);
    last(objectRows_, description);
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
    field(attributeRows_, object);
    field(attributeRows_, name);
    field(attributeRows_, position);
    last(attributeRows_, value);
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
    field(propertyRows_, key);
    field(propertyRows_, owner);
    field(propertyRows_, position);
    last(propertyRows_, value);
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
    field(linkRows_, source);
    field(linkRows_, name);
    field(linkRows_, target);
    last(linkRows_, position);
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

void SeedRows::entryDone() {
  if (batched_ && ++entries_ >= kCopyBatch) flush();
}

void SeedRows::flush() {
  entries_ = 0;
  if (!batched_) return;
  if (!linkTable_) {
    db_.execute(
        "CREATE TEMP TABLE IF NOT EXISTS seed_links(source bigint, name text, target bigint, "
        "position bigint) ON COMMIT DROP");
    linkTable_ = true;
  }
  db_.copyRows("objects", "key, id, repository, type, name, description", objectRows_);
  db_.copyRows("attributes", "object, name, position, value", attributeRows_);
  db_.copyRows("properties", "property, owner, position, value", propertyRows_);
  db_.copyRows("seed_links", "source, name, target, position", linkRows_);
  for (std::string* rows : {&objectRows_, &attributeRows_, &propertyRows_, &linkRows_}) {
    rows->clear();
  }
}

void SeedRows::finish(bool moveLinks, bool moveSequence) {
  for (auto* slot : {&insertObject_, &insertAttribute_, &insertProperty_, &insertLink_}) {
    slot->reset();
  }
  if (!batched_) return;
  flush();
  if (!moveLinks) return;
  db_.execute(
      "INSERT INTO associations(source, name, target, position) SELECT source, name, target, "
      "position FROM seed_links");
  db_.execute("DELETE FROM seed_links");
  if (moveSequence) {
    db_.execute(
        "SELECT setval(pg_get_serial_sequence('objects', 'key'), (SELECT max(key) FROM objects))");
  }
}

}  // namespace mdserver
