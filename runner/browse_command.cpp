// mdhost show / ls / tree / graph: small Lua programs over the helpers (lua_helpers.lua.h), run
// exactly as a user's program runs, so the repository's security model decides what they show.
#include "runner/browse_command.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "runner/command_line.h"
#include "runner/lua_program.h"
#include "runner/program_session.h"

namespace runner {
namespace {

// Every program gets its operands in `arg` and the flag `json` (or `dot`) as a global.
constexpr const char* kShow = R"lua(
local d = describe(arg[1])
if asJson then print(json.encode(d, 2)) return end
print(d.uri .. (d.name and ("  " .. d.name) or ""))
if d.description and d.description ~= "" then print("  description: " .. d.description) end
if d.matches > 1 then print(string.format("  (the first of %d objects the URI matches)", d.matches)) end
local function list(title, items, show)
  if #items == 0 then return end
  print(title .. ":")
  for _, item in ipairs(items) do print("  " .. show(item)) end
end
list("attributes", d.attributes, function(a) return a.name .. " = " .. a.value end)
list("properties", d.properties, function(p) return p.name .. " = " .. p.value end)
list("associations", d.associations, function(a)
  return a.name .. ": " .. table.concat(a.objects, ", ")
end)
)lua";

constexpr const char* kList = R"lua(
local kind, condition = arg[1], arg[2]
if not kind:match("^[%a_][%w_]*$") then error("ls: '" .. kind .. "' is no type name", 0) end
local query = condition and ("vqsobj:" .. kind .. "?" .. condition) or kind
local value, rows = char(32767), {}
for uri, id, type in objects(query) do
  local name = metadata_getattr(uri, "Name", value) == 0 and value.trimmed or ""
  rows[#rows + 1] = {uri = uri, id = id, type = type, name = name}
end
if asJson then print(json.encode(rows, 2)) return end
for _, row in ipairs(rows) do print(row.id .. "  " .. row.name) end
)lua";

constexpr const char* kTree = R"lua(
local value = char(32767)
local function nameOf(uri)
  return metadata_getattr(uri, "Name", value) == 0 and value.trimmed or ""
end
-- Roots: the trees no other tree has among its SubTrees (so a seed that keeps one side of the
-- pair only still shows its roots).
local trees, inner = {}, {}
for uri, id in objects("Tree") do
  trees[#trees + 1] = uri
  for target in associations(uri, "SubTrees") do inner[target:upper()] = true end
end
local function node(uri, seen)
  local id, type = uri:match("\\(.*)$"), uri:match(":([^\\]*)\\")
  local n = {id = id, type = type, name = nameOf(uri)}
  if type ~= "Tree" or seen[uri:upper()] then return n end
  seen[uri:upper()] = true
  n.subtrees, n.members = {}, {}
  for target in associations(uri, "SubTrees") do n.subtrees[#n.subtrees + 1] = node(target, seen) end
  for target in associations(uri, "Members") do n.members[#n.members + 1] = node(target, seen) end
  seen[uri:upper()] = nil
  return n
end
local roots = {}
for _, uri in ipairs(trees) do
  if not inner[uri:upper()] then roots[#roots + 1] = node(uri, {}) end
end
if asJson then print(json.encode(roots, 2)) return end
local function show(n, indent)
  if n.type == "Tree" then
    print(indent .. n.name .. "/  (" .. n.id .. ")")
    for _, s in ipairs(n.subtrees or {}) do show(s, indent .. "  ") end
    for _, m in ipairs(n.members or {}) do show(m, indent .. "  ") end
  else
    print(indent .. n.name .. "  [" .. n.type .. " " .. n.id .. "]")
  end
end
for _, root in ipairs(roots) do show(root, "") end
)lua";

constexpr const char* kGraph = R"lua(
local d = describe(arg[1])
local value = char(32767)
local function label(uri, id, type)
  local name = metadata_getattr(uri, "Name", value) == 0 and value.trimmed or id
  return name, type
end
local function quoted(text) return '"' .. text:gsub('[\\"]', '\\%0') .. '"' end
local nodes, edges = {{id = d.id, name = d.name or d.id, type = d.type}}, {}
local known = {[d.id] = true}
for _, a in ipairs(d.associations) do
  for _, target in ipairs(a.objects) do
    local id, type = target:match("\\(.*)$"), target:match(":([^\\]*)\\")
    if not known[id] then
      known[id] = true
      local name = label(target, id, type)
      nodes[#nodes + 1] = {id = id, name = name, type = type}
    end
    edges[#edges + 1] = {from = d.id, to = id, association = a.name}
  end
end
if asDot then
  print("digraph " .. quoted(d.id) .. " {")
  for _, n in ipairs(nodes) do
    -- Two lines in the node: name, then type (the \n is Graphviz's line break).
    print("  " .. quoted(n.id) .. " [label=" .. quoted(n.name):sub(1, -2) .. "\\n" ..
          quoted(n.type):sub(2) .. "];")
  end
  for _, e in ipairs(edges) do
    print("  " .. quoted(e.from) .. " -> " .. quoted(e.to) .. " [label=" .. quoted(e.association) .. "];")
  end
  print("}")
  return
end
local names = {}
for _, n in ipairs(nodes) do names[n.id] = n.name end
for _, e in ipairs(edges) do
  print(names[e.from] .. " --" .. e.association .. "--> " .. names[e.to] .. "  (" .. e.to .. ")")
end
)lua";

struct Browse {
  const char* name;
  const char* usage;
  const char* program;
  size_t minOperands;
  size_t maxOperands;
  const char* flag;  // the one flag it takes
};

constexpr Browse kBrowses[] = {
    {"show", "mdhost [OPTIONS] show URI [--json]", kShow, 1, 1, "--json"},
    {"ls", "mdhost [OPTIONS] ls TYPE [QUERY] [--json]", kList, 1, 2, "--json"},
    {"tree", "mdhost [OPTIONS] tree [--json]", kTree, 0, 0, "--json"},
    {"graph", "mdhost [OPTIONS] graph URI [--dot]", kGraph, 1, 1, "--dot"},
};

}  // namespace

int browseCommand(const CommandLine& line) {
  const std::string& word = line.operands.at(0);
  const Browse* browse = nullptr;
  for (const Browse& candidate : kBrowses) {
    if (word == candidate.name) browse = &candidate;
  }
  if (browse == nullptr) return 2;
  std::vector<std::string> operands;
  bool flag = line.json && std::string(browse->flag) == "--json";
  for (size_t i = 1; i < line.operands.size(); ++i) {
    const std::string& operand = line.operands[i];
    if (operand == browse->flag) {
      flag = true;
    } else if (operand.size() > 2 && operand.rfind("--", 0) == 0) {
      std::cerr << "mdhost " << word << ": " << unknownOption(operand) << "\nusage: "
                << browse->usage << "\n";
      return 2;
    } else {
      operands.push_back(operand);
    }
  }
  if (operands.size() < browse->minOperands || operands.size() > browse->maxOperands) {
    std::cerr << "mdhost " << word << ": usage: " << browse->usage << "\n";
    return 2;
  }
  CommandLine run = line;
  run.command = Command::kRun;
  run.script = word;
  run.operands = operands;
  const char* flagName = std::string(browse->flag) == "--json" ? "asJson" : "asDot";
  return runWithProgramState(run, [&](lua_State* L) {
    lua_pushboolean(L, flag);
    lua_setglobal(L, flagName);
    // The program's own lines mean nothing to the user: a failure says only what was wrong.
    const std::string chunkName = "=mdhost " + word;
    if (luaL_loadbuffer(L, browse->program, std::strlen(browse->program), chunkName.c_str()) !=
            LUA_OK ||
        lua_pcall(L, 0, 0, 0) != LUA_OK) {
      std::string message = lua_tostring(L, -1) != nullptr ? lua_tostring(L, -1) : "failed";
      const std::string prefix = "mdhost " + word + ":";
      if (message.rfind(prefix, 0) == 0) {
        const size_t colon = message.find(": ", prefix.size());
        if (colon != std::string::npos) message = message.substr(colon + 2);
      }
      std::cerr << "mdhost " << word << ": " << message << "\n";
      lua_pop(L, 1);
      return 1;
    }
    return 0;
  });
}

}  // namespace runner
