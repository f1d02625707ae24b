// The committed security state read at once, for answers that decide many targets (the readable
// set, the reverse questions): every entry and template application in one read each, and the
// objects with levels of their own. Deciding from it is deciding from the store: decide() reads
// the same entries and applications, from memory instead of one storage query per level.
//
// Shapes: decide() reads of an object (not a template) nothing but its own entries, the
// templates applied to it (and their entries) and its repository's levels. Objects of one
// repository with the same own entries (identity, permission, grant, in the order set) and the
// same templates applied (in the order applied) are therefore decided alike for every principal
// and permission; they share a shape, and deciding one object of a shape decides all of them.
// A repository where one grant was set on a thousand tables decides a few shapes, not a
// thousand objects. The shape is a key over exactly what decide() reads, nothing about what it
// concludes: the decision itself stays decide()'s.
//
// Patching: a state read at one change count, followed by the changes this process's own
// applies committed since (LevelChange: the touched targets' levels as read inside each apply's
// transaction), is the state at the later count. Changes of repositories' levels alone leave
// every object's shape as it was, so the patched state shares the objects and their shapes
// with the one it came from and only the changed targets are held anew. A change of an
// object's levels (or of which objects are templates) moves only the objects it touched from
// their old shape to their new one; the earlier state is changed in place when nothing else
// holds it any more, and copied first when something does (a question still answering over
// it), so a state once handed out never changes under its reader.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mdserver/base/outcome.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/security_store.h"

namespace mdserver {

struct OwnLevelObject {
  std::string id;
  bool isTemplate = false;  // decided on its repository (access_target.h)
  size_t shape = 0;         // objects of one shape are decided alike
  size_t slot = 0;          // its position among its shape's members
  AccessTarget target() const;
};

// By identifier; node-based, so that an object's place stays put while others come and go.
using OwnLevelObjects = std::map<std::string, OwnLevelObject, std::less<>>;

class SecuritySnapshot : public std::enable_shared_from_this<SecuritySnapshot> {
 public:
  // Fails with the store's status when any part cannot be read: no partial state is handed out.
  static Outcome read(SecurityStore& store, std::shared_ptr<const SecuritySnapshot>& out);
  // The state after `changes` (oldest first, as SecurityStore::levelChangesBetween gives them),
  // from `from`. Pass the last holder of `from` by moving it in: then what the changes touch is
  // changed in place instead of copying the whole state.
  static std::shared_ptr<const SecuritySnapshot> patched(
      std::shared_ptr<const SecuritySnapshot> from,
      const std::vector<std::shared_ptr<const LevelChange>>& changes);

  // As SecurityStore::enforced() at the time of the read.
  bool enforced() const { return enforced_; }
  // decide()'s sources over the snapshot (they keep it alive).
  SecuritySources sources() const;
  // The objects that are the target of an entry or of a template application, in identifier
  // order, templates among them: every object whose decision can differ from its repository's.
  // Taken from the targets read (anything but a repository's eight-character identifier), not
  // looked up one by one: a target no object bears any more is listed too, and is never asked
  // about, since answers start from existing objects.
  const OwnLevelObjects& ownLevelObjects() const { return grouping_->own; }
  // Shapes are numbered 0 to shapeCount() - 1; a number may be unused (no members) after a
  // patch moved its last object away.
  size_t shapeCount() const { return grouping_->shapes.size(); }
  // The objects of a shape, in no particular order: all of one repository, all templates or
  // none.
  const std::vector<const OwnLevelObject*>& shapeMembers(size_t shape) const {
    return grouping_->shapes[shape].members;
  }
  // An own-level object by identifier, or null.
  const OwnLevelObject* ownLevelObject(std::string_view id) const;

 private:
  using EntryMap = std::unordered_map<std::string, std::vector<AccessEntry>>;
  using ApplicationMap = std::unordered_map<std::string, std::vector<std::string>>;
  // The state as read (or as grouped again), shared by the states patched from it.
  struct Levels {
    EntryMap entries;
    ApplicationMap applications;
    std::vector<std::string> templateIds;  // sorted
  };
  struct Shape {
    std::string key;  // what its objects' levels spell (security_snapshot.cpp); empty: unused
    std::vector<const OwnLevelObject*> members;  // into Grouping::own
  };
  struct Grouping {
    Grouping() = default;
    Grouping(const Grouping& other);  // points the copy's members into its own objects
    Grouping& operator=(const Grouping&) = delete;
    OwnLevelObjects own;
    std::vector<Shape> shapes;
    std::unordered_map<std::string, size_t> byKey;  // shape by key
    std::vector<size_t> unused;                     // shapes without members
  };
  static std::shared_ptr<const SecuritySnapshot> grouped(std::shared_ptr<Levels> levels,
                                                         bool enforced);
  // Puts one target's object where its levels now place it: out of its old shape, into the
  // shape of its levels, or out of the own-level objects when it has none.
  static void regroup(const Levels& levels, Grouping& grouping, const std::string& target);
  const std::vector<AccessEntry>* entriesOf(const std::string& target) const;
  const std::vector<std::string>* applicationsOf(const std::string& target) const;

  bool enforced_ = false;
  size_t entryCount_ = 0;
  std::shared_ptr<const Levels> levels_;
  std::shared_ptr<const Grouping> grouping_;
  // Repositories' levels changed since levels_ was read: their entries and applications now.
  EntryMap entryOverlay_;
  ApplicationMap applicationOverlay_;
};

}  // namespace mdserver
