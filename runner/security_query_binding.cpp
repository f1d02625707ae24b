// audit{...}, who(...) and what(...) for programs, asked for the session's user (newsession{}
// users included):
//
//   local records, after = audit{since=<ms since 1970>, user="u", object="A0000001.TABLE001",
//                                outcome="refused", after=<key>, limit=100}
//   local ids, cursor = who("A0000001.TABLE001", "Write" [, {cursor=, limit=}])
//   local objects, cursor = what("Write" [, identity [, type [, {cursor=, limit=}]]])
//
// audit returns a list of records {key=, time=, lastTime=, count=, repository=, user=,
// identity=, operation=, target=, permission=, outcome=, status=, decidingEntry=,
// decidingLevel=, decision=, changeCount=} (times as ISO 8601 text, UTC) and, when more follow
// the limit, the key to pass as `after`. who returns {id=, name=, type=, decision=,
// decidingEntry=, decidingLevel=} per identity, what {id=, type=, name=} per object; both page
// only when a limit is given and return the cursor of the next page (nil: no more). A refusal
// or a wrong argument raises an error saying what was wrong. Against a network server the
// server answers for the session's login, with the same answers and refusals.
#include <string>

#include "mdserver/access/audit_trail.h"
#include "mdserver/access/reverse_queries.h"
#include "runner/host_bindings.h"
#include "runner/repository_service.h"
#include "runner/security_queries.h"

