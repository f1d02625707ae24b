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
  SecurityLevels read;
  if (Outcome done = store.allLevels(read); !done.ok()) return done;
  // A store that has entries is enforced whatever it says; one that says so without them (it
  // could not tell) stays closed too.
  const bool enforced = !read.entries.empty() || store.enforced();
  auto levels = std::make_shared<Levels>();
  for (AccessEntry& entry : read.entries) {
    std::vector<AccessEntry>& here = levels->entries[entry.target];
    here.push_back(std::move(entry));
  }
  for (auto& [target, applied] : read.applications) {
    levels->applications[target].push_back(std::move(applied));
  }
  levels->templateIds = std::move(read.templateIds);
  out = grouped(std::move(levels), enforced);
  return Outcome::success();
}

std::shared_ptr<const SecuritySnapshot> SecuritySnapshot::grouped(std::shared_ptr<Levels> levels,
                                                                  bool enforced) {
  auto snapshot = std::make_shared<SecuritySnapshot>();
  std::vector<std::string>& templates = levels->templateIds;
  std::sort(templates.begin(), templates.end());
  for (const auto& [target, entries] : levels->entries) snapshot->entryCount_ += entries.size();
  snapshot->enforced_ = enforced;

  // Repositories are the eight-character targets (as transactions tell them apart).
  std::vector<std::string> own;
  for (const auto& [target, entries] : levels->entries) {
    if (target.size() > 8 && !entries.empty()) own.push_back(target);
  }
  for (const auto& [target, applied] : levels->applications) {
    if (target.size() <= 8 || applied.empty()) continue;
    auto entries = levels->entries.find(target);
    if (entries == levels->entries.end() || entries->second.empty()) own.push_back(target);
  }
  std::sort(own.begin(), own.end());

  auto grouping = std::make_shared<Grouping>();
  std::unordered_map<std::string, size_t> shapes;
  std::string key;
  grouping->own.reserve(own.size());
  for (std::string& id : own) {
    const bool isTemplate = std::binary_search(templates.begin(), templates.end(), id);
    key.clear();
    appendField(key, std::string_view(id).substr(0, 8));
    key.push_back(isTemplate ? 'T' : 'O');
    if (auto found = levels->entries.find(id); found != levels->entries.end()) {
      for (const AccessEntry& e : found->second) {
        appendField(key, e.identityId);
        appendField(key, e.permission);
        key.push_back(e.grant ? '+' : '-');
      }
    }
    key.push_back('|');
    if (auto found = levels->applications.find(id); found != levels->applications.end()) {
      for (const std::string& applied : found->second) appendField(key, applied);
    }
    const size_t shape = shapes.emplace(key, shapes.size()).first->second;
    if (shape == grouping->members.size()) grouping->members.emplace_back();
    grouping->members[shape].push_back(grouping->own.size());
    grouping->own.push_back({std::move(id), isTemplate, shape});
  }
  grouping->byId.reserve(grouping->own.size());
  for (size_t i = 0; i < grouping->own.size(); ++i) grouping->byId.emplace(grouping->own[i].id, i);
  snapshot->grouping_ = std::move(grouping);
  snapshot->levels_ = std::move(levels);
  return snapshot;
}

std::shared_ptr<const SecuritySnapshot> SecuritySnapshot::patched(
    const std::shared_ptr<const SecuritySnapshot>& from,
    const std::vector<std::shared_ptr<const LevelChange>>& changes) {
  // Repositories' levels are held beside the shared state; anything that can move an object's
  // shape groups again. So do many changed repositories, so lookups stay one probe or two.
  constexpr size_t kHeldBeside = 64;
  bool regroup = false;
  size_t beside = from->entryOverlay_.size() + from->applicationOverlay_.size();
  for (const std::shared_ptr<const LevelChange>& change : changes) {
    regroup = regroup || change->templatesChanged;
    for (const auto& [target, entries] : change->entries) regroup = regroup || target.size() > 8;
    for (const auto& [target, applied] : change->applications) {
      regroup = regroup || target.size() > 8;
    }
    beside += change->entries.size() + change->applications.size();
  }
  const bool closedUntold = from->enforced_ && from->entryCount_ == 0;
  if (!regroup && beside <= kHeldBeside) {
    auto snapshot = std::make_shared<SecuritySnapshot>();
    snapshot->levels_ = from->levels_;
    snapshot->grouping_ = from->grouping_;
    snapshot->entryOverlay_ = from->entryOverlay_;
    snapshot->applicationOverlay_ = from->applicationOverlay_;
    snapshot->entryCount_ = from->entryCount_;
    for (const std::shared_ptr<const LevelChange>& change : changes) {
      for (const auto& [target, entries] : change->entries) {
        const std::vector<AccessEntry>* was = snapshot->entriesOf(target);
        snapshot->entryCount_ -= was ? was->size() : 0;
        snapshot->entryCount_ += entries.size();
        snapshot->entryOverlay_[target] = entries;
      }
      for (const auto& [target, applied] : change->applications) {
        snapshot->applicationOverlay_[target] = applied;
      }
    }
    snapshot->enforced_ = snapshot->entryCount_ > 0 || closedUntold;
    return snapshot;
  }
  auto levels = std::make_shared<Levels>(*from->levels_);
  auto put = [](auto& map, const std::string& target, const auto& value) {
    if (value.empty()) {
      map.erase(target);
    } else {
      map[target] = value;
    }
  };
  for (const auto& [target, entries] : from->entryOverlay_) put(levels->entries, target, entries);
  for (const auto& [target, applied] : from->applicationOverlay_) {
    put(levels->applications, target, applied);
  }
  for (const std::shared_ptr<const LevelChange>& change : changes) {
    for (const auto& [target, entries] : change->entries) put(levels->entries, target, entries);
    for (const auto& [target, applied] : change->applications) {
      put(levels->applications, target, applied);
    }
    if (change->templatesChanged) levels->templateIds = change->templateIds;
  }
  size_t entries = 0;
  for (const auto& [target, here] : levels->entries) entries += here.size();
  return grouped(std::move(levels), entries > 0 || closedUntold);
}

const std::vector<AccessEntry>* SecuritySnapshot::entriesOf(const std::string& target) const {
  if (auto found = entryOverlay_.find(target); found != entryOverlay_.end()) return &found->second;
  auto found = levels_->entries.find(target);
  return found == levels_->entries.end() ? nullptr : &found->second;
}

const std::vector<std::string>* SecuritySnapshot::applicationsOf(const std::string& target) const {
  if (auto found = applicationOverlay_.find(target); found != applicationOverlay_.end()) {
    return &found->second;
  }
  auto found = levels_->applications.find(target);
  return found == levels_->applications.end() ? nullptr : &found->second;
}

const OwnLevelObject* SecuritySnapshot::ownLevelObject(std::string_view id) const {
  auto found = grouping_->byId.find(id);
  return found == grouping_->byId.end() ? nullptr : &grouping_->own[found->second];
}

SecuritySources SecuritySnapshot::sources() const {
  SecuritySources sources;
  std::shared_ptr<const SecuritySnapshot> self = shared_from_this();
  sources.entries = [self](const std::string& target) {
    const std::vector<AccessEntry>* found = self->entriesOf(target);
    return found ? *found : std::vector<AccessEntry>();
  };
  sources.applications = [self](const std::string& target) {
    const std::vector<std::string>* found = self->applicationsOf(target);
    return found ? *found : std::vector<std::string>();
  };
  return sources;
}

}  // namespace mdserver
