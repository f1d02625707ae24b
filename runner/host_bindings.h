// The program's view of the host: every registered package function as a Lua global (under its
// registered name and in lower case), the missing value, symget(), sysrc(), hostlog(),
// newsession{} and the repository accounting calls() and pool().
//
// Contract: the ScriptContext outlives the Lua state that refers to it. Calls run in
// context.session, which newsession{} replaces for the duration of its function.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include <lua.hpp>

#include "host/reference_host.h"
#include "mdserver/access/access_explanation.h"

namespace runner {

class RepositoryService;

// The repository's accounting as the program sees it; empty functions when no repository is
// attached (calls() and pool() then raise an error saying so).
struct Accounting {
  // Calls per interface operation, summed over the interfaces handed to `session`.
  std::function<std::map<std::string, uint64_t>(HostSession* session)> callsPerOperation;
  // Pool blocks and bytes outstanding of the interfaces handed to `session`.
  std::function<std::pair<uint64_t, uint64_t>(HostSession* session)> poolOutstanding;
  // Called after the runner ended a session: its counts go with it.
  std::function<void(HostSession* session)> forgetSession;
};

struct ScriptContext {
  refhost::ReferenceHost* host = nullptr;
  HostSession* session = nullptr;  // the session the program's calls run in
  bool bail = false;               // --bail: a call reporting a failure status ends the program
  bool bailed = false;             // set once --bail stopped the program
  lua_State* state = nullptr;      // the program's Lua state while it runs
  Accounting accounting;
  // newsession{user=..., password=...}: the session's interfaces act for that user.
  std::function<void(HostSession* session, const std::string& user, const std::string& password)>
      connectAs;
  // access(objectUri, permission [, identity]) (access_binding.cpp).
  std::function<bool(HostSession* session, const std::string& object,
                     const std::string& permission, const std::string& identity,
                     mdserver::AccessExplanation& out, std::string* error)>
      explain;
  // export(file): writes the repository as a seed file; the error text, empty on success.
  std::function<std::string(HostSession* session, const std::string& file)> exportSeed;
  // audit{}, who(), what() (security_query_binding.cpp); null: no repository to ask.
  RepositoryService* repository = nullptr;
};

// Installs access() (access_binding.cpp).
void openAccessBinding(lua_State* L, ScriptContext& context);
// Installs audit{}, who() and what() (security_query_binding.cpp).
void openSecurityQueryBindings(lua_State* L, ScriptContext& context);

// Installs the globals listed above for every function of every library loaded in the host.
void openHostBindings(lua_State* L, ScriptContext& context);

// A repository note as the program's log shows it: prefixed with the file and line of the
// program's call that led to it, and, when the note names a position in the call's first
// argument ("at position N"), followed by that text with a caret under the position.
std::string locateNote(const ScriptContext& context, const std::string& note);

// True when the value at `index` is the host's missing value (the `missing` global).
bool isMissing(lua_State* L, int index);

}  // namespace runner
