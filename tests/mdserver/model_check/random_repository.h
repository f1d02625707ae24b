// Random small repository stores for the model check: people, groups and roles nested into one
// another (cycles included, and links of the wrong kind that must not count), data objects in
// several repositories linked into paths, templates applied to objects and repositories, grants
// and denies on every level for every kind of identity, entries set twice (the later one
// stays), and now and then a store without any entry (open). Each case is the model's record
// (naive_security_model.h) plus the seed file that loads the same store into a repository.
//
// A case depends on its seed only: a failing case is replayed from the seed it prints.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "naive_security_model.h"

namespace modelcheck {

// A folder walk to try: findByPath(repository, "/" + steps joined by "/", type).
struct FolderPath {
  std::string repository;
  std::vector<std::string> steps;
  std::string type;  // empty: any
  std::string text() const {
    std::string out;
    for (const std::string& step : steps) out += "/" + step;
    return out;
  }
};

struct GeneratedCase {
  Case model;
  std::string seedText;
  std::vector<Query> queries;
  std::vector<FolderPath> paths;
};

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed), seed_(seed) {}

  GeneratedCase generate() {
    GeneratedCase out;
    Case& c = out.model;
    c.seed = seed_;
    const int repositories = pick(1, 3);
    for (int r = 1; r <= repositories; ++r) c.repositories.push_back("A000000" + std::to_string(r));
    c.permissions = {"Read", "Write", "Delete", "Administer"};
    if (chance(0.2)) c.permissions.push_back("Export");

    auto add = [&](const std::string& type, const std::string& stem, int n) {
      std::string repository = anyOf(c.repositories);
      std::string local = stem + std::string(8 - stem.size() - 2, '0') + (n < 10 ? "0" : "") +
                          std::to_string(n);
      Object o{repository + "." + local, repository, type, "Name " + local,
               chance(0.7) ? std::string(chance(0.5) ? "x" : "y") : std::string(), {}};
      c.objects.push_back(o);
    };
    const int people = pick(1, 3), groups = pick(0, 3), roles = pick(0, 2), data = pick(1, 5);
    for (int i = 1; i <= people; ++i) add("Person", "PERSON", i);
    for (int i = 1; i <= groups; ++i) add("IdentityGroup", "GROUP", i);
    for (int i = 1; i <= roles; ++i) add("Role", "ROLE", i);
    static const char* const kDataTypes[] = {"Tree", "PhysicalTable", "Column"};
    for (int i = 1; i <= data; ++i) add(kDataTypes[pick(0, 2)], "OBJ", i);

    std::vector<std::string> identities, groupIds, all;
    for (const Object& o : c.objects) {
      all.push_back(o.id);
      if (NaiveModel::isIdentity(o)) identities.push_back(o.id);
      if (NaiveModel::isGroup(o)) groupIds.push_back(o.id);
    }
    // Memberships from both sides, into cycles; a person's MemberIdentities and an
    // IdentityGroups link to a person are links like any other and make nobody a member.
    for (Object& o : c.objects) {
      if (NaiveModel::isIdentity(o)) {
        for (const std::string& id : identities) {
          const bool group = contains(groupIds, id);
          if ((NaiveModel::isGroup(o) || chance(0.1)) && chance(0.3)) {
            o.links.push_back({"MemberIdentities", id});
          }
          if ((group ? chance(0.2) : chance(0.05))) o.links.push_back({"IdentityGroups", id});
        }
      } else {
        static const char* const kAssociations[] = {"Members", "SubTrees", "Columns"};
        for (int k = pick(0, 3); k > 0; --k) {
          o.links.push_back({kAssociations[pick(0, 2)], anyOf(all)});
        }
      }
    }

    std::vector<std::string> everyone = identities;
    everyone.push_back(kEverybody);
    everyone.push_back(kAuthenticated);
    const bool open = chance(0.08);
    int templateNumber = 0;
    for (const std::string& repository : c.repositories) {
      for (int k = pick(0, 2); k > 0; --k) {
        Template t{repository + ".T000000" + std::to_string(++templateNumber), repository,
                   "Template " + std::to_string(templateNumber), {}};
        if (chance(0.4)) t.appliedTo.push_back(repository);
        for (const Object& o : c.objects) {
          if (o.repository == repository && o.type != "AccessControlTemplate" && chance(0.25)) {
            t.appliedTo.push_back(o.id);
          }
        }
        c.templates.push_back(t);
        c.objects.push_back({t.id, repository, "AccessControlTemplate", t.name, "", {}});
      }
    }

    // Entries as the seed file states them, in order; a later one for the same target,
    // identity and permission replaces the earlier.
    std::vector<Entry> stated;
    std::vector<std::string> targets = c.repositories;
    for (const Object& o : c.objects) {
      if (o.type != "AccessControlTemplate") targets.push_back(o.id);
    }
    if (!open) {
      for (int k = pick(1, 12); k > 0; --k) {
        stated.push_back({anyOf(targets), anyOf(everyone), anyOf(c.permissions), chance(0.6)});
      }
      for (const Template& t : c.templates) {
        for (int k = pick(0, 3); k > 0; --k) {
          stated.push_back({t.id, anyOf(everyone), anyOf(c.permissions), chance(0.6)});
        }
      }
      if (chance(0.3) && !stated.empty()) {
        Entry again = anyOf(stated);
        again.grant = !again.grant;
        stated.push_back(again);
      }
    }
    for (const Entry& e : stated) {
      bool replaced = false;
      for (Entry& kept : c.entries) {
        if (kept.target == e.target && kept.identity == e.identity &&
            kept.permission == e.permission) {
          kept.grant = e.grant;
          replaced = true;
        }
      }
      if (!replaced) c.entries.push_back(e);
    }

    nlohmann::ordered_json seed = seedJson(c, stated);
    out.queries = queries(c);
    // Logins for some identities (groups and roles too), and folder walks; drawn after
    // everything above, so the stores of earlier seeds stay what they were.
    nlohmann::ordered_json logins = nlohmann::ordered_json::array();
    for (const Object& o : c.objects) {
      if (!NaiveModel::isIdentity(o) || !chance(0.6)) continue;
      const std::string n = std::to_string(c.logins.size() + 1);
      c.logins.push_back({"user" + n, "pw-" + n + "-" + o.id.substr(9), o.id});
      logins.push_back({{"user", c.logins.back().user},
                        {"password", c.logins.back().password},
                        {"owner", o.id}});
    }
    seed["security"]["logins"] = logins;
    out.seedText = seed.dump();
    out.paths = paths(c);
    return out;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  template <typename T>
  const T& anyOf(const std::vector<T>& list) {
    return list[static_cast<size_t>(pick(0, static_cast<int>(list.size()) - 1))];
  }

  // An identity is named in the seed by identifier or, now and then, by its name (names are
  // unique in a generated store), in any letter case.
  std::string identityReference(const Case& c, const std::string& id) {
    if (id == kEverybody) return chance(0.5) ? "Everybody" : id;
    if (id == kAuthenticated) return chance(0.5) ? "AUTHENTICATED" : id;
    if (!chance(0.2)) return id;
    for (const Object& o : c.objects) {
      if (o.id != id) continue;
      std::string name = o.name;
      if (chance(0.5)) {
        for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      }
      return name;
    }
    return id;
  }
  // The permission as stated; names compare without regard to case.
  std::string permissionReference(const std::string& name) {
    if (!chance(0.1)) return name;
    std::string lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return lower;
  }

  nlohmann::ordered_json seedJson(const Case& c, const std::vector<Entry>& stated) {
    using nlohmann::ordered_json;
    ordered_json seed;
    seed["server"] = {{"version", 9.4}, {"paused", 0}};
    seed["types"] = {"Person", "IdentityGroup", "Role", "Tree", "PhysicalTable", "Column",
                     "AccessControlTemplate"};
    ordered_json repositories = ordered_json::array();
    for (const std::string& r : c.repositories) {
      repositories.push_back({{"id", r}, {"name", "Repository " + r}, {"description", ""}});
    }
    seed["repositories"] = repositories;
    ordered_json objects = ordered_json::array();
    for (const Object& o : c.objects) {
      if (o.type == "AccessControlTemplate") continue;  // made by the security section
      ordered_json object = {{"repository", o.repository}, {"type", o.type}, {"id", o.id},
                             {"name", o.name}};
      if (!o.tag.empty()) object["attributes"] = {{"Tag", o.tag}};
      ordered_json associations = ordered_json::object();
      for (const Link& link : o.links) associations[link.association].push_back(link.target);
      if (!associations.empty()) object["associations"] = associations;
      objects.push_back(object);
    }
    seed["objects"] = objects;
    ordered_json security = {{"passwordHashing", "minimal"}, {"requireLogin", false}};
    security["permissions"] = c.permissions;
    ordered_json authorizations = ordered_json::array();
    for (const Entry& e : stated) {
      if (e.target.find(".T0") != std::string::npos) continue;  // a template's own entries
      authorizations.push_back({{"target", e.target},
                                {"identity", identityReference(c, e.identity)},
                                {"permission", permissionReference(e.permission)},
                                {"decision", e.grant ? "grant" : "deny"}});
    }
    security["authorizations"] = authorizations;
    ordered_json templates = ordered_json::array();
    for (const Template& t : c.templates) {
      ordered_json entries = ordered_json::array();
      for (const Entry& e : stated) {
        if (e.target != t.id) continue;
        entries.push_back({{"identity", identityReference(c, e.identity)},
                           {"permission", permissionReference(e.permission)},
                           {"decision", e.grant ? "grant" : "deny"}});
      }
      templates.push_back({{"id", t.id},
                           {"attributes", {{"Name", t.name}}},
                           {"authorizations", entries},
                           {"appliedTo", t.appliedTo}});
    }
    security["templates"] = templates;
    seed["security"] = security;
    return seed;
  }

  // Folder walks along the folders the case has: a tree's name, then sub-trees it holds, then
  // a member or sub-tree; now and then a name that is no folder's, or a type to look for.
  std::vector<FolderPath> paths(const Case& c) {
    std::vector<const Object*> trees;
    for (const Object& o : c.objects) {
      if (o.type == "Tree") trees.push_back(&o);
    }
    std::vector<FolderPath> out;
    for (int k = trees.empty() ? 0 : 3; k > 0; --k) {
      const Object* at = anyOf(trees);
      FolderPath path{chance(0.8) ? at->repository : anyOf(c.repositories), {at->name}, ""};
      for (int steps = pick(0, 3); steps > 0 && !at->links.empty(); --steps) {
        const Link& link = anyOf(at->links);
        const Object* to = nullptr;
        for (const Object& o : c.objects) {
          if (o.id == link.target) to = &o;
        }
        path.steps.push_back(to->name);
        if (to->type != "Tree") break;
        at = to;
      }
      if (chance(0.1)) path.steps.push_back(anyOf(c.objects).name);
      if (chance(0.3)) path.type = anyOf(c.objects).type;
      out.push_back(path);
    }
    return out;
  }

  // Queries with association paths over the links the case has, plus a few without.
  std::vector<Query> queries(const Case& c) {
    std::vector<Query> out;
    for (int k = 0; k < 4; ++k) {
      const Object& start = anyOf(c.objects);
      Query q{start.type, chance(0.3) ? start.tag : std::string(), {}, chance(0.15)};
      const Object* at = &start;
      for (int steps = pick(k == 0 ? 0 : 1, 3); steps > 0 && !at->links.empty(); --steps) {
        const Link& link = anyOf(at->links);
        const Object* to = nullptr;
        for (const Object& o : c.objects) {
          if (o.id == link.target) to = &o;
        }
        q.path.push_back({link.association, to->type, chance(0.3) ? to->tag : std::string()});
        at = to;
      }
      if (q.path.empty()) q.negated = false;
      out.push_back(q);
    }
    return out;
  }

  std::mt19937_64 rng_;
  uint64_t seed_;
};

}  // namespace modelcheck
