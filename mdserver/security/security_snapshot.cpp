// The security state read at once; what a shape is and why it is sound in security_snapshot.h.
#include "mdserver/security/security_snapshot.h"

#include <algorithm>
#include <atomic>
#include <iterator>

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

SecuritySnapshot::Grouping::Grouping(const Grouping& other)
    : own(other.own), shapes(other.shapes), byKey(other.byKey), unused(other.unused) {
  for (auto& [id, object] : own) shapes[object.shape].members[object.slot] = &object;
}

void SecuritySnapshot::regroup(const Levels& levels, Grouping& grouping,
                               const std::string& target) {
  if (target.size() <= 8) return;  // a repository (as transactions tell them apart)
  const auto entries = levels.entries.find(target);
  const auto applied = levels.applications.find(target);
  const bool hasEntries = entries != levels.entries.end() && !entries->second.empty();
  const bool hasApplied = applied != levels.applications.end() && !applied->second.empty();
  auto found = grouping.own.find(target);
  if (found != grouping.own.end()) {
    // Out of its shape: the last member takes its place; a shape left empty is free again.
    OwnLevelObject& object = found->second;
    Shape& shape = grouping.shapes[object.shape];
    auto* last = const_cast<OwnLevelObject*>(shape.members.back());
    shape.members[object.slot] = last;
    last->slot = object.slot;
    shape.members.pop_back();
    if (shape.members.empty()) {
      grouping.byKey.erase(shape.key);
      shape.key.clear();
      grouping.unused.push_back(object.shape);
    }
    if (!hasEntries && !hasApplied) {
      grouping.own.erase(found);
      return;
    }
  } else if (!hasEntries && !hasApplied) {
    return;
  } else {
    found = grouping.own.emplace_hint(grouping.own.end(), target, OwnLevelObject{target});
  }
  OwnLevelObject& object = found->second;
  object.isTemplate =
      std::binary_search(levels.templateIds.begin(), levels.templateIds.end(), target);
  std::string key;
  appendField(key, std::string_view(target).substr(0, 8));
  key.push_back(object.isTemplate ? 'T' : 'O');
  if (hasEntries) {
    for (const AccessEntry& e : entries->second) {
      appendField(key, e.identityId);
      appendField(key, e.permission);
      key.push_back(e.grant ? '+' : '-');
    }
  }
  key.push_back('|');
  if (hasApplied) {
    for (const std::string& name : applied->second) appendField(key, name);
  }
  auto [shapeOf, made] = grouping.byKey.try_emplace(key, grouping.shapes.size());
  if (made) {
    if (grouping.unused.empty()) {
      grouping.shapes.emplace_back();
    } else {
      shapeOf->second = grouping.unused.back();
      grouping.unused.pop_back();
    }
    grouping.shapes[shapeOf->second].key = std::move(key);
  }
  Shape& shape = grouping.shapes[shapeOf->second];
  object.shape = shapeOf->second;
  object.slot = shape.members.size();
  shape.members.push_back(&object);
}

std::shared_ptr<const SecuritySnapshot> SecuritySnapshot::grouped(std::shared_ptr<Levels> levels,
                                                                  bool enforced) {
  auto snapshot = std::make_shared<SecuritySnapshot>();
  std::sort(levels->templateIds.begin(), levels->templateIds.end());
  for (const auto& [target, entries] : levels->entries) snapshot->entryCount_ += entries.size();
  snapshot->enforced_ = enforced;
  // Every target of an entry or an application; in identifier order, so that each object is
  // added at the end of the map.
  std::vector<std::string_view> targets;
  targets.reserve(levels->entries.size() + levels->applications.size());
  for (const auto& [target, entries] : levels->entries) targets.push_back(target);
  for (const auto& [target, applied] : levels->applications) targets.push_back(target);
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  auto grouping = std::make_shared<Grouping>();
  for (std::string_view target : targets) regroup(*levels, *grouping, std::string(target));
  snapshot->grouping_ = std::move(grouping);
  snapshot->levels_ = std::move(levels);
  return snapshot;
}

