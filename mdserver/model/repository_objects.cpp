// Objects: look-up by identifier, new identifiers, creation (alone, beside a related object, or
// in bulk) and deletion.
#include "mdserver/model/repository.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>

#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/security/security_types.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver {
namespace {

using namespace repository_support;

std::string base36(uint64_t value, size_t width) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(width, '0');
  for (size_t i = width; i-- > 0 && value != 0;) {
    out[i] = kDigits[value % 36];
    value /= 36;
  }
  return out;
}

}  // namespace

std::optional<ObjectRow> Repository::findObjectUnlocked(std::string_view id) {
  Statement s(*db_, "SELECT key, id, type, name, description FROM objects WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readObject(s);
}

int64_t Repository::objectKeyUnlocked(std::string_view id) {
  Statement s(*db_, "SELECT key FROM objects WHERE id = ?");
  s.bind(1, id);
  return s.step() ? s.integer(0) : 0;
}

Outcome Repository::objectsAfter(std::string_view afterId, std::string_view type, size_t limit,
                                 std::vector<ObjectRow>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    const std::string sql =
        std::string("SELECT key, id, type, name, description FROM objects WHERE id > ?") +
        (type.empty() ? "" : " AND type = ?") + " ORDER BY id LIMIT ?";
    Statement s(*db_, sql);
    s.bind(1, afterId);
    if (!type.empty()) s.bind(2, type);
    s.bind(type.empty() ? 2 : 3, static_cast<int64_t>(limit));
    while (s.step()) out.push_back(readObject(s));
    return Outcome::success();
  });
}

Outcome Repository::findObject(std::string_view id, std::optional<ObjectRow>& out) {
  out.reset();
  return guarded(mutex_, [&] {
    out = findObjectUnlocked(id);
    return Outcome::success();
  });
}

std::optional<ObjectRow> Repository::object(std::string_view id) {
  std::lock_guard lock(mutex_);
  try {
    return findObjectUnlocked(id);
  } catch (const StorageError&) {
    return std::nullopt;
  }
}

std::string Repository::newIdentifierUnlocked(const RepositoryInfo& repository) {
  for (;;) {
    // A fresh statement each round: a stepped statement takes no new binding until reset.
    Statement next(*db_,
                   "UPDATE repositories SET serial = serial + 1 WHERE key = ? RETURNING serial");
    next.bind(1, repository.key);
    if (!next.step()) db_->fail("cannot advance the identifier serial");
    uint64_t serial = static_cast<uint64_t>(next.integer(0));
    while (next.step()) {
    }
    std::string id = repository.id + "." + base36(serial, 8);
    // Seeds may have taken serial-shaped identifiers already.
    if (objectKeyUnlocked(id) == 0 && !(reservedIds_ && reservedIds_->count(id))) return id;
  }
}

int64_t Repository::insertObjectUnlocked(const RepositoryInfo& repository, const std::string& id,
                                         const std::string& type, std::string_view name,
                                         std::string_view description) {
  Statement s(*db_,
              "INSERT INTO objects(id, repository, type, name, description) VALUES(?, ?, ?, ?, ?)");
  s.bind(1, id).bind(2, repository.key).bind(3, type).bind(4, name).bind(5, description).run();
  return db_->lastInsertKey();
}

Outcome Repository::createObjectUnlocked(const ObjectDraft& draft, std::string* createdId) {
  auto repository = repositoryWhereUnlocked("id", draft.repository);
  if (!repository) {
    return failure(kStatusUnknownRepository, "no repository '" + draft.repository + "'");
  }
  auto type = canonicalTypeUnlocked(draft.type);
  if (!type) return failure(kStatusUnknownType, "unknown type '" + draft.type + "'");
  std::string id = draft.id;
  if (id.empty()) {
    id = newIdentifierUnlocked(*repository);
  } else {
    if (id.size() != 17 || id.compare(0, 8, repository->id) != 0 || id[8] != '.' ||
        !isIdentifierPart(std::string_view(id).substr(9))) {
      return failure(kStatusInvalidArgument,
                     "identifier '" + id + "' is not '" + repository->id +
                         ".' followed by 8 letters or digits");
    }
    if (objectKeyUnlocked(id) != 0) {
      return failure(kStatusDuplicate, "identifier '" + id + "' is already in use");
    }
  }
  int64_t key = insertObjectUnlocked(*repository, id, *type, draft.name, draft.description);
  int64_t position = 0;
  for (const auto& [name, value] : draft.attributes) {
    Statement s(*db_,
                "INSERT INTO attributes(object, name, position, value) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(object, name) DO UPDATE SET value = excluded.value");
    s.bind(1, key).bind(2, name).bind(3, ++position).bind(4, value).run();
  }
  if (createdId) *createdId = std::move(id);
  return Outcome::success();
}