namespace runner {
namespace {

void setString(lua_State* L, const char* key, const std::string& value) {
  lua_pushlstring(L, value.data(), value.size());
  lua_setfield(L, -2, key);
}

void setInteger(lua_State* L, const char* key, int64_t value) {
  lua_pushinteger(L, static_cast<lua_Integer>(value));
  lua_setfield(L, -2, key);
}

ScriptContext& contextOf(lua_State* L) {
  return *static_cast<ScriptContext*>(lua_touserdata(L, lua_upvalueindex(1)));
}

// Reads {cursor=, limit=} at index (absent: everything). Raises on a wrong argument, so it is
// called before any C++ object lives (lua_error runs no destructors).
struct RawPage {
  const char* cursor = "";
  lua_Integer limit = 0;
};
RawPage pageArgument(lua_State* L, int index) {
  RawPage page;
  if (lua_isnoneornil(L, index)) return page;
  luaL_checktype(L, index, LUA_TTABLE);
  // The table keeps its strings alive while the call runs.
  lua_getfield(L, index, "cursor");
  if (!lua_isnil(L, -1)) page.cursor = luaL_checkstring(L, -1);
  lua_pop(L, 1);
  lua_getfield(L, index, "limit");
  if (!lua_isnil(L, -1)) page.limit = luaL_checkinteger(L, -1);
  lua_pop(L, 1);
  if (page.limit < 0) luaL_argerror(L, index, "limit must not be negative");
  return page;
}

mdserver::PageRequest pageRequest(const RawPage& raw) {
  mdserver::PageRequest page;
  page.cursor = raw.cursor;
  page.limit = static_cast<size_t>(raw.limit);
  return page;
}

void pushCursor(lua_State* L, const std::string& cursor) {
  if (cursor.empty()) {
    lua_pushnil(L);
  } else {
    lua_pushlstring(L, cursor.data(), cursor.size());
  }
}

// The repository service to ask, or null with the message pushed.
RepositoryService* serviceOf(lua_State* L, const char* what) {
  ScriptContext& context = contextOf(L);
  if (context.repository) return context.repository;
  const std::string error = std::string(what) + ": no repository to ask";
  lua_pushlstring(L, error.data(), error.size());
  return nullptr;
}

int audit(lua_State* L) {
  // Arguments first, raw: a wrong one raises before any C++ object lives.
  const char* user = "";
  const char* object = "";
  const char* outcome = "";
  lua_Integer since = 0, after = 0, limit = 0;
  if (!lua_isnoneornil(L, 1)) {
    luaL_checktype(L, 1, LUA_TTABLE);
    auto text = [&](const char* key, const char*& out) {
      lua_getfield(L, 1, key);
      if (!lua_isnil(L, -1)) out = luaL_checkstring(L, -1);
      lua_pop(L, 1);
    };
    auto number = [&](const char* key, lua_Integer& out) {
      lua_getfield(L, 1, key);
      if (!lua_isnil(L, -1)) out = luaL_checkinteger(L, -1);
      lua_pop(L, 1);
    };
    text("user", user);
    text("object", object);
    text("outcome", outcome);
    number("since", since);
    number("after", after);
    number("limit", limit);
    if (limit < 0) luaL_argerror(L, 1, "limit must not be negative");
  }
  {
    mdserver::AuditFilter filter;
    filter.userId = user;
    filter.target = object;
    filter.outcome = outcome;
    filter.since = since;
    filter.afterKey = after;
    filter.limit = static_cast<size_t>(limit);
    if (RepositoryService* service = serviceOf(L, "audit")) {
      std::vector<mdserver::AuditRecord> records;
      bool more = false;
      const mdserver::Outcome read =
          askAudit(*service, contextOf(L).session, filter, records, &more);
      if (read.ok()) {
        lua_createtable(L, static_cast<int>(records.size()), 0);
        int i = 0;
        for (const mdserver::AuditRecord& r : records) {
          lua_createtable(L, 0, 16);
          setInteger(L, "key", r.key);
          setString(L, "time", mdserver::auditTimeText(r.time));
          setString(L, "lastTime", mdserver::auditTimeText(r.lastTime));
          setInteger(L, "count", r.count);
          setString(L, "repository", r.repositoryId);
          setString(L, "user", r.userId);
          setString(L, "identity", r.identityId);
          setString(L, "operation", r.operation);
          setString(L, "target", r.target);
          setString(L, "permission", r.permission);
          setString(L, "outcome", r.outcome);
          setInteger(L, "status", r.status);
          setString(L, "decidingEntry", r.decidingEntry);
          setString(L, "decidingLevel", r.decidingLevel);
          setString(L, "decision", r.decision);
          setInteger(L, "changeCount", static_cast<int64_t>(r.changeCount));
          lua_rawseti(L, -2, ++i);
        }
        if (more) {
          lua_pushinteger(L, static_cast<lua_Integer>(records.back().key));
        } else {
          lua_pushnil(L);
        }
        return 2;
      }
      const std::string message = "audit: " + read.message;
      lua_pushlstring(L, message.data(), message.size());
    }
  }
  // Every C++ object above is gone before lua_error unwinds (it runs no destructors).
  return lua_error(L);
}

int who(lua_State* L) {
  const char* targetText = luaL_checkstring(L, 1);
  const char* permissionText = luaL_checkstring(L, 2);
  const RawPage raw = pageArgument(L, 3);
  {
    const std::string target = targetText;
    const std::string permission = permissionText;
    const mdserver::PageRequest page = pageRequest(raw);
    if (RepositoryService* service = serviceOf(L, "who")) {
      mdserver::WhoPage answer;
      const mdserver::Outcome asked =
          askWho(*service, contextOf(L).session, target, permission, page, answer);
      if (asked.ok()) {
        lua_createtable(L, static_cast<int>(answer.answers.size()), 0);
        int i = 0;
        for (const mdserver::WhoAnswer& a : answer.answers) {
          lua_createtable(L, 0, 6);
          setString(L, "id", a.identityId);
          setString(L, "name", a.identityName);
          setString(L, "type", a.identityType);
          setString(L, "decision", a.decision);
          setString(L, "decidingEntry", a.decidingEntry);
          setString(L, "decidingLevel", a.decidingLevel);
          lua_rawseti(L, -2, ++i);
        }
        pushCursor(L, answer.nextCursor);
        return 2;
      }
      const std::string message = "who: " + asked.message;
      lua_pushlstring(L, message.data(), message.size());
    }
  }
  return lua_error(L);
}

int what(lua_State* L) {
  const char* permissionText = luaL_checkstring(L, 1);
  const char* identityText = luaL_optstring(L, 2, "");
  const char* typeText = luaL_optstring(L, 3, "");
  const RawPage raw = pageArgument(L, 4);
  {
    const std::string permission = permissionText;
    const std::string identity = identityText;
    const std::string type = typeText;
    const mdserver::PageRequest page = pageRequest(raw);
    if (RepositoryService* service = serviceOf(L, "what")) {
      mdserver::WhatPage answer;
      const mdserver::Outcome asked = askWhat(*service, contextOf(L).session, identity,
                                              permission, type, page, answer);
      if (asked.ok()) {
        lua_createtable(L, static_cast<int>(answer.objects.size()), 0);
        int i = 0;
        for (const mdserver::ObjectRow& o : answer.objects) {
          lua_createtable(L, 0, 3);
          setString(L, "id", o.id);
          setString(L, "type", o.type);
          setString(L, "name", o.name);
          lua_rawseti(L, -2, ++i);
        }
        pushCursor(L, answer.nextCursor);
        return 2;
      }
      const std::string message = "what: " + asked.message;
      lua_pushlstring(L, message.data(), message.size());
    }
  }
  return lua_error(L);
}

}  // namespace

void openSecurityQueryBindings(lua_State* L, ScriptContext& context) {
  const lua_CFunction functions[] = {audit, who, what};
  const char* const names[] = {"audit", "who", "what"};
  for (int i = 0; i < 3; ++i) {
    lua_pushlightuserdata(L, &context);
    lua_pushcclosure(L, functions[i], 1);
    lua_setglobal(L, names[i]);
  }
}

}  // namespace runner
