// Associations of the repository: named, ordered links from one object to others, kept in both
// directions where the association model pairs two names (a table's Columns and a column's
// Table), and never left pointing at a deleted object.
//
// Order. Within an association the targets keep the order they were given (Modify keeps the
// places of targets already there). The associations of an object come in the order they were
// first made: a name's place is the position of its first link, and every change below keeps that
// position for the name, so rewriting, shrinking or growing an association never moves it in the
// list of names. An association that loses its last target is gone; made again, it comes last.
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "mdserver/model/repository.h"
#include "mdserver/model/repository_support.h"
#include "mdserver/security/security_types.h"

namespace mdserver {
namespace {

using namespace repository_support;

// The association model: each pair is kept in both directions. Either name of a pair may be the
// one a program changes; the other side follows.
struct InversePair {
  std::string_view name;
  std::string_view inverse;
};
constexpr InversePair kInversePairs[] = {
    {"Columns", "Table"},                    // PhysicalTable ↔ Column
    {"Tables", "TablePackage"},              // Library ↔ PhysicalTable
    {"MemberIdentities", "IdentityGroups"},  // IdentityGroup ↔ Person or IdentityGroup
    {"SubTrees", "ParentTree"},              // Tree ↔ Tree
    {"Members", "Trees"},                    // Tree ↔ any member
};

}  // namespace

std::optional<std::string_view> inverseAssociation(std::string_view name) {
  for (const InversePair& pair : kInversePairs) {
    if (equalNoCase(pair.name, name)) return pair.inverse;
    if (equalNoCase(pair.inverse, name)) return pair.name;
  }
  return std::nullopt;
}

std::vector<int64_t> Repository::linkedUnlocked(int64_t source, std::string_view name) {
  std::vector<int64_t> targets;
  Statement s(*db_, "SELECT target FROM associations WHERE source = ? AND name = ? ORDER BY position");
  s.bind(1, source).bind(2, name);
  while (s.step()) targets.push_back(s.integer(0));
  return targets;
}

// The spelling the object already uses for the association, else `name` itself, so that links
// added under another letter case do not show the name twice.
std::string Repository::associationSpellingUnlocked(int64_t source, std::string_view name) {
  Statement s(*db_, "SELECT name FROM associations WHERE source = ? AND name = ? LIMIT 1");
  s.bind(1, source).bind(2, name);
  return s.step() ? s.text(0) : std::string(name);
}

void Repository::writeAssociationUnlocked(int64_t source, std::string_view name,
                                          const std::vector<int64_t>& targets) {
  const std::string spelling = associationSpellingUnlocked(source, name);
  int64_t first = 0;  // the name's place among the object's associations; 0 for a new one
  {
    Statement s(*db_, "SELECT coalesce(min(position), 0) FROM associations WHERE source = ? AND name = ?");
    s.bind(1, source).bind(2, name);
    if (s.step()) first = s.integer(0);
  }
  Statement(*db_, "DELETE FROM associations WHERE source = ? AND name = ?")
      .bind(1, source)
      .bind(2, name)
      .run();
  if (targets.empty()) return;
  int64_t top = 0;
  {
    Statement s(*db_, "SELECT coalesce(max(position), 0) FROM associations WHERE source = ?");
    s.bind(1, source);
    if (s.step()) top = s.integer(0);
  }
  int64_t next = std::max(top, first);
  for (size_t i = 0; i < targets.size(); ++i) {
    int64_t position = (i == 0 && first != 0) ? first : ++next;
    Statement(*db_, "INSERT INTO associations(source, name, target, position) VALUES(?, ?, ?, ?)")
        .bind(1, source)
        .bind(2, spelling)
        .bind(3, targets[i])
        .bind(4, position)
        .run();
  }
}

void Repository::addLinkUnlocked(int64_t source, std::string_view name, int64_t target) {
  {
    Statement s(*db_, "SELECT 1 FROM associations WHERE source = ? AND name = ? AND target = ?");
    s.bind(1, source).bind(2, name).bind(3, target);
    if (s.step()) return;
  }
  const std::string spelling = associationSpellingUnlocked(source, name);
  Statement(*db_,
            "INSERT INTO associations(source, name, target, position) VALUES(?1, ?2, ?3, "
            "(SELECT coalesce(max(position), 0) + 1 FROM associations WHERE source = ?1))")
      .bind(1, source)
      .bind(2, spelling)
      .bind(3, target)
      .run();
}

void Repository::removeLinkUnlocked(int64_t source, std::string_view name, int64_t target) {
  int64_t position = 0;
  {
    Statement s(*db_, "SELECT position FROM associations WHERE source = ? AND name = ? AND target = ?");
    s.bind(1, source).bind(2, name).bind(3, target);
    if (!s.step()) return;
    position = s.integer(0);
  }
  int64_t first = 0;
  {
    Statement s(*db_, "SELECT min(position) FROM associations WHERE source = ? AND name = ?");
    s.bind(1, source).bind(2, name);
    if (s.step()) first = s.integer(0);
  }
  Statement(*db_, "DELETE FROM associations WHERE source = ? AND name = ? AND target = ?")
      .bind(1, source)
      .bind(2, name)
      .bind(3, target)
      .run();
  if (position != first) return;
  // The first link went: the next one takes its position, so the name keeps its place.
  Statement(*db_,
            "UPDATE associations SET position = ?1 WHERE source = ?2 AND name = ?3 AND position = "
            "(SELECT min(position) FROM associations WHERE source = ?2 AND name = ?3)")
      .bind(1, first)
      .bind(2, source)
      .bind(3, name)
      .run();
}

void Repository::dropLinksToUnlocked(int64_t target) {
  std::vector<std::pair<int64_t, std::string>> links;
  {
    Statement s(*db_, "SELECT source, name FROM associations WHERE target = ?");
    s.bind(1, target);
    while (s.step()) links.emplace_back(s.integer(0), s.text(1));
  }
  for (const auto& [source, name] : links) removeLinkUnlocked(source, name, target);
}

Outcome Repository::associationNames(std::string_view id, std::vector<std::string>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT name FROM associations WHERE source = ? GROUP BY name ORDER BY "
                "min(position)");
    s.bind(1, key);
    while (s.step()) out.push_back(s.text(0));
    return Outcome::success();
  });
}