std::shared_ptr<const SecuritySnapshot> SecuritySnapshot::patched(
    std::shared_ptr<const SecuritySnapshot> from,
    const std::vector<std::shared_ptr<const LevelChange>>& changes) {
  // Repositories' levels are held beside the shared state; anything that can move an object's
  // shape changes the state itself. So do many changed repositories, so lookups stay one probe
  // or two.
  constexpr size_t kHeldBeside = 64;
  bool objectsChanged = false;
  size_t beside = from->entryOverlay_.size() + from->applicationOverlay_.size();
  for (const std::shared_ptr<const LevelChange>& change : changes) {
    objectsChanged = objectsChanged || change->templatesChanged;
    for (const auto& [target, entries] : change->entries) {
      objectsChanged = objectsChanged || target.size() > 8;
    }
    for (const auto& [target, applied] : change->applications) {
      objectsChanged = objectsChanged || target.size() > 8;
    }
    beside += change->entries.size() + change->applications.size();
  }
  const bool closedUntold = from->enforced_ && from->entryCount_ == 0;
  if (!objectsChanged && beside <= kHeldBeside) {
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
  // In place when nobody else can see the state: no other holder of `from` (a question
  // answering over it), and no other snapshot sharing its levels or grouping. The fence pairs
  // with the release of the last other holder, so its reads are done before these writes.
  std::shared_ptr<Levels> levels;
  std::shared_ptr<Grouping> grouping;
  if (from.use_count() == 1 && from->levels_.use_count() == 1 &&
      from->grouping_.use_count() == 1) {
    std::atomic_thread_fence(std::memory_order_acquire);
    levels = std::const_pointer_cast<Levels>(from->levels_);
    grouping = std::const_pointer_cast<Grouping>(from->grouping_);
  } else {
    levels = std::make_shared<Levels>(*from->levels_);
    grouping = std::make_shared<Grouping>(*from->grouping_);
  }
  auto put = [](auto& map, const std::string& target, const auto& value) {
    if (value.empty()) {
      map.erase(target);
    } else {
      map[target] = value;
    }
  };
  // The overlay holds repositories only: they are no own-level objects, and entryCount_
  // counts them already.
  for (const auto& [target, entries] : from->entryOverlay_) put(levels->entries, target, entries);
  for (const auto& [target, applied] : from->applicationOverlay_) {
    put(levels->applications, target, applied);
  }
  size_t entryCount = from->entryCount_;
  std::vector<std::string> touched;
  for (const std::shared_ptr<const LevelChange>& change : changes) {
    for (const auto& [target, entries] : change->entries) {
      if (auto was = levels->entries.find(target); was != levels->entries.end()) {
        entryCount -= was->second.size();
      }
      entryCount += entries.size();
      put(levels->entries, target, entries);
      touched.push_back(target);
    }
    for (const auto& [target, applied] : change->applications) {
      put(levels->applications, target, applied);
      touched.push_back(target);
    }
    if (change->templatesChanged) {
      // The objects that became or stopped being templates are decided on another level now.
      std::vector<std::string> now = change->templateIds;
      std::sort(now.begin(), now.end());
      std::set_symmetric_difference(levels->templateIds.begin(), levels->templateIds.end(),
                                    now.begin(), now.end(), std::back_inserter(touched));
      levels->templateIds = std::move(now);
    }
  }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const std::string& target : touched) regroup(*levels, *grouping, target);
  auto snapshot = std::make_shared<SecuritySnapshot>();
  snapshot->entryCount_ = entryCount;
  snapshot->enforced_ = entryCount > 0 || closedUntold;
  snapshot->levels_ = std::move(levels);
  snapshot->grouping_ = std::move(grouping);
  return snapshot;
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
  auto found = grouping_->own.find(id);
  return found == grouping_->own.end() ? nullptr : &found->second;
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
