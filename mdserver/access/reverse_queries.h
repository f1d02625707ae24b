// Reverse questions, answered exactly by the decision function (access_decision.h):
//   whoMay(target, permission): every identity (people, groups, roles and the two built-ins)
//     that holds the permission on the target, each with the entry that decided;
//   whatMay(identity, permission [, type]): every object the identity may use it on.
// Nothing here decides: each identity is decided by decide() with its groups and roles (as a
// logged-in user, as explanations decide another identity); each object by a set built the
// way the readable set is (readable_set.h): its repository's decision, except for the objects
// with entries or templates of their own, which are decided one by one. A test compares both
// with decide() over every pair of random repositories.
//
// Cost: whatMay looks only at candidates (the objects of repositories whose decision lets the
// asker read and the subject use them, and elsewhere the objects with levels of their own), so a
// page does not walk objects that cannot be answered. The decisions both rest on are kept with
// the repository (Repository::keptQueryResults) for its change count and asked again after any
// change. The state they are decided over is read once per count, or, after this process's own
// security changes alone, patched with what those changes committed (security_snapshot.h); the
// decisions are made once per shape of objects decided alike, so the first question after a
// change costs a few decisions, and later pages and questions at the same count none.
//
// Paging: by key (an identity's or object's identifier). A page holds at most `limit` answers
// and a cursor for the next page (empty: there is none); a page never repeats or skips an
// identity or object that existed when the first page was asked and still exists. Nothing is
// capped: limit 0 asks for everything at once, and a full page always says whether more follow.
//
// Who may ask (the asker is the principal of the caller; the local administrator may ask
// everything):
//  - An object or repository the asker may not Read is answered as one that does not exist.
//  - whoMay needs Administer on the target (for an access control template, on its
//    repository), as explaining another identity's access does; it lists only identities the
//    asker may Read (and the built-ins).
//  - whatMay for the asker itself (identity blank) needs nothing more; for another identity it
//    needs Administer on a repository, is asked before the identity is looked up (a refusal says
//    nothing about which identities exist), and lists only objects of repositories the asker
//    administers. Every answer lists only objects the asker may Read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"

namespace mdserver {

struct PageRequest {
  std::string cursor;  // empty: the first page
  size_t limit = 100;  // 0: everything
};

struct WhoAnswer {
  std::string identityId;
  std::string identityName;
  std::string identityType;  // Person, IdentityGroup, Role or BuiltInGroup
  std::string decision;      // describe() of the decision
  std::string decidingEntry;  // "grant Read to <identity> on <target>"; empty when open
  std::string decidingLevel;  // "object", "templates of the object", "repository", ...
};

struct WhoPage {
  std::string target;      // the identifier decided on
  std::string permission;  // the permission decided (Administer for a template's changes)
  std::vector<WhoAnswer> answers;
  std::string nextCursor;  // empty: no more
};

struct WhatPage {
  std::string identityId;  // the identity decided for (blank for the local administrator)
  std::vector<ObjectRow> objects;
  std::string nextCursor;  // empty: no more
};

// target: a repository name or identifier, an object identifier or any object URI (the first
// object it resolves to), as explanations take it.
Outcome whoMay(Repository& repository, const Principal& asker, std::string_view target,
               std::string_view permission, const PageRequest& page, WhoPage& out);
// identity: blank for the asker itself, otherwise a name or identifier. type: blank for any.
Outcome whatMay(Repository& repository, const Principal& asker, std::string_view identity,
                std::string_view permission, std::string_view type, const PageRequest& page,
                WhatPage& out);

}  // namespace mdserver