Outcome Repository::associated(std::string_view id, std::string_view name,
                               std::vector<ObjectRow>& out) {
  out.clear();
  return guarded(mutex_, [&] {
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    Statement s(*db_,
                "SELECT o.key, o.id, o.type, o.name, o.description FROM associations a JOIN "
                "objects o ON o.key = a.target WHERE a.source = ? AND a.name = ? ORDER BY "
                "a.position");
    s.bind(1, key).bind(2, name);
    while (s.step()) out.push_back(readObject(s));
    return Outcome::success();
  });
}

std::optional<ObjectRow> Repository::objectByKeyUnlocked(int64_t key) {
  Statement s(*db_, "SELECT key, id, type, name, description FROM objects WHERE key = ?");
  s.bind(1, key);
  if (!s.step()) return std::nullopt;
  return readObject(s);
}

std::vector<ObjectRow> Repository::linkedRowsUnlocked(int64_t source, std::string_view name) {
  std::vector<ObjectRow> out;
  Statement s(*db_,
              "SELECT o.key, o.id, o.type, o.name, o.description FROM associations a JOIN "
              "objects o ON o.key = a.target WHERE a.source = ? AND a.name = ? ORDER BY "
              "a.position");
  s.bind(1, source).bind(2, name);
  while (s.step()) out.push_back(readObject(s));
  return out;
}

Outcome Repository::checkLinks(const LinkGuard& guard, const ObjectRow& source,
                               std::string_view name, const std::vector<ObjectRow>& changed) {
  const bool paired = inverseAssociation(name).has_value();
  const bool members = equalNoCase(name, kMembersAssociation);
  const bool groups = equalNoCase(name, kGroupsAssociation);
  for (const ObjectRow& other : changed) {
    if (paired && other.key != source.key && guard.mayRewrite) {
      Outcome outcome = guard.mayRewrite(other);
      if (!outcome.ok()) return outcome;
    }
    if ((members || groups) && guard.mayChangeMembership) {
      Outcome outcome = members ? guard.mayChangeMembership(source, other)
                                : guard.mayChangeMembership(other, source);
      if (!outcome.ok()) return outcome;
    }
  }
  return Outcome::success();
}

