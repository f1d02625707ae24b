// Import and export of the seed file's security section; format in security_seed.h.
#include "mdserver/security/security_seed.h"

#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string_view>

#include "mdserver/base/status_codes.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_model.h"
#include "mdserver/security/sqlite_security_store.h"

namespace mdserver {
namespace {

using Json = nlohmann::ordered_json;

std::string textAt(const Json& object, const char* key, const std::string& pointer,
                   bool required) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    if (required) throw SeedProblem{pointer, std::string("missing member \"") + key + "\""};
    return {};
  }
  if (!found->is_string()) throw SeedProblem{pointer + "/" + key, "expected a string"};
  return found->get<std::string>();
}

}  // namespace

namespace {

// "templates": [{"id": "A0000001.T0000001", "attributes": {"Name": "...", ...},
//                 "authorizations": [{"identity": ..., "permission": ..., "decision": ...}],
//                 "appliedTo": ["<repository or object identifier>", ...]}]
// The repository is the identifier's first eight characters.
void importTemplates(SqliteSecurityStore& store, const Json& section, const std::string& base,
                     const std::function<bool(std::string_view)>& targetExists) {
  auto templates = section.find("templates");
  if (templates == section.end()) return;
  if (!templates->is_array()) throw SeedProblem{base + "/templates", "expected an array"};
  for (size_t i = 0; i < templates->size(); ++i) {
    const std::string at = base + "/templates/" + std::to_string(i);
    const Json& entry = (*templates)[i];
    if (!entry.is_object()) throw SeedProblem{at, "expected an object"};
    TemplateRecord record;
    record.id = textAt(entry, "id", at, true);
    // The rule of every object identifier (a template is an object): 8 letters or digits, a
    // dot, 8 letters or digits. A dot anywhere else would be taken here and refused when the
    // export of this very repository is imported again.
    const auto lettersOrDigits = [](std::string_view part) {
      return std::all_of(part.begin(), part.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
    };
    const bool shaped = record.id.size() == 17 && record.id[8] == '.' &&
                        lettersOrDigits(std::string_view(record.id).substr(0, 8)) &&
                        lettersOrDigits(std::string_view(record.id).substr(9));
    if (!shaped) {
      throw SeedProblem{at + "/id", "expected <repository>.<8 letters or digits>, e.g. "
                                    "A0000001.T0000001"};
    }
    record.repositoryId = record.id.substr(0, 8);
    if (!targetExists(record.repositoryId)) {
      throw SeedProblem{at + "/id", "no repository '" + record.repositoryId + "'"};
    }
    // The template may be among the objects already (an export writes it there, with its
    // attributes); otherwise this entry creates it.
    const bool listed = targetExists(record.id);
    if (listed && store.templateKey(record.id) == 0) {
      throw SeedProblem{at + "/id", "'" + record.id + "' is an object of another type"};
    }
    if (auto attributes = entry.find("attributes"); attributes != entry.end()) {
      if (!attributes->is_object()) throw SeedProblem{at + "/attributes", "expected an object"};
      for (const auto& [name, value] : attributes->items()) {
        if (!value.is_string()) throw SeedProblem{at + "/attributes/" + name, "expected a text"};
        if (name.empty()) throw SeedProblem{at + "/attributes", "an attribute name is empty"};
        record.attributes.emplace_back(name, value.get<std::string>());
      }
    }
    store.addTemplate(record);
    std::optional<TemplateRecord> stored;
    if (!store.findTemplate(record.id, stored).ok() || !stored || stored->name().empty()) {
      throw SeedProblem{at + "/attributes", "a template needs a Name"};
    }
    if (auto entries = entry.find("authorizations"); entries != entry.end()) {
      if (!entries->is_array()) throw SeedProblem{at + "/authorizations", "expected an array"};
      for (size_t k = 0; k < entries->size(); ++k) {
        const std::string where = at + "/authorizations/" + std::to_string(k);
        const Json& grant = (*entries)[k];
        if (!grant.is_object()) throw SeedProblem{where, "expected an object"};
        const std::string decision = textAt(grant, "decision", where, true);
        if (decision != "grant" && decision != "deny") {
          throw SeedProblem{where + "/decision", "expected \"grant\" or \"deny\""};
        }
        AuthorizationChange change;
        Outcome prepared = prepareChange(
            store, textAt(grant, "identity", where, true), "",
            decision == "grant" ? kGrantCodeGrant : kGrantCodeDeny,
            textAt(grant, "permission", where, true),
            AccessTarget{record.repositoryId, record.id, true}, change);
        if (!prepared.ok()) throw SeedProblem{where, prepared.message};
        store.addEntry(change.entry);
      }
    }
    if (auto applied = entry.find("appliedTo"); applied != entry.end()) {
      if (!applied->is_array()) throw SeedProblem{at + "/appliedTo", "expected an array"};
      for (size_t k = 0; k < applied->size(); ++k) {
        const std::string where = at + "/appliedTo/" + std::to_string(k);
        if (!(*applied)[k].is_string()) throw SeedProblem{where, "expected an identifier"};
        const std::string target = (*applied)[k].get<std::string>();
        if (!targetExists(target) || target.compare(0, 8, record.repositoryId) != 0) {
          throw SeedProblem{where, "no repository or object '" + target + "' in repository " +
                                       record.repositoryId};
        }
        store.addApplication(record.id, target);
      }
    }
  }
}

}  // namespace

void importSecuritySection(SqliteSecurityStore& store, const Json& section,
                           const std::function<bool(std::string_view)>& targetExists) {
  const std::string base = "/security";
  if (!section.is_object()) throw SeedProblem{base, "expected an object"};
  std::string cost = textAt(section, "passwordHashing", base, false);
  if (!knownHashingCost(cost)) {
    throw SeedProblem{base + "/passwordHashing", "expected \"interactive\" or \"minimal\""};
  }
  if (!cost.empty()) store.setSetting("passwordHashing", cost);
  cost = store.setting("passwordHashing");
  if (auto require = section.find("requireLogin"); require != section.end()) {
    if (!require->is_boolean()) throw SeedProblem{base + "/requireLogin", "expected true or false"};
    store.setSetting("requireLogin", require->get<bool>() ? "true" : "false");
  }
  if (auto audit = section.find("audit"); audit != section.end()) {
    // The audit trail's settings (audit_store.h), stored as "audit.<name>".
    if (!audit->is_object()) throw SeedProblem{base + "/audit", "expected an object"};
    for (const auto& [name, value] : audit->items()) {
      const std::string at = base + "/audit/" + name;
      if (name == "enabled") {
        if (!value.is_boolean()) throw SeedProblem{at, "expected true or false"};
        store.setSetting("audit.enabled", value.get<bool>() ? "true" : "false");
      } else if (name == "retentionDays" || name == "maxRecords" || name == "coalesceSeconds") {
        if (!value.is_number_unsigned()) {
          throw SeedProblem{at, "expected a whole number, 0 or more"};
        }
        store.setSetting("audit." + name, std::to_string(value.get<uint64_t>()));
      } else {
        throw SeedProblem{at, "unknown audit setting (enabled, retentionDays, maxRecords, "
                              "coalesceSeconds)"};
      }
    }
  }
  if (auto permissions = section.find("permissions"); permissions != section.end()) {
    if (!permissions->is_array()) throw SeedProblem{base + "/permissions", "expected an array"};
    for (size_t i = 0; i < permissions->size(); ++i) {
      const std::string at = base + "/permissions/" + std::to_string(i);
      const Json& entry = (*permissions)[i];
      std::string name, description;
      if (entry.is_string()) {
        name = entry.get<std::string>();
      } else if (entry.is_object()) {
        name = textAt(entry, "name", at, true);
        description = textAt(entry, "description", at, false);
      } else {
        throw SeedProblem{at, "expected a permission name or {\"name\": ...}"};
      }
      if (name.empty()) throw SeedProblem{at, "a permission name is empty"};
      store.addPermission(name, description);
    }
  }
  if (auto logins = section.find("logins"); logins != section.end()) {
    if (!logins->is_array()) throw SeedProblem{base + "/logins", "expected an array"};
    for (size_t i = 0; i < logins->size(); ++i) {
      const std::string at = base + "/logins/" + std::to_string(i);
      const Json& entry = (*logins)[i];
      if (!entry.is_object()) throw SeedProblem{at, "expected an object"};
      LoginRecord login;
      login.userId = textAt(entry, "user", at, true);
      if (login.userId.empty()) throw SeedProblem{at + "/user", "a user id is empty"};
      login.id = textAt(entry, "id", at, false);
      if (login.id.empty()) login.id = "LOGIN." + login.userId;
      login.domain = textAt(entry, "domain", at, false);
      login.ownerId = textAt(entry, "owner", at, true);
      std::optional<IdentityRecord> owner;
      if (!store.findIdentity(login.ownerId, "", owner).ok() || !owner) {
        throw SeedProblem{at + "/owner", "no Person, IdentityGroup or Role '" + login.ownerId + "'"};
      }
      login.ownerId = owner->id;
      const bool clear = entry.contains("password");
      const bool hashed = entry.contains("passwordHash");
      if (clear == hashed) {
        throw SeedProblem{at, "a login needs exactly one of \"password\" and \"passwordHash\""};
      }
      if (clear) {
        // Never repeated in a message: the pointer says where, the text stays in the file.
        auto hash = hashPassword(textAt(entry, "password", at, true), cost);
        if (!hash) throw SeedProblem{at + "/password", "the password could not be hashed"};
        login.passwordHash = std::move(*hash);
      } else {
        login.passwordHash = textAt(entry, "passwordHash", at, true);
        if (!looksLikePasswordHash(login.passwordHash)) {
          throw SeedProblem{at + "/passwordHash", "not a password hash (expected $argon2id$...)"};
        }
      }
      std::optional<LoginRecord> existing;
      if (store.findLogin(login.userId, existing).ok() && existing) {
        throw SeedProblem{at + "/user", "user '" + login.userId + "' has a login already"};
      }
      store.addLogin(login);
    }
  }
  if (auto entries = section.find("authorizations"); entries != section.end()) {
    if (!entries->is_array()) throw SeedProblem{base + "/authorizations", "expected an array"};
    for (size_t i = 0; i < entries->size(); ++i) {
      const std::string at = base + "/authorizations/" + std::to_string(i);
      const Json& entry = (*entries)[i];
      if (!entry.is_object()) throw SeedProblem{at, "expected an object"};
      const std::string target = textAt(entry, "target", at, true);
      if (!targetExists(target)) {
        throw SeedProblem{at + "/target", "no repository or object '" + target + "'"};
      }
      const std::string decision = textAt(entry, "decision", at, true);
      if (decision != "grant" && decision != "deny") {
        throw SeedProblem{at + "/decision", "expected \"grant\" or \"deny\""};
      }
      AuthorizationChange change;
      const std::string identity = textAt(entry, "identity", at, true);
      const std::string permission = textAt(entry, "permission", at, true);
      AccessTarget where{target, ""};
      Outcome prepared = prepareChange(store, identity, "",
                                       decision == "grant" ? kGrantCodeGrant : kGrantCodeDeny,
                                       permission, where, change);
      if (!prepared.ok()) {
        throw SeedProblem{at + (prepared.status == kStatusUnknownPermission ? "/permission"
                                                                             : "/identity"),
                          prepared.message};
      }
      store.addEntry(change.entry);
    }
  }
  importTemplates(store, section, base, targetExists);
}

Json exportSecuritySection(SqliteSecurityStore& store) {
  Json section = Json::object();
  for (const auto& [name, value] : store.settings()) {
    if (name == "requireLogin") {
      section[name] = value == "true";
    } else if (name.rfind("audit.", 0) == 0) {
      const std::string key = name.substr(6);
      if (key == "enabled") {
        section["audit"][key] = value == "true";
      } else {
        section["audit"][key] = std::strtoull(value.c_str(), nullptr, 10);
      }
    } else {
      section[name] = value;
    }
  }
  Json permissions = Json::array();
  for (const auto& row : store.permissionRows()) {
    if (row.description.empty()) {
      permissions.push_back(row.name);
    } else {
      permissions.push_back({{"name", row.name}, {"description", row.description}});
    }
  }
  if (!permissions.empty()) section["permissions"] = std::move(permissions);
  std::vector<LoginRecord> logins;
  if (store.logins(logins).ok() && !logins.empty()) {
    Json list = Json::array();
    for (const LoginRecord& login : logins) {
      // A login or entry of an identity deleted before identities took theirs along (files of
      // an earlier version) is left out: it names nobody, and the file would not import.
      if (!store.identityExists(login.ownerId)) continue;
      list.push_back({{"id", login.id}, {"user", login.userId}, {"passwordHash", login.passwordHash},
                      {"owner", login.ownerId}, {"domain", login.domain}});
    }
    section["logins"] = std::move(list);
  }
  const std::vector<TemplateRecord> allTemplates = store.allTemplates();
  std::map<std::string, Json> templateEntries;
  for (const TemplateRecord& record : allTemplates) templateEntries[record.id] = Json::array();
  Json entries = Json::array();
  for (const AccessEntry& entry : store.allEntries()) {
    if (!store.identityExists(entry.identityId)) continue;
    if (auto own = templateEntries.find(entry.target); own != templateEntries.end()) {
      own->second.push_back({{"identity", entry.identityId}, {"permission", entry.permission},
                             {"decision", entry.grant ? "grant" : "deny"}});
      continue;
    }
    entries.push_back({{"target", entry.target}, {"identity", entry.identityId},
                       {"permission", entry.permission},
                       {"decision", entry.grant ? "grant" : "deny"}});
  }
  if (!entries.empty()) section["authorizations"] = std::move(entries);
  std::vector<std::pair<std::string, std::string>> applications = store.allApplications();
  Json templates = Json::array();
  for (const TemplateRecord& record : allTemplates) {
    // The template object itself (name, description, attributes) is among the objects.
    Json applied = Json::array();
    for (const auto& [id, target] : applications) {
      if (id == record.id) applied.push_back(target);
    }
    templates.push_back({{"id", record.id},
                         {"authorizations", std::move(templateEntries[record.id])},
                         {"appliedTo", std::move(applied)}});
  }
  if (!templates.empty()) section["templates"] = std::move(templates);
  if (section.empty()) return nullptr;
  return section;
}

}  // namespace mdserver
