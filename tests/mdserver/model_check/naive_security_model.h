// A second, deliberately naive reading of the decision rules of docs/security.md, to check the
// repository against. It shares nothing with mdserver/: plain records, plain lists, plain loops,
// no caches, no SQL. Where it is slow it is slow on purpose; where it is longer than the real
// thing it says the rule once more in its own words.
//
// What it answers, all from the case it was given (random_repository.h):
//  - the principal of an identity: itself, every group and role that lists it in
//    MemberIdentities or that it names in IdentityGroups (only IdentityGroup and Role objects
//    are groups), followed to a fixed point, Everybody, and Authenticated after a login;
//  - the decision for a permission on a repository or an object: open when the whole store
//    holds no entry, else the nearest level (object, templates applied to the object,
//    repository, templates applied to the repository) that holds an entry of the principal
//    for the permission decides, deny over grant on that level; none decides: denied. An
//    access control template object is decided on its repository: Read as Read, anything
//    else as Administer;
//  - the authorization listing's bearing view (flags 0) and effective view (flags 2);
//  - the objects a query returns for a principal, where the final objects and, when asked,
//    every association path step see only the objects the principal may Read; the same for a
//    query in one repository (its objects only);
//  - an object's association names and lists as a principal sees them: a name only with a
//    readable target, a list of its readable targets;
//  - a folder walk ("/A/B/Name"): A a root folder of the repository (a Tree that is no other
//    tree's sub-tree), B a Tree among A's SubTrees, Name an object among B's Members or
//    SubTrees, every folder and the object found readable;
//  - a login: the principal of the login's owner, or no login for an unknown user or a wrong
//    password.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace modelcheck {

inline constexpr const char* kEverybody = "BUILTIN0.EVERYBDY";
inline constexpr const char* kAuthenticated = "BUILTIN0.AUTHUSRS";

inline bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

inline bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

struct Link {
  std::string association;
  std::string target;
};

struct Object {
  std::string id;
  std::string repository;
  std::string type;
  std::string name;
  std::string tag;  // attribute "Tag"; empty: the object has none
  std::vector<Link> links;
};

struct Entry {
  std::string target;  // repository, object or template identifier
  std::string identity;
  std::string permission;
  bool grant = true;
  bool operator==(const Entry&) const = default;
};

struct Template {
  std::string id;
  std::string repository;
  std::string name;
  std::vector<std::string> appliedTo;
};

struct Login {
  std::string user;
  std::string password;
  std::string owner;  // identity identifier
};

// One generated repository store, as the model sees it. Entries hold what the store keeps after
// the seed file's later entries replaced earlier ones for the same target, identity and
// permission.
struct Case {
  unsigned long long seed = 0;
  std::vector<std::string> repositories;
  std::vector<std::string> permissions;
  std::vector<Object> objects;  // identities, data objects and template objects
  std::vector<Template> templates;
  std::vector<Entry> entries;   // on repositories, objects and templates
  std::vector<Login> logins;
};

enum class LevelKind { kObject, kObjectTemplates, kRepository, kRepositoryTemplates };

struct Verdict {
  enum class Basis { kOpen, kEntry, kNoEntry };
  bool allowed = false;
  Basis basis = Basis::kNoEntry;
  LevelKind level = LevelKind::kObject;  // of the deciding entry
  std::vector<Entry> mayDecide;          // the entries any one of which may be named as deciding
  std::vector<Entry> overridden;         // the principal's entries the decision overrode
  std::vector<std::pair<LevelKind, std::vector<Entry>>> considered;
};

struct Step {
  std::string association;
  std::string type;
  std::string tag;  // empty: no condition on the step
};

