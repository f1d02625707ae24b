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
  Accounting accounting;
  // newsession{user=..., password=...}: the session's interfaces act for that user.
  std::function<void(HostSession* session, const std::string& user, const std::string& password)>
      connectAs;
  // access(objectUri, permission [, identity]) (access_binding.cpp).
  std::function<bool(HostSession* session, const std::string& object,
                     const std::string& permission, const std::string& identity,
                     mdserver::AccessExplanation& out, std::string* error)>
      explain;
  // audit{}, who(), what() (security_query_binding.cpp); null: no repository to ask.
  RepositoryService* repository = nullptr;
};

// Installs access() (access_binding.cpp).
void openAccessBinding(lua_State* L, ScriptContext& context);
// Installs audit{}, who() and what() (security_query_binding.cpp).
void openSecurityQueryBindings(lua_State* L, ScriptContext& context);

// Installs the globals listed above for every function of every library loaded in the host.
void openHostBindings(lua_State* L, ScriptContext& context);

// True when the value at `index` is the host's missing value (the `missing` global).
bool isMissing(lua_State* L, int index);

}  // namespace runner
