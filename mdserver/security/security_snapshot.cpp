// The security state read at once; what a shape is and why it is sound in security_snapshot.h.
#include "mdserver/security/security_snapshot.h"

#include <algorithm>

#include "mdserver/security/access_target.h"

namespace mdserver {
namespace {

void appendField(std::string& key, std::string_view field) {
  // Each field with its length first, so that no two different reads spell one key.
  key.append(std::to_string(field.size())).push_back(':');
  key.append(field);
}

}  // namespace

AccessTarget OwnLevelObject::target() const {
  AccessTarget target = objectTarget(id);
  target.isTemplate = isTemplate;
  return target;
}

Outcome SecuritySnapshot::read(SecurityStore& store, std::shared_ptr<const SecuritySnapshot>& out) {
  out.reset();
  auto snapshot = std::make_shared<SecuritySnapshot>();
  SecurityLevels levels;
  if (Outcome read = store.allLevels(levels); !read.ok()) return read;
  // A store that has entries is enforced whatever it says; one that says so without them (it
  // could not tell) stays closed too.
  snapshot->enforced_ = !levels.entries.empty() || store.enforced();
  for (AccessEntry& entry : levels.entries) {
    std::vector<AccessEntry>& here = snapshot->entries_[entry.target];
    here.push_back(std::move(entry));
  }
  for (auto& [target, applied] : levels.applications) {
    snapshot->applications_[target].push_back(std::move(applied));
  }

  // Repositories are the eight-character targets (as transactions tell them apart).
  std::vector<std::string> own;
  for (const auto& [target, entries] : snapshot->entries_) {
    if (target.size() > 8) own.push_back(target);
  }
  for (const auto& [target, applied] : snapshot->applications_) {
    if (target.size() > 8 && snapshot->entries_.count(target) == 0) own.push_back(target);
  }
  std::sort(own.begin(), own.end());
  std::vector<std::string>& templates = levels.templateIds;
  std::sort(templates.begin(), templates.end());

  std::unordered_map<std::string, size_t> shapes;
  std::string key;
  snapshot->own_.reserve(own.size());
  for (std::string& id : own) {
    const bool isTemplate = std::binary_search(templates.begin(), templates.end(), id);
    key.clear();
    appendField(key, std::string_view(id).substr(0, 8));
    key.push_back(isTemplate ? 'T' : 'O');
    if (auto found = snapshot->entries_.find(id); found != snapshot->entries_.end()) {
      for (const AccessEntry& e : found->second) {
        appendField(key, e.identityId);
        appendField(key, e.permission);
        key.push_back(e.grant ? '+' : '-');
      }
    }
    key.push_back('|');
    if (auto found = snapshot->applications_.find(id); found != snapshot->applications_.end()) {
      for (const std::string& applied : found->second) appendField(key, applied);
    }
    const size_t shape = shapes.emplace(key, shapes.size()).first->second;
    snapshot->own_.push_back({std::move(id), isTemplate, shape});
  }
  snapshot->shapes_ = shapes.size();
  out = std::move(snapshot);
  return Outcome::success();
}

SecuritySources SecuritySnapshot::sources() const {
  SecuritySources sources;
  std::shared_ptr<const SecuritySnapshot> self = shared_from_this();
  sources.entries = [self](const std::string& target) {
    auto found = self->entries_.find(target);
    return found == self->entries_.end() ? std::vector<AccessEntry>() : found->second;
  };
  sources.applications = [self](const std::string& target) {
    auto found = self->applications_.find(target);
    return found == self->applications_.end() ? std::vector<std::string>() : found->second;
  };
  return sources;
}

}  // namespace mdserver