struct Query {
  std::string type;
  std::string tag;          // empty: no own condition
  std::vector<Step> path;   // empty: no path
  bool negated = false;     // not(path)
  std::string uri() const {
    std::string text = "vqsobj:" + type + "?";
    std::string own = tag.empty() ? std::string() : "@Tag='" + tag + "'";
    if (path.empty()) return text + (own.empty() ? "@Id != ''" : own);
    std::string walk;
    for (const Step& step : path) {
      if (!walk.empty()) walk += "/";
      walk += step.association + "/" + step.type;
      if (!step.tag.empty()) walk += "[@Tag='" + step.tag + "']";
    }
    if (negated) walk = "not(" + walk + ")";
    return text + walk + (own.empty() ? "" : " and " + own);
  }
};

// A row of the authorization listing: identity identifier, code, permission, text Q (in the
// effective view, every text Q the row may rightly carry, '|' between them).
struct ListingRow {
  std::string identity;
  int code = 0;
  std::string permission;
  std::string source;
  auto operator<=>(const ListingRow&) const = default;
};

class NaiveModel {
 public:
  explicit NaiveModel(const Case& c) : c_(c) {}

  const Object* object(const std::string& id) const {
    for (const Object& o : c_.objects) {
      if (o.id == id) return &o;
    }
    return nullptr;
  }
  static bool isGroup(const Object& o) { return o.type == "IdentityGroup" || o.type == "Role"; }
  static bool isIdentity(const Object& o) { return o.type == "Person" || isGroup(o); }
  bool isRepository(const std::string& id) const { return contains(c_.repositories, id); }

  // The identity itself, its groups and roles to any depth, Everybody, and Authenticated.
  std::vector<std::string> principal(const std::string& identity, bool authenticated) const {
    std::vector<std::string> in{identity, kEverybody};
    if (authenticated) in.push_back(kAuthenticated);
    bool grew = true;
    while (grew) {
      grew = false;
      for (const Object& group : c_.objects) {
        if (!isGroup(group) || contains(in, group.id)) continue;
        bool member = false;
        for (const Link& link : group.links) {
          if (link.association == "MemberIdentities" && contains(in, link.target)) member = true;
        }
        for (const Object& o : c_.objects) {
          if (!contains(in, o.id)) continue;
          for (const Link& link : o.links) {
            if (link.association == "IdentityGroups" && link.target == group.id) member = true;
          }
        }
        if (member) {
          in.push_back(group.id);
          grew = true;
        }
      }
    }
    std::sort(in.begin(), in.end());
    in.erase(std::unique(in.begin(), in.end()), in.end());
    return in;
  }

  bool open() const { return c_.entries.empty(); }

  // The levels of a target, nearest first: kind and the targets whose entries make it up.
  std::vector<std::pair<LevelKind, std::vector<std::string>>> levels(const std::string& id) const {
    std::vector<std::pair<LevelKind, std::vector<std::string>>> out;
    std::string repository = id;
    if (!isRepository(id)) {
      out.push_back({LevelKind::kObject, {id}});
      out.push_back({LevelKind::kObjectTemplates, appliedTo(id)});
      repository = object(id)->repository;
    }
    out.push_back({LevelKind::kRepository, {repository}});
    out.push_back({LevelKind::kRepositoryTemplates, appliedTo(repository)});
    return out;
  }

  // A target (repository or object identifier) and a permission, for a principal.
  Verdict decide(const std::vector<std::string>& principal, const std::string& targetId,
                 const std::string& permissionAsked) const {
    std::string target = targetId;
    std::string permission = permissionAsked;
    if (const Object* o = object(targetId); o && o->type == "AccessControlTemplate") {
      target = o->repository;
      if (!sameText(permission, "Read")) permission = "Administer";
    }
    Verdict v;
    if (open()) {
      v.allowed = true;
      v.basis = Verdict::Basis::kOpen;
      return v;
    }
    bool decided = false;
    for (const auto& [kind, sources] : levels(target)) {
      std::vector<Entry> mine;
      for (const std::string& source : sources) {
        for (const Entry& e : c_.entries) {
          if (e.target == source && sameText(e.permission, permission) &&
              contains(principal, e.identity)) {
            mine.push_back(e);
          }
        }
      }
      if (mine.empty()) continue;
      v.considered.push_back({kind, mine});
      if (decided) {
        for (const Entry& e : mine) v.overridden.push_back(e);
        continue;
      }
      decided = true;
      bool anyDeny = false;
      for (const Entry& e : mine) anyDeny = anyDeny || !e.grant;
      v.basis = Verdict::Basis::kEntry;
      v.allowed = !anyDeny;
      v.level = kind;
      for (const Entry& e : mine) {
        if (e.grant == v.allowed) v.mayDecide.push_back(e);
        else v.overridden.push_back(e);
      }
    }
    return v;
  }

