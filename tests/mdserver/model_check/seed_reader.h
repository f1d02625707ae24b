// Reads a seed file into the naive model's record (naive_security_model.h), so that a store
// written by hand (the sample repository, a regression case) is checked as the random ones are.
// Only what decisions and queries need: repositories, objects with their "Tag" attribute and
// associations, permissions, entries, templates and logins with a clear password. Identities
// are named by identifier, by a built-in's name, or by the name of a Person, IdentityGroup or
// Role (first in identifier order).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "naive_security_model.h"

namespace modelcheck {

inline Case caseFromSeed(const std::string& text) {
  const nlohmann::json seed = nlohmann::json::parse(text);
  Case c;
  for (const auto& r : seed.at("repositories")) c.repositories.push_back(r.at("id"));
  for (const auto& o : seed.at("objects")) {
    Object object{o.at("id"), o.at("repository"), o.at("type"), o.value("name", ""), "", {}};
    if (o.contains("attributes")) object.tag = o["attributes"].value("Tag", "");
    if (o.contains("associations")) {
      for (const auto& [name, targets] : o["associations"].items()) {
        for (const auto& target : targets) object.links.push_back({name, target});
      }
    }
    c.objects.push_back(object);
  }
  if (!seed.contains("security")) return c;
  const auto& security = seed["security"];
  for (const auto& p : security.value("permissions", nlohmann::json::array())) {
    c.permissions.push_back(p.is_string() ? p.get<std::string>() : p.at("name").get<std::string>());
  }
  auto identity = [&](const std::string& reference) -> std::string {
    if (sameText(reference, "Everybody")) return kEverybody;
    if (sameText(reference, "Authenticated")) return kAuthenticated;
    std::string byName;
    for (const Object& o : c.objects) {
      if (o.id == reference) return o.id;
      if (NaiveModel::isIdentity(o) && sameText(o.name, reference) &&
          (byName.empty() || o.id < byName)) {
        byName = o.id;
      }
    }
    return byName.empty() ? reference : byName;
  };
  auto permission = [&](const std::string& name) {
    for (const std::string& p : c.permissions) {
      if (sameText(p, name)) return p;
    }
    return name;
  };
  auto set = [&](Entry e) {
    for (Entry& kept : c.entries) {
      if (kept.target == e.target && kept.identity == e.identity &&
          kept.permission == e.permission) {
        kept.grant = e.grant;
        return;
      }
    }
    c.entries.push_back(e);
  };
  for (const auto& a : security.value("authorizations", nlohmann::json::array())) {
    set({a.at("target"), identity(a.at("identity")), permission(a.at("permission")),
         a.at("decision") == "grant"});
  }
  for (const auto& l : security.value("logins", nlohmann::json::array())) {
    if (l.contains("password")) c.logins.push_back({l.at("user"), l.at("password"), identity(l.at("owner"))});
  }
  for (const auto& t : security.value("templates", nlohmann::json::array())) {
    const std::string id = t.at("id");
    Template record{id, id.substr(0, 8), "", {}};
    if (t.contains("attributes")) record.name = t["attributes"].value("Name", "");
    for (const auto& target : t.value("appliedTo", nlohmann::json::array())) {
      record.appliedTo.push_back(target);
    }
    for (const auto& a : t.value("authorizations", nlohmann::json::array())) {
      set({id, identity(a.at("identity")), permission(a.at("permission")),
           a.at("decision") == "grant"});
    }
    bool known = false;
    for (const Object& o : c.objects) known = known || o.id == id;
    if (!known) c.objects.push_back({id, record.repository, "AccessControlTemplate", record.name, "", {}});
    c.templates.push_back(record);
  }
  return c;
}

}  // namespace modelcheck
