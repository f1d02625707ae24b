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
#pragma once

#include <memory>
#include <string>
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
  AccessTarget target() const;
};

class SecuritySnapshot : public std::enable_shared_from_this<SecuritySnapshot> {
 public:
  // Fails with the store's status when any part cannot be read: no partial state is handed out.
  static Outcome read(SecurityStore& store, std::shared_ptr<const SecuritySnapshot>& out);

  // As SecurityStore::enforced() at the time of the read.
  bool enforced() const { return enforced_; }
  // decide()'s sources over the snapshot (they keep it alive).
  SecuritySources sources() const;
  // The objects that are the target of an entry or of a template application, in identifier
  // order, templates among them: every object whose decision can differ from its repository's.
  // Taken from the targets read (anything but a repository's eight-character identifier), not
  // looked up one by one: a target no object bears any more is listed too, and is never asked
  // about, since answers start from existing objects.
  const std::vector<OwnLevelObject>& ownLevelObjects() const { return own_; }
  size_t shapeCount() const { return shapes_; }

 private:
  bool enforced_ = false;
  std::unordered_map<std::string, std::vector<AccessEntry>> entries_;
  std::unordered_map<std::string, std::vector<std::string>> applications_;
  std::vector<OwnLevelObject> own_;
  size_t shapes_ = 0;
};

}  // namespace mdserver