  bool mayRead(const std::vector<std::string>& principal, const std::string& id) const {
    return decide(principal, id, "Read").allowed;
  }

  // Listing, flags 0: every explicit entry of every level, own ones 2 and 1, the others 18, 17.
  std::vector<ListingRow> bearing(const std::string& target) const {
    std::vector<ListingRow> rows;
    for (const auto& [kind, sources] : levels(target)) {
      for (const std::string& source : sources) {
        for (const Entry& e : c_.entries) {
          if (e.target != source) continue;
          const bool own = source == target;
          rows.push_back({e.identity, (e.grant ? 2 : 1) + (own ? 0 : 16), e.permission,
                          reference(target, kind, source)});
        }
      }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // Listing, flags 2: for every identity with an entry on some level of the target, and every
  // permission, the decision for that identity with its groups and roles (Authenticated counted
  // for every identity but Everybody, which stands for connections without a login).
  std::vector<ListingRow> effective(const std::string& target) const {
    std::vector<std::string> identities;
    for (const auto& [kind, sources] : levels(target)) {
      for (const std::string& source : sources) {
        for (const Entry& e : c_.entries) {
          if (e.target == source && !contains(identities, e.identity)) {
            identities.push_back(e.identity);
          }
        }
      }
    }
    std::vector<ListingRow> rows;
    for (const std::string& identity : identities) {
      const std::vector<std::string> who = principal(identity, identity != kEverybody);
      for (const std::string& permission : c_.permissions) {
        const Verdict v = decide(who, target, permission);
        ListingRow row{identity, 32, permission, ""};
        if (v.basis == Verdict::Basis::kEntry) {
          // Several entries of one level may decide alike (two templates' denies): any of them
          // may be named, so the row carries every candidate, '|' between them.
          row.code += v.allowed ? 2 : 1;
          std::vector<std::string> candidates;
          for (const Entry& e : v.mayDecide) candidates.push_back(reference(target, v.level, e.target));
          std::sort(candidates.begin(), candidates.end());
          candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
          for (const std::string& candidate : candidates) {
            row.source += (row.source.empty() ? "" : "|") + candidate;
          }
        } else if (v.allowed) {
          row.code += 2;
        }
        rows.push_back(row);
      }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // The objects a query returns to the principal, in identifier order. stepsSeeReadOnly: an
  // association path step (and its condition) sees only objects the principal may Read.
  std::vector<std::string> query(const std::vector<std::string>& principal, const Query& q,
                                 bool stepsSeeReadOnly) const {
    std::vector<std::string> out;
    for (const Object& o : c_.objects) {
      if (o.type != q.type) continue;
      if (!q.tag.empty() && o.tag != q.tag) continue;
      if (!q.path.empty() && reaches(principal, o, q.path, 0, stepsSeeReadOnly) == q.negated) {
        continue;
      }
      if (!mayRead(principal, o.id)) continue;
      out.push_back(o.id);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // resolveInRepository: the query's answer, only the objects of that repository.
  std::vector<std::string> queryIn(const std::vector<std::string>& principal, const Query& q,
                                   const std::string& repository) const {
    std::vector<std::string> out;
    for (const std::string& id : query(principal, q, true)) {
      if (object(id)->repository == repository) out.push_back(id);
    }
    return out;
  }

  // Association names with at least one readable target, sorted.
  std::vector<std::string> associationNames(const std::vector<std::string>& principal,
                                            const std::string& id) const {
    std::vector<std::string> out;
    for (const Link& link : object(id)->links) {
      if (object(link.target) && mayRead(principal, link.target) &&
          !contains(out, link.association)) {
        out.push_back(link.association);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // The readable targets of one association, in the order stored, each once.
  std::vector<std::string> association(const std::vector<std::string>& principal,
                                       const std::string& id, const std::string& name) const {
    std::vector<std::string> out;
    for (const Link& link : object(id)->links) {
      if (link.association != name || contains(out, link.target)) continue;
      if (object(link.target) && mayRead(principal, link.target)) out.push_back(link.target);
    }
    return out;
  }

  // A folder walk; identifiers sorted. steps: the path's names; type empty: any.
  std::vector<std::string> findByPath(const std::vector<std::string>& principal,
                                      const std::string& repository,
                                      const std::vector<std::string>& steps,
                                      const std::string& type) const {
    auto isRoot = [&](const Object& tree) {
      for (const Object& other : c_.objects) {
        if (other.type != "Tree" || other.id == tree.id) continue;
        for (const Link& link : other.links) {
          if (link.association == "SubTrees" && link.target == tree.id) return false;
        }
      }
      return true;
    };
    std::vector<std::string> found;
    auto keep = [&](const Object& o) {
      if ((type.empty() || sameText(o.type, type)) && !contains(found, o.id)) {
        found.push_back(o.id);
      }
    };
    std::vector<const Object*> folders;
    for (const Object& o : c_.objects) {
      if (o.type == "Tree" && o.repository == repository && o.name == steps[0] && isRoot(o) &&
          mayRead(principal, o.id)) {
        if (steps.size() == 1) keep(o);
        else folders.push_back(&o);
      }
    }
    for (size_t i = 1; i < steps.size(); ++i) {
      const bool last = i + 1 == steps.size();
      std::vector<const Object*> next;
      for (const Object* folder : folders) {
        for (const Link& link : folder->links) {
          const bool follows = link.association == "SubTrees" ||
                               (last && link.association == "Members");
          const Object* to = object(link.target);
          if (!follows || !to || to->name != steps[i] || !mayRead(principal, to->id)) continue;
          if (last) keep(*to);
          else if (to->type == "Tree") next.push_back(to);
        }
      }
      folders = std::move(next);
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  // The owner of the login with that user id and password; empty: no login.
  std::string login(const std::string& user, const std::string& password) const {
    for (const Login& l : c_.logins) {
      if (l.user == user) return l.password == password ? l.owner : std::string();
    }
    return std::string();
  }

 private:
  std::vector<std::string> appliedTo(const std::string& target) const {
    std::vector<std::string> out;
    for (const Template& t : c_.templates) {
      if (contains(t.appliedTo, target)) out.push_back(t.id);
    }
    return out;
  }

  // Text Q: blank on the target itself, a template's identifier, else the repository reference.
  static std::string reference(const std::string& target, LevelKind kind,
                               const std::string& source) {
    if (kind == LevelKind::kObjectTemplates || kind == LevelKind::kRepositoryTemplates) {
      return source;
    }
    if (source == target) return "";
    return "vqsobj:Repository\\" + source;
  }

  bool reaches(const std::vector<std::string>& principal, const Object& from,
               const std::vector<Step>& path, size_t i, bool stepsSeeReadOnly) const {
    for (const Link& link : from.links) {
      if (link.association != path[i].association) continue;
      const Object* to = object(link.target);
      if (!to || to->type != path[i].type) continue;
      if (!path[i].tag.empty() && to->tag != path[i].tag) continue;
      if (stepsSeeReadOnly && !mayRead(principal, to->id)) continue;
      if (i + 1 == path.size() || reaches(principal, *to, path, i + 1, stepsSeeReadOnly)) {
        return true;
      }
    }
    return false;
  }

  const Case& c_;
};

}  // namespace modelcheck