Outcome Repository::setAssociationUnlocked(int64_t sourceKey, std::string_view name,
                                           AssociationMode mode,
                                           const std::vector<int64_t>& targets,
                                           bool followInverse, const LinkGuard* guard) {
  if (name.empty()) return failure(kStatusInvalidArgument, "the association name is empty");
  const std::vector<int64_t> stored = linkedUnlocked(sourceKey, name);
  const std::unordered_set<int64_t> storedSet(stored.begin(), stored.end());
  // The part of the list the caller sees; links to the objects it does not see stay as they are.
  std::unordered_map<int64_t, ObjectRow> rowOf;
  std::unordered_set<int64_t> hidden;
  if (guard) {
    for (ObjectRow& row : linkedRowsUnlocked(sourceKey, name)) {
      if (guard->sees && !guard->sees(row)) hidden.insert(row.key);
      rowOf.emplace(row.key, std::move(row));
    }
  }
  std::vector<int64_t> present;
  for (int64_t t : stored) {
    if (!hidden.count(t)) present.push_back(t);
  }
  std::unordered_set<int64_t> presentSet(present.begin(), present.end());
  // Each target once, first occurrence wins.
  std::vector<int64_t> unique;
  std::unordered_set<int64_t> seen;
  for (int64_t t : targets) {
    if (seen.insert(t).second) unique.push_back(t);
  }
  std::vector<int64_t> seenResult;
  switch (mode) {
    case AssociationMode::kAppend:
      for (int64_t t : unique) {
        if (presentSet.count(t)) {
          return failure(kStatusAlreadyAssociated, "a target is already in the association");
        }
      }
      seenResult = present;
      seenResult.insert(seenResult.end(), unique.begin(), unique.end());
      break;
    case AssociationMode::kMerge:
      seenResult = present;
      for (int64_t t : unique) {
        if (!presentSet.count(t)) seenResult.push_back(t);
      }
      break;
    case AssociationMode::kModify:
      for (int64_t t : present) {
        if (seen.count(t)) seenResult.push_back(t);
      }
      for (int64_t t : unique) {
        if (!presentSet.count(t)) seenResult.push_back(t);
      }
      break;
    case AssociationMode::kReplace:
      seenResult = unique;
      break;
    case AssociationMode::kRemove:
      for (int64_t t : present) {
        if (!seen.count(t)) seenResult.push_back(t);
      }
      break;
    default:
      return failure(kStatusInvalidArgument, "unknown association modification flag");
  }
  // Hidden links keep their places; the seen ones fill the other places in their new order, and
  // what is left over goes last.
  std::vector<int64_t> result;
  if (hidden.empty()) {
    result = std::move(seenResult);
  } else {
    size_t next = 0;
    for (int64_t t : stored) {
      if (hidden.count(t)) {
        result.push_back(t);
      } else if (next < seenResult.size()) {
        result.push_back(seenResult[next++]);
      }
    }
    result.insert(result.end(), seenResult.begin() + static_cast<std::ptrdiff_t>(next),
                  seenResult.end());
  }
  if (result == stored) return Outcome::success();
  if (guard) {
    const std::unordered_set<int64_t> resultSet(result.begin(), result.end());
    std::vector<ObjectRow> changed;
    auto add = [&](int64_t key) -> bool {
      auto known = rowOf.find(key);
      if (known != rowOf.end()) {
        changed.push_back(known->second);
        return true;
      }
      auto row = objectByKeyUnlocked(key);
      if (row) changed.push_back(std::move(*row));
      return row.has_value();
    };
    for (int64_t t : stored) {
      if (!resultSet.count(t)) add(t);
    }
    for (int64_t t : result) {
      if (!storedSet.count(t)) add(t);
    }
    auto source = objectByKeyUnlocked(sourceKey);
    if (!source) return failure(kStatusObjectNotFound, "the object is gone");
    Outcome outcome = checkLinks(*guard, *source, name, changed);
    if (!outcome.ok()) return outcome;
  }
  writeAssociationUnlocked(sourceKey, name, result);
  if (!followInverse) return Outcome::success();
  if (auto inverse = inverseAssociation(name)) {
    std::unordered_set<int64_t> kept(result.begin(), result.end());
    for (int64_t t : stored) {
      if (!kept.count(t)) removeLinkUnlocked(t, *inverse, sourceKey);
    }
    for (int64_t t : result) {
      if (!storedSet.count(t)) addLinkUnlocked(t, *inverse, sourceKey);
    }
  }
  return Outcome::success();
}

Outcome Repository::setAssociation(std::string_view id, std::string_view name,
                                   AssociationMode mode,
                                   const std::vector<std::string>& targetIds,
                                   const LinkGuard* guard) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    int64_t key = objectKeyUnlocked(id);
    if (key == 0) return noSuchObject(id);
    std::vector<int64_t> targets;
    for (const std::string& target : targetIds) {
      std::optional<ObjectRow> row = findObjectUnlocked(target);
      // A target the caller may not see does not exist for it.
      if (!row || (guard && guard->sees && !guard->sees(*row))) {
        return failure(kStatusObjectNotFound, "no target object '" + target + "'");
      }
      targets.push_back(row->key);
    }
    Outcome outcome = setAssociationUnlocked(key, name, mode, targets, true, guard);
    if (outcome.ok()) transaction.commit();
    return outcome;
  });
}

Outcome Repository::deleteAssociation(std::string_view id, std::string_view type,
                                      std::string_view name, const LinkGuard* guard) {
  return guarded(mutex_, [&] {
    Transaction transaction(*db_);
    auto row = findObjectUnlocked(id);
    if (!row || (!type.empty() && !equalNoCase(row->type, type))) {
      return failure(kStatusObjectNotFound,
                     "no object '" + std::string(id) + "' of type '" + std::string(type) + "'");
    }
    // Only the links to objects the caller sees go; the others stay where they are.
    std::vector<int64_t> kept;
    std::vector<ObjectRow> removed;
    for (ObjectRow& linked : linkedRowsUnlocked(row->key, name)) {
      if (guard && guard->sees && !guard->sees(linked)) {
        kept.push_back(linked.key);
      } else {
        removed.push_back(std::move(linked));
      }
    }
    if (removed.empty()) {
      return failure(kStatusNoSuchAssociation,
                     "the object has no association '" + std::string(name) + "'");
    }
    if (guard) {
      Outcome outcome = checkLinks(*guard, *row, name, removed);
      if (!outcome.ok()) return outcome;
    }
    writeAssociationUnlocked(row->key, name, kept);
    if (auto inverse = inverseAssociation(name)) {
      for (const ObjectRow& t : removed) removeLinkUnlocked(t.key, *inverse, row->key);
    }
    transaction.commit();
    return Outcome::success();
  });
}

}  // namespace mdserver
