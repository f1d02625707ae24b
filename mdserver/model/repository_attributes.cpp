// Attributes (ordered name-value pairs, with Name, Desc and Id reaching the object's own
// fields) and properties (Property objects owned by an object), and application properties.
#include "mdserver/model/repository.h"

#include <optional>
#include <string>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {

using namespace repository_support;

Outcome Repository::attributes(std::string_view id,
                               std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_, "SELECT name, value FROM attributes WHERE object = ? ORDER BY position");
    s.bind(1, key);
    while (s.step()) out.emplace_back(s.text(0), s.text(1));
    return Outcome::success();
  });
}

Outcome Repository::attribute(std::string_view id, std::string_view name,
                              std::optional<std::string>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    auto row = findObjectUnlocked(id);
    if (!row) return noSuchObject(id);
    Statement s(*db_, "SELECT value FROM attributes WHERE object = ? AND name = ?");
    s.bind(1, row->key).bind(2, name);
    if (s.step()) {
      out = s.text(0);
    } else if (equalNoCase(name, "Name")) {
      out = row->name;
    } else if (equalNoCase(name, "Desc")) {
      out = row->description;
    } else if (equalNoCase(name, "Id")) {
      out = row->id;
    }
    return Outcome::success();
  });
}

Outcome Repository::setAttribute(std::string_view id, std::string_view name,
                                 std::string_view value) {
  return guarded(mutex_, [&] {
    if (name.empty()) return failure(kStatusInvalidArgument, "the attribute name is empty");
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement existing(*db_, "SELECT 1 FROM attributes WHERE object = ? AND name = ?");
    existing.bind(1, key).bind(2, name);
    bool stored = existing.step();
    if (!stored && (equalNoCase(name, "Name") || equalNoCase(name, "Desc"))) {
      const char* sql = equalNoCase(name, "Name") ? "UPDATE objects SET name = ? WHERE key = ?"
                                                  : "UPDATE objects SET description = ? WHERE key = ?";
      Statement(*db_, sql).bind(1, value).bind(2, key).run();
    } else if (!stored && equalNoCase(name, "Id")) {
      return failure(kStatusInvalidArgument, "an object's identifier cannot be changed");
    } else {
      Statement(*db_,
                "INSERT INTO attributes(object, name, position, value) VALUES(?1, ?2, "
                "(SELECT coalesce(max(position), 0) + 1 FROM attributes WHERE object = ?1), ?3) "
                "ON CONFLICT(object, name) DO UPDATE SET value = excluded.value")
          .bind(1, key)
          .bind(2, name)
          .bind(3, value)
          .run();
    }
    transaction.commit();
    return Outcome::success();
  });
}

Outcome Repository::properties(std::string_view id, std::vector<PropertyRow>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT o.id, o.name, p.value FROM properties p JOIN objects o ON o.key = "
                "p.property WHERE p.owner = ? ORDER BY p.position");
    s.bind(1, key);
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2)});
    return Outcome::success();
  });
}

Outcome Repository::property(std::string_view id, std::string_view name,
                             std::optional<PropertyRow>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT o.id, o.name, p.value FROM properties p JOIN objects o ON o.key = "
                "p.property WHERE p.owner = ? AND o.name = ? COLLATE NOCASE ORDER BY p.position "
                "LIMIT 1");
    s.bind(1, key).bind(2, name);
    if (s.step()) out = PropertyRow{s.text(0), s.text(1), s.text(2)};
    return Outcome::success();
  });
}

Outcome Repository::addPropertyUnlocked(int64_t ownerKey, std::string_view name,
                                        std::string_view value, std::string_view propertyId,
                                        std::string* createdId) {
  if (name.empty()) return failure(kStatusInvalidArgument, "the property name is empty");
  Statement existing(*db_,
                     "SELECT 1 FROM properties p JOIN objects o ON o.key = p.property WHERE "
                     "p.owner = ? AND o.name = ? COLLATE NOCASE");
  existing.bind(1, ownerKey).bind(2, name);
  if (existing.step()) {
    return failure(kStatusDuplicate, "the object already has a property '" + std::string(name) +
                                         "'");
  }
  Statement ownerRepository(*db_, "SELECT repository FROM objects WHERE key = ?");
  ownerRepository.bind(1, ownerKey);
  if (!ownerRepository.step()) return failure(kStatusObjectNotFound, "owner object is gone");
  auto repository = repositoryByKeyUnlocked(ownerRepository.integer(0));
  ObjectDraft draft{repository->id, std::string(kPropertyType), std::string(propertyId),
                  std::string(name), "", {}};
  std::string id;
  Outcome outcome = createObjectUnlocked(draft, &id);
  if (!outcome.ok()) return outcome;
  Statement(*db_,
            "INSERT INTO properties(property, owner, position, value) VALUES(?1, ?2, (SELECT "
            "coalesce(max(position), 0) + 1 FROM properties WHERE owner = ?2), ?3)")
      .bind(1, objectKeyUnlocked(id))
      .bind(2, ownerKey)
      .bind(3, value)
      .run();
  if (createdId) *createdId = std::move(id);
  return Outcome::success();
}

Outcome Repository::addProperty(std::string_view id, std::string_view name,
                                std::string_view value, std::string_view propertyId,
                                std::string* createdId) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Outcome outcome = addPropertyUnlocked(key, name, value, propertyId, createdId);
    if (outcome.ok()) transaction.commit();
    return outcome;
  });
}

Outcome Repository::setPropertyValue(std::string_view id, std::string_view propertyId,
                                     std::string_view name, std::string_view value) {
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    if (!propertyId.empty()) {
      Statement(*db_,
                "UPDATE properties SET value = ? WHERE owner = ? AND property = (SELECT key "
                "FROM objects WHERE id = ?)")
          .bind(1, value)
          .bind(2, key)
          .bind(3, propertyId)
          .run();
    } else {
      Statement(*db_,
                "UPDATE properties SET value = ? WHERE owner = ? AND property = (SELECT "
                "p.property FROM properties p JOIN objects o ON o.key = p.property WHERE "
                "p.owner = ? AND o.name = ? COLLATE NOCASE ORDER BY p.position LIMIT 1)")
          .bind(1, value)
          .bind(2, key)
          .bind(3, key)
          .bind(4, name)
          .run();
    }
    if (db_->changes() == 0) {
      return failure(kStatusObjectNotFound, "the object has no such property");
    }
    return Outcome::success();
  });
}

Outcome Repository::appProperty(std::string_view application, std::string_view property,
                                std::optional<std::string>& out, std::string* componentId) {
  out.reset();
  return guarded(mutex_, [&] {
    Statement s(*db_,
                "SELECT p.value, c.id FROM objects c JOIN properties p ON p.owner = c.key JOIN objects "
                "o ON o.key = p.property WHERE c.type = 'SoftwareComponent' AND c.name = ? "
                "COLLATE NOCASE AND o.name = ? COLLATE NOCASE ORDER BY c.id, p.position LIMIT 1");
    s.bind(1, application).bind(2, property);
    if (!s.step()) {
      return failure(kStatusNoSuchAppProperty, "application '" + std::string(application) +
                                                   "' has no property '" +
                                                   std::string(property) + "'");
    }
    out = s.text(0);
    if (componentId) *componentId = s.text(1);
    return Outcome::success();
  });
}

}  // namespace mdserver
