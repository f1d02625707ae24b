// Templates as a transaction sees them; contract in template_view.h.
#include "mdserver/interface/template_view.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace mdserver {
namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Replays the staged template changes on `known` (identifier → record). Templates a change
// names that are not known yet are read from the store first.
Outcome replay(SecurityStore& store, const TransactionRecord* record,
               std::map<std::string, TemplateRecord>& known) {
  if (!record) return Outcome::success();
  using Kind = AuthorizationChange::Kind;
  for (const AuthorizationChange& change : record->staged) {
    switch (change.kind) {
      case Kind::kCreateTemplate:
        known[change.templateRecord.id] = change.templateRecord;
        break;
      case Kind::kDeleteTemplate:
        known.erase(change.templateId);
        break;
      case Kind::kSetTemplateAttribute: {
        auto found = known.find(change.templateId);
        if (found == known.end()) {
          std::optional<TemplateRecord> committed;
          Outcome read = store.findTemplate(change.templateId, committed);
          if (!read.ok()) return read;
          if (!committed) break;
          found = known.emplace(committed->id, *committed).first;
        }
        setTemplateAttribute(found->second, change.attribute.first, change.attribute.second);
        break;
      }
      default:
        break;
    }
  }
  return Outcome::success();
}

}  // namespace

void setTemplateAttribute(TemplateRecord& record, const std::string& name, const std::string& value) {
  auto& attributes = record.attributes;
  auto found = std::find_if(attributes.begin(), attributes.end(),
                            [&](const auto& pair) { return sameName(pair.first, name); });
  if (value.empty() && !sameName(name, kTemplateNameAttribute)) {
    if (found != attributes.end()) attributes.erase(found);
    return;
  }
  if (found != attributes.end()) {
    found->second = value;
    return;
  }
  // Name and Description keep their places at the head of the list.
  if (sameName(name, kTemplateNameAttribute)) {
    attributes.insert(attributes.begin(), {name, value});
  } else if (sameName(name, kTemplateDescriptionAttribute)) {
    const bool named = !attributes.empty() && sameName(attributes.front().first, kTemplateNameAttribute);
    attributes.insert(attributes.begin() + (named ? 1 : 0), {name, value});
  } else {
    attributes.emplace_back(name, value);
  }
}

Outcome templatesSeenBy(SecurityStore& store, const TransactionRecord* record,
                        std::string_view repositoryId, std::vector<TemplateRecord>& out) {
  out.clear();
  std::vector<TemplateRecord> committed;
  Outcome read = store.templates(repositoryId, committed);
  if (!read.ok()) return read;
  std::map<std::string, TemplateRecord> known;
  for (TemplateRecord& t : committed) known.emplace(t.id, std::move(t));
  Outcome replayed = replay(store, record, known);
  if (!replayed.ok()) return replayed;
  for (auto& [id, t] : known) {
    if (t.repositoryId == repositoryId) out.push_back(std::move(t));
  }
  return Outcome::success();
}

Outcome templateSeenBy(SecurityStore& store, const TransactionRecord* record,
                       std::string_view reference, std::optional<TemplateRecord>& out) {
  out.reset();
  std::map<std::string, TemplateRecord> known;
  std::optional<TemplateRecord> committed;
  Outcome read = store.findTemplate(reference, committed);
  if (!read.ok()) return read;
  if (committed) known.emplace(committed->id, *committed);
  Outcome replayed = replay(store, record, known);
  if (!replayed.ok()) return replayed;
  // The map is in identifier order: an identifier first, then the first name that matches.
  for (auto& [id, t] : known) {
    if (id == reference) {
      out = t;
      return Outcome::success();
    }
  }
  for (auto& [id, t] : known) {
    if (sameName(t.name(), reference)) {
      out = t;
      return Outcome::success();
    }
  }
  return Outcome::success();
}

}  // namespace mdserver