Outcome Repository::createObject(const ObjectDraft& draft, std::string* createdId) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    Outcome outcome = createObjectUnlocked(draft, createdId);
    if (outcome.ok()) transaction.commit();
    return outcome;
  });
}

Outcome Repository::createRelatedObject(const ObjectDraft& draft, std::string_view relatedId,
                                        std::string_view association, std::string* createdId,
                                        const LinkGuard* guard) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t related = objectKeyUnlocked(relatedId);
    if (related == 0) {
      return failure(kStatusObjectNotFound, "no object '" + std::string(relatedId) + "'");
    }
    std::string id;
    Outcome outcome = createObjectUnlocked(draft, &id);
    if (!outcome.ok()) return outcome;
    outcome = setAssociationUnlocked(related, association, AssociationMode::kMerge,
                                     {objectKeyUnlocked(id)}, true, guard);
    if (!outcome.ok()) return outcome;
    transaction.commit();
    if (createdId) *createdId = std::move(id);
    return Outcome::success();
  });
}

Outcome Repository::createObjects(const std::vector<ObjectDraft>& drafts,
                                  std::vector<std::string>* ids) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    std::vector<std::string> created;
    created.reserve(drafts.size());
    for (const ObjectDraft& draft : drafts) {
      std::string id;
      Outcome outcome = createObjectUnlocked(draft, &id);
      if (!outcome.ok()) return outcome;
      created.push_back(std::move(id));
    }
    transaction.commit();
    if (ids) *ids = std::move(created);
    return Outcome::success();
  });
}

Outcome Repository::deleteObject(std::string_view id, const LinkGuard* guard) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    if (guard && guard->mayChangeMembership) {
      // The memberships it is in or holds end with it: each from the side that lists it.
      std::vector<std::tuple<int64_t, std::string, int64_t>> links;
      {
        Statement s(*db_, "SELECT source, name, target FROM associations WHERE source = ?1 OR "
                          "target = ?1");
        s.bind(1, key);
        while (s.step()) links.emplace_back(s.integer(0), s.text(1), s.integer(2));
      }
      for (const auto& [source, name, target] : links) {
        const bool members = equalNoCase(name, kMembersAssociation);
        if (!members && !equalNoCase(name, kGroupsAssociation)) continue;
        auto group = objectByKeyUnlocked(members ? source : target);
        auto member = objectByKeyUnlocked(members ? target : source);
        if (!group || !member) continue;
        Outcome outcome = guard->mayChangeMembership(*group, *member);
        if (!outcome.ok()) return outcome;
      }
    }
    // Links to it go one by one, so that each association that loses it keeps its place among
    // its object's associations; its own links go with it.
    dropLinksToUnlocked(key);
    // Property objects belong to their owner and go with it.
    Statement(*db_,
              "DELETE FROM objects WHERE key IN (SELECT property FROM properties WHERE owner = ?)")
        .bind(1, key)
        .run();
    Statement(*db_, "DELETE FROM objects WHERE key = ?").bind(1, key).run();
    // Entries on a deleted object could only ever mislead a later object of that identifier;
    // so could templates applied to it, and, when it was a template, its applications.
    Statement(*db_, "DELETE FROM authorizations WHERE target = ?").bind(1, id).run();
    Statement(*db_, "DELETE FROM template_applications WHERE target = ?1 OR template = ?1")
        .bind(1, id)
        .run();
    // An identity takes its entries and logins along, in the same transaction: an entry for a
    // deleted identity could only ever decide for a later one of that identifier, a login
    // without its owner is a way in for nobody (or the wrong one), and neither would import
    // back from an export.
    Statement(*db_, "DELETE FROM authorizations WHERE identity = ?").bind(1, id).run();
    Statement(*db_, "DELETE FROM logins WHERE owner = ?").bind(1, id).run();
    transaction.commit();
    return Outcome::success();
  });
}

}  // namespace mdserver
