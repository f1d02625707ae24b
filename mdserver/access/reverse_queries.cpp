// Reverse questions; contract in reverse_queries.h.
#include "mdserver/access/reverse_queries.h"

#include "mdserver/access/audit_trail.h"

#include <algorithm>
#include <map>
#include <optional>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/security/access_target.h"
#include "mdserver/access/decision_shown.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_snapshot.h"
#include "mdserver/security/security_model.h"

namespace mdserver {
namespace {


std::string entryText(const AccessEntry& e) {
  return std::string(e.grant ? "grant " : "deny ") + e.permission + " to " + e.identityId +
         " on " + e.target;
}

// A misspelt permission would only ever answer "nobody" or "nothing": say what is wrong.
Outcome checkPermission(SecurityStore& store, std::string_view permission) {
  if (permission.empty()) return {kStatusUnknownPermission, "no permission given"};
  std::vector<std::string> defined;
  Outcome listed = store.permissions(defined);
  if (!listed.ok()) return listed;
  if (!defined.empty() &&
      std::none_of(defined.begin(), defined.end(),
                   [&](const std::string& name) { return equalNoCase(name, permission); })) {
    std::string known;
    for (const std::string& name : defined) known += (known.empty() ? "" : ", ") + name;
    return {kStatusUnknownPermission, "no permission '" + std::string(permission) +
                                          "' (the repository defines " + known + ")"};
  }
  return Outcome::success();
}

// The committed state with each level read once: the answer decides the same few levels for
// many identities or objects. The failure of a read is kept as decide() expects.
SecuritySources readOnce(SecurityStore& store) {
  auto from = std::make_shared<SecuritySources>(storeSources(store));
  auto entries = std::make_shared<std::unordered_map<std::string, std::vector<AccessEntry>>>();
  auto applied = std::make_shared<std::unordered_map<std::string, std::vector<std::string>>>();
  SecuritySources sources;
  sources.failure = from->failure;
  sources.entries = [from, entries](const std::string& target) {
    auto it = entries->find(target);
    if (it == entries->end()) it = entries->emplace(target, from->entries(target)).first;
    return it->second;
  };
  sources.applications = [from, applied](const std::string& target) {
    auto it = applied->find(target);
    if (it == applied->end()) it = applied->emplace(target, from->applications(target)).first;
    return it->second;
  };
  return sources;
}

std::vector<std::string> repositoryIds(Repository& repository) {
  std::vector<std::string> ids;
  for (const RepositoryInfo& info : repository.repositories()) ids.push_back(info.id);
  return ids;
}

// The target as the asker may see it: what it may not Read does not exist.
Outcome visibleTarget(Repository& repository, const ReadableSet& readable,
                      std::string_view object, AccessTarget& target) {
  auto visibleRepository = repository.repositoryByReference(object);
  if (visibleRepository && !readable.repositoryReadable(visibleRepository->id)) {
    visibleRepository.reset();
  }
  auto visibleObject =
      object.size() == 17 && object[8] == '.' ? repository.object(object) : std::nullopt;
  if (visibleObject && !readable.permits(visibleObject->id)) visibleObject.reset();
  if (visibleRepository) {
    target = repositoryTarget(visibleRepository->id);
  } else if (visibleObject) {
    target = objectTarget(visibleObject->id, visibleObject->type);
  } else if (object.size() == 17 && object[8] == '.' &&
             object.find_first_of(":\\?/") == object.npos) {
    return {kStatusObjectNotFound, "no object '" + std::string(object) + "'"};
  } else {
    std::vector<ObjectRow> rows;
    Outcome resolved = repository.resolve(object, 0, rows, &readable);
    if (!resolved.ok()) return resolved;
    if (rows.empty()) return {kStatusNoMatch, "no object matches '" + std::string(object) + "'"};
    target = objectTarget(rows.front().id, rows.front().type);
  }
  return Outcome::success();
}

bool allowedHere(const Decision& decision, Outcome& failure) {
  if (decision.basis == Decision::Basis::kFailure) failure = decision.failure;
  return decision.allowed;
}

// What the reverse questions keep between calls, for one change count of the repository (the
// count every kept result of this process is checked against): a later call at the same count
// reads the same state, so it is answered from the same decisions without asking them again.
// Each set is decide()'s own answers, computed as below; only the asking is saved.

// The asker's readable set, and the objects it makes readable against their repository's
// decision, in key order.
struct ReaderView {
  ReadableSet set;
  std::vector<std::string> readableExceptions;
};

// One subject's decisions for one permission: per repository (and Administer there, which
// decides a template's changes), and for the objects with levels of their own, which alone can
// be decided otherwise than their repository: one per shape of the state decided over.
struct SubjectView {
  std::shared_ptr<const SecuritySnapshot> snapshot;
  std::unordered_map<std::string, bool> repositoryAllowed;
  std::unordered_map<std::string, bool> repositoryAdministered;
  std::vector<signed char> shapeAllowed;  // 1: may use; unused for templates' shapes
  // The subject's own decision of an object that has levels of its own (not a template).
  std::optional<bool> ownDecision(std::string_view id) const {
    const OwnLevelObject* object = snapshot->ownLevelObject(id);
    if (!object || object->isTemplate) return std::nullopt;
    return shapeAllowed[object->shape] == 1;
  }
};

struct KeptViews : Repository::KeptResults {
  uint64_t count = 0;
  // The state both kinds of view are decided from, read once for the count.
  std::shared_ptr<const SecuritySnapshot> snapshot;
  std::map<std::string, std::shared_ptr<const ReaderView>> readers;
  std::map<std::string, std::shared_ptr<const SubjectView>> subjects;
};

// Enough for the people paging through answers at one time; the views of one count are
// dropped together when more are asked.
constexpr size_t kKeptViews = 32;

// What decide() reads of a principal: whether it is the local administrator and the identities
// it acts as (a principal whose memberships failed is never kept). Each identifier with its
// length first, so that no two sets spell one key.
std::string principalKey(const Principal& principal) {
  if (principal.localAdministrator) return "*";
  std::vector<std::string_view> ids(principal.identities.begin(), principal.identities.end());
  std::sort(ids.begin(), ids.end());
  std::string key;
  for (std::string_view id : ids) key.append(std::to_string(id.size())).append(":").append(id);
  return key;
}

// The views kept for `count`, emptied when the count moved. Called under the repository's lock.
// When only this process's own security changes moved it, the state is patched with them
// instead of read again (the store hands them out only when nothing else came between); every
// view decided over the earlier state goes all the same.
KeptViews& keptViews(Repository& repository, uint64_t count) {
  std::unique_ptr<Repository::KeptResults>& slot = repository.keptQueryResults();
  auto* kept = dynamic_cast<KeptViews*>(slot.get());
  if (!kept) {
    slot = std::make_unique<KeptViews>();
    kept = static_cast<KeptViews*>(slot.get());
  }
  if (kept->count != count) {
    std::vector<std::shared_ptr<const LevelChange>> changes;
    if (kept->snapshot &&
        repository.security().levelChangesBetween(kept->count, count, changes)) {
      // The views go first: subjects' views hold the state, and the patch changes it in
      // place only when nothing else does.
      kept->readers.clear();
      kept->subjects.clear();
      kept->snapshot = SecuritySnapshot::patched(std::move(kept->snapshot), changes);
    } else {
      kept->snapshot.reset();
    }
    kept->readers.clear();
    kept->subjects.clear();
    kept->count = count;
  }
  return *kept;
}

template <class View>
std::shared_ptr<const View> findKept(Repository& repository, uint64_t count,
                                     std::map<std::string, std::shared_ptr<const View>> KeptViews::*
                                         member,
                                     const std::string& key) {
  if (count == 0) return nullptr;  // the count could not be read: nothing kept is trusted
  std::lock_guard lock(repository.mutex());
  auto& views = keptViews(repository, count).*member;
  auto found = views.find(key);
  return found == views.end() ? nullptr : found->second;
}

template <class View>
void keep(Repository& repository, uint64_t count,
          std::map<std::string, std::shared_ptr<const View>> KeptViews::*member, std::string key,
          std::shared_ptr<const View> view) {
  if (count == 0) return;
  std::lock_guard lock(repository.mutex());
  auto& views = keptViews(repository, count).*member;
  if (views.size() >= kKeptViews) views.clear();
  views[std::move(key)] = std::move(view);
}

// The security state at `count`: the one kept for it, or read now (and kept). Asker-free: it is
// the stored state, which every view then decides for its own principal.
Outcome snapshotAt(Repository& repository, uint64_t count,
                   std::shared_ptr<const SecuritySnapshot>& out) {
  if (count != 0) {
    std::lock_guard lock(repository.mutex());
    out = keptViews(repository, count).snapshot;
    if (out) return Outcome::success();
  }
  if (Outcome read = SecuritySnapshot::read(repository.security(), out); !read.ok()) return read;
  if (count != 0) {
    std::lock_guard lock(repository.mutex());
    keptViews(repository, count).snapshot = out;
  }
  return Outcome::success();
}

// count: the repository's change count read before anything of the state was.
Outcome readerView(Repository& repository, uint64_t count, const Principal& asker,
                   const std::vector<std::string>& repositories,
                   std::shared_ptr<const ReaderView>& out) {
  const bool keepable = asker.failure.ok();
  const std::string key = keepable ? principalKey(asker) : std::string();
  if (keepable) {
    out = findKept(repository, count, &KeptViews::readers, key);
    if (out) return Outcome::success();
  }
  auto view = std::make_shared<ReaderView>();
  Outcome computed;
  if (asker.localAdministrator) {
    computed = readableSet(repository.security(), asker, repositories, view->set);
  } else {
    std::shared_ptr<const SecuritySnapshot> snapshot;
    computed = snapshotAt(repository, count, snapshot);
    if (computed.ok()) computed = readableSet(*snapshot, asker, repositories, view->set);
  }
  if (!computed.ok()) return computed;
  for (const auto& [id, readable] : view->set.exceptions) {
    if (readable) view->readableExceptions.push_back(id);
  }
  std::sort(view->readableExceptions.begin(), view->readableExceptions.end());
  out = view;
  if (keepable) keep<ReaderView>(repository, count, &KeptViews::readers, key, view);
  return Outcome::success();
}

// The subject's decisions (not for the local administrator or an open store: those use
// everything). Asked as the readable set asks them: per repository, and for the objects with
// levels of their own once per shape (security_snapshot.h). A template is decided on its
// repository: Read as Read, anything else as Administer (access_target.h).
Outcome subjectView(Repository& repository, uint64_t count, const SecuritySnapshot& snapshot,
                    const Principal& subject, std::string_view permission, bool reading,
                    const std::vector<std::string>& repositories,
                    std::shared_ptr<const SubjectView>& out) {
  if (!subject.failure.ok()) return subject.failure;
  const std::string key = std::string(permission) + "\n" + principalKey(subject);
  out = findKept(repository, count, &KeptViews::subjects, key);
  if (out) return Outcome::success();
  auto view = std::make_shared<SubjectView>();
  view->snapshot = snapshot.shared_from_this();
  const SecuritySources sources = snapshot.sources();
  Outcome failure;
  for (const std::string& id : repositories) {
    view->repositoryAllowed[id] = allowedHere(
        decide(sources, true, subject, repositoryTarget(id), permission), failure);
    if (!reading) {
      view->repositoryAdministered[id] = allowedHere(
          decide(sources, true, subject, repositoryTarget(id), kPermissionAdminister), failure);
    }
    if (!failure.ok()) return failure;
  }
  // One decision per shape: its objects are decided alike (all templates or none).
  view->shapeAllowed.assign(snapshot.shapeCount(), 0);
  for (size_t shape = 0; shape < snapshot.shapeCount(); ++shape) {
    const std::vector<const OwnLevelObject*>& members = snapshot.shapeMembers(shape);
    // Unused since a patch, or templates: decided on their repository.
    if (members.empty() || members.front()->isTemplate) continue;
    view->shapeAllowed[shape] =
        allowedHere(decide(sources, true, subject, members.front()->target(), permission),
                    failure)
            ? 1
            : 0;
    if (!failure.ok()) return failure;
  }
  out = view;
  keep<SubjectView>(repository, count, &KeptViews::subjects, key, view);
  return Outcome::success();
}

bool lookUp(const std::unordered_map<std::string, bool>& decisions, const std::string& id) {
  auto found = decisions.find(id);
  return found != decisions.end() && found->second;
}

}  // namespace

Outcome whoMay(Repository& repository, const Principal& asker, std::string_view object,
               std::string_view permission, const PageRequest& page, WhoPage& out) {
  out = WhoPage{};
  SecurityStore& store = repository.security();
  if (Outcome known = checkPermission(store, permission); !known.ok()) return known;
  const uint64_t count = repository.changeCount();
  std::shared_ptr<const ReaderView> reader;
  if (Outcome computed = readerView(repository, count, asker, repositoryIds(repository), reader);
      !computed.ok()) {
    return computed;
  }
  const ReadableSet& readable = reader->set;
  AccessTarget target;
  if (Outcome found = visibleTarget(repository, readable, object, target); !found.ok()) {
    return found;
  }
  // Who holds what here is the business of whoever administers the target.
  const GuardedCheck administer = guardedCheck(target, "", kPermissionAdminister);
  const Decision mayAsk = decide(store, asker, administer.target, administer.permission);
  if (mayAsk.basis == Decision::Basis::kFailure) return mayAsk.failure;
  if (!mayAsk.allowed) {
    recordRefusedQuestion(repository, asker, "who", target.id(), administer.permission,
                          kStatusAdministerDenied, &mayAsk, "");
    return {kStatusAdministerDenied, "listing who holds a permission needs " +
                                         administer.permission + " on " +
                                         administer.target.id()};
  }
  const GuardedCheck check = guardedCheck(target, "", permission);
  out.target = check.target.id();
  out.permission = check.permission;

  // Every identity in identifier order: the built-ins and the stored ones the asker may Read.
  std::vector<IdentityRecord> identities;
  for (std::string_view builtIn : {kAuthenticatedId, kEverybodyId}) {
    std::optional<IdentityRecord> record;
    if (Outcome found = findAnyIdentity(store, builtIn, "", record); !found.ok()) return found;
    if (record) identities.push_back(*record);
  }
  for (const std::string& id : repositoryIds(repository)) {
    std::vector<IdentityRecord> stored;
    if (Outcome listed = store.identities(id, stored); !listed.ok()) return listed;
    for (IdentityRecord& record : stored) {
      if (readable.permits(record.id)) identities.push_back(std::move(record));
    }
  }
  std::sort(identities.begin(), identities.end(),
            [](const IdentityRecord& a, const IdentityRecord& b) { return a.id < b.id; });

  const SecuritySources sources = readOnce(store);
  const bool enforced = store.enforced();
  Outcome failure;
  for (const IdentityRecord& identity : identities) {
    if (!page.cursor.empty() && identity.id <= page.cursor) continue;
    if (page.limit > 0 && out.answers.size() == page.limit) {
      out.nextCursor = out.answers.back().identityId;  // more identities remain to be asked
      break;
    }
    const Principal principal =
        principalOf(store, identity, /*authenticated=*/identity.id != kEverybodyId);
    const Decision decision =
        decide(sources, enforced, principal, check.target, check.permission);
    if (!allowedHere(decision, failure)) {
      if (!failure.ok()) return failure;
      continue;
    }
    // The asker administers the target, yet may not read every level or identity that decides
    // there: those are withheld, as explanations withhold them.
    const Decision shown = shownTo(decision, readable, asker.identityId);
    WhoAnswer answer{identity.id, identity.name, identity.type, describe(shown), "", ""};
    if (shown.decidingEntry) {
      answer.decidingEntry = entryText(*shown.decidingEntry);
      answer.decidingLevel = levelText(shown.decidingKind);
    }
    out.answers.push_back(std::move(answer));
  }
  return Outcome::success();
}

Outcome whatMay(Repository& repository, const Principal& asker, std::string_view identity,
                std::string_view permission, std::string_view type, const PageRequest& page,
                WhatPage& out) {
  out = WhatPage{};
  SecurityStore& store = repository.security();
  if (Outcome known = checkPermission(store, permission); !known.ok()) return known;
  const uint64_t count = repository.changeCount();
  std::vector<std::string> repositories = repositoryIds(repository);
  std::shared_ptr<const ReaderView> reader;
  if (Outcome computed = readerView(repository, count, asker, repositories, reader);
      !computed.ok()) {
    return computed;
  }
  const ReadableSet& readable = reader->set;
  // Every decision below is made over one state, read at once (or kept for the count).
  std::shared_ptr<const SecuritySnapshot> snapshot;
  if (Outcome read = snapshotAt(repository, count, snapshot); !read.ok()) return read;
  const SecuritySources sources = snapshot->sources();
  const bool enforced = snapshot->enforced();
  Outcome failure;

  Principal subject = asker;
  // For another identity: only the repositories the asker administers are answered for.
  std::unordered_set<std::string> answeredFor;
  const bool restricted = !identity.empty() && !asker.localAdministrator;
  if (!identity.empty()) {
    if (restricted) {
      for (const std::string& id : repositories) {
        if (allowedHere(decide(sources, enforced, asker, repositoryTarget(id),
                               kPermissionAdminister),
                        failure)) {
          answeredFor.insert(id);
        }
        if (!failure.ok()) return failure;
      }
      // Asked before the identity is looked up: a refusal tells nothing of which exist.
      if (answeredFor.empty()) {
        recordRefusedQuestion(repository, asker, "what", "", kPermissionAdminister,
                              kStatusAdministerDenied, nullptr,
                              "listing what another identity may use needs Administer on a "
                              "repository");
        return {kStatusAdministerDenied,
                "listing what another identity may use needs Administer on a repository"};
      }
    }
    std::optional<IdentityRecord> record;
    if (Outcome found = findAnyIdentity(store, identity, "", record); !found.ok()) return found;
    if (record && record->type != kBuiltInType && !readable.permits(record->id)) record.reset();
    if (!record) return {kStatusUnknownIdentity, "no identity '" + std::string(identity) + "'"};
    subject = principalOf(store, *record, /*authenticated=*/record->id != kEverybodyId);
    out.identityId = record->id;
  } else {
    out.identityId = asker.identityId;
  }

  const bool everything = subject.localAdministrator || !enforced;
  const bool reading = equalNoCase(permission, kPermissionRead);
  std::shared_ptr<const SubjectView> decided;
  if (!everything) {
    if (Outcome computed = subjectView(repository, count, *snapshot, subject, permission, reading,
                                       repositories, decided);
        !computed.ok()) {
      return computed;
    }
  }
  // Whether the subject may use the permission on an object: its own decision when it has
  // levels of its own, else its repository's (for a template, the one that decides it).
  auto permitted = [&](const ObjectRow& row) {
    if (everything) return true;
    const std::string repositoryId = row.id.substr(0, 8);
    if (isTemplateType(row.type)) {
      return lookUp(reading ? decided->repositoryAllowed : decided->repositoryAdministered,
                    repositoryId);
    }
    if (std::optional<bool> own = decided->ownDecision(row.id)) return *own;
    return lookUp(decided->repositoryAllowed, repositoryId);
  };
  auto answered = [&](const ObjectRow& row) {
    if (restricted && answeredFor.count(row.id.substr(0, 8)) == 0) return false;
    return readable.permits(row.id) && permitted(row);
  };
  // Adds an answer; false when the page was full already (the answer is the next page's, and
  // the cursor says so).
  auto add = [&](ObjectRow&& row) {
    if (page.limit > 0 && out.objects.size() == page.limit) {
      out.nextCursor = out.objects.back().id;
      return false;
    }
    out.objects.push_back(std::move(row));
    return true;
  };

  // Objects are answered in key order, repository by repository (an object's identifier begins
  // with its repository's). Only candidates are looked at: every object of a repository whose
  // own decision lets both the asker read and the subject use its objects (or its templates);
  // elsewhere only the objects whose own levels make them readable to the asker or usable by
  // the subject, since every other object there is decided as its repository is, and that
  // answers no. Each candidate is still answered by the whole test above.
  std::sort(repositories.begin(), repositories.end());
  const std::string& cursor = page.cursor;
  for (const std::string& repositoryId : repositories) {
    if (cursor.compare(0, repositoryId.size(), repositoryId) > 0) continue;  // all before it
    if (restricted && answeredFor.count(repositoryId) == 0) continue;
    const std::string start = std::max(cursor, repositoryId);
    auto inRepository = [&](const std::string& id) {
      return id.compare(0, repositoryId.size(), repositoryId) == 0;
    };
    const bool whole =
        readable.repositoryReadable(repositoryId) &&
        (everything || lookUp(decided->repositoryAllowed, repositoryId) ||
         (!reading && lookUp(decided->repositoryAdministered, repositoryId)));
    if (whole) {
      // With a type, a batch asked by type is found through the type's index and sorted by
      // key: each batch reads every object of the type again, quadratic for a common type.
      // So the walk reads every object in key order and tests the type itself (linear), and
      // asks by type only once the walk finds the type rare (fewer than one object in eight
      // of 4,096 read), when the type's objects are few and reading them per batch is cheap.
      std::string after = start;
      size_t batch = page.limit > 0 ? page.limit + 1 : 1024;
      std::vector<ObjectRow> rows;
      bool byType = false;
      size_t read = 0, ofType = 0;
      for (bool more = true; more;) {
        if (Outcome listed = repository.objectsAfter(after, byType ? type : "", batch, rows);
            !listed.ok()) {
          return listed;
        }
        more = rows.size() == batch;
        if (!rows.empty()) after = rows.back().id;
        for (ObjectRow& row : rows) {
          if (!inRepository(row.id)) {
            more = false;
            break;
          }
          if (!byType && !type.empty()) {
            ++read;
            if (!equalNoCase(row.type, type)) continue;
            ++ofType;
          }
          if (answered(row) && !add(std::move(row))) return Outcome::success();
        }
        if (!type.empty() && !byType && read >= 4096 && ofType * 8 < read) byType = true;
        batch = std::min<size_t>(batch * 2, 4096);
      }
      continue;
    }
    // Here the asker may not read the repository, or its decision lets the subject use neither
    // its objects nor its templates. An object answered here is decided otherwise than its
    // repository for one of them, so it has a level of its own, and the subject may use it: it
    // is among the subject's allowed own-level objects (for a subject that may use anything,
    // among the objects the asker reads against their repository).
    // Answers candidates in key order until the page is full: false then, or on a failure.
    Outcome failed;
    auto offer = [&](const std::string& id) {
      std::optional<ObjectRow> row;
      if (Outcome found = repository.findObject(id, row); !found.ok()) {
        failed = found;
        return false;
      }
      if (!row) return true;  // deleted since
      if (!type.empty() && !equalNoCase(row->type, type)) return true;
      return !answered(*row) || add(std::move(*row));
    };
    bool open = true;
    if (everything) {
      const std::vector<std::string>& own = reader->readableExceptions;
      for (auto it = std::upper_bound(own.begin(), own.end(), start);
           open && it != own.end() && inRepository(*it); ++it) {
        open = offer(*it);
      }
    } else {
      // The subject's allowed own-level objects, from the state its decisions were made over:
      // taken from the allowed shapes of this repository when they hold few of the objects
      // with levels of their own, so that a subject allowed on few is not answered by walking
      // them all; otherwise walked in key order from the cursor.
      const SecuritySnapshot& state = *decided->snapshot;
      std::vector<size_t> allowedShapes;
      size_t allowedObjects = 0;
      for (size_t shape = 0; shape < state.shapeCount(); ++shape) {
        const std::vector<const OwnLevelObject*>& members = state.shapeMembers(shape);
        if (decided->shapeAllowed[shape] != 1 || members.empty() ||
            members.front()->isTemplate || !inRepository(members.front()->id)) {
          continue;
        }
        allowedShapes.push_back(shape);
        allowedObjects += members.size();
      }
      const OwnLevelObjects& own = state.ownLevelObjects();
      if (allowedObjects * 8 < own.size()) {
        std::vector<const std::string*> ids;
        for (size_t shape : allowedShapes) {
          for (const OwnLevelObject* object : state.shapeMembers(shape)) {
            if (object->id > start) ids.push_back(&object->id);
          }
        }
        std::sort(ids.begin(), ids.end(),
                  [](const std::string* a, const std::string* b) { return *a < *b; });
        for (auto it = ids.begin(); open && it != ids.end(); ++it) open = offer(**it);
      } else {
        for (auto it = own.upper_bound(start); open && it != own.end() && inRepository(it->first);
             ++it) {
          if (!it->second.isTemplate && decided->shapeAllowed[it->second.shape] == 1) {
            open = offer(it->first);
          }
        }
      }
    }
    if (!failed.ok()) return failed;
    if (!open) return Outcome::success();  // the page is full
  }
  return Outcome::success();
}

}  // namespace mdserver
