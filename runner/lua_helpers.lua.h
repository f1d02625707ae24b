// The Lua half of the program's convenience layer (lua_helpers.cpp): iterators over objects,
// attributes, properties and associations, describe(), pretty() and help(). Everything here
// calls the package functions exactly as a program would, so the repository's security model
// decides what they see: an object the user may not read is no object to them.
#pragma once

namespace runner {

inline constexpr const char kLuaHelpers[] = R"lua(
local C = ...
local VALUE_CAPACITY = 32767
local URI_CAPACITY = 1024

-- The failure the last call reported, as "SYSMSG (0x...)", or nil when it reported none.
local function reported()
  local _, hex = sysrc()
  if hex == nil then return nil end
  return (symget("SYSMSG") or "") .. " (" .. hex .. ")"
end

-- Raises the error at the program's line that called the helper (the first caller outside
-- this chunk), as a package function's error names the program's line.
local getinfo = debug.getinfo
local function raise(message)
  local level = 2
  while true do
    local frame = getinfo(level, "S")
    if frame == nil then level = 1 break end
    if frame.source ~= "=mdhost helpers" and frame.what ~= "C" then break end
    level = level + 1
  end
  error(message, level)
end

local function fail(name, text, value)
  local why = reported()
  if value == -1 and why == nil then why = "no repository connection" end
  raise(name .. ": " .. text .. (why and (": " .. why) or ""))
end

local function checkText(name, value, what)
  if type(value) ~= "string" then
    raise(string.format("bad argument #1 to '%s' (%s expected, got %s)", name, what,
                        value == nil and "no value" or type(value)))
  end
end

-- "VQSOBJ:Type\Id" -> id, type
local function splitUri(uri)
  local kind, id = uri:match("^[^:]*:([^\\]*)\\(.*)$")
  return id, kind
end

-- The first object the URI matches, as its short URI, id and type; an error when none does.
local function resolveFirst(name, uri)
  local kind, id = char(256), char(256)
  local n = metadata_resolve(uri, kind, id)
  if n == -1 then fail(name, "cannot reach the repository", n) end
  if n <= 0 then fail(name, (reported() and "cannot resolve " or "no object matches ") .. uri, n) end
  return "VQSOBJ:" .. kind.trimmed .. "\\" .. id.trimmed, id.trimmed, kind.trimmed, n
end

function objects(query)
  checkText("objects", query, "a query or a type name")
  -- A bare type name asks for every object of the type (TYPE?TYPE: the path form without a
  -- condition).
  if not query:find(":", 1, true) then query = "vqsobj:" .. query .. "?" .. query end
  local uri = char(URI_CAPACITY)
  local count = metadata_getnobj(query, 1, uri)
  if count == -1 or (count < 0 and sysrc() ~= nil) then
    fail("objects", "cannot list " .. query, count)
  end
  local n, first = 0, count > 0 and uri.trimmed or nil
  return function()
    n = n + 1
    if n > count or count <= 0 then return nil end
    if n > 1 then
      if metadata_getnobj(query, n, uri) < 0 then return nil end
      first = uri.trimmed
    end
    return first, splitUri(first)
  end
end

-- The n-th pairs of a list function f(uri, n, name, value) -> count.
local function pairsOf(f, uri)
  local name, value = char(VALUE_CAPACITY), char(VALUE_CAPACITY)
  local n, count = 0, nil
  return function()
    n = n + 1
    local got = f(uri, n, name, value)
    if count == nil then count = got end
    if got < 0 or n > count then return nil end
    return name.trimmed, value.trimmed
  end
end

function attributes(uri)
  checkText("attributes", uri, "an object URI")
  local short = resolveFirst("attributes", uri)
  return pairsOf(metadata_getnatr, short)
end

function properties(uri)
  checkText("properties", uri, "an object URI")
  local short = resolveFirst("properties", uri)
  return pairsOf(metadata_getnprp, short)
end

-- The association names of an object, in their order.
local function associationNames(short)
  local names, name = {}, char(256)
  local count = metadata_getnasl(short, 1, name)
  for n = 1, count do
    if n > 1 and metadata_getnasl(short, n, name) < 0 then break end
    names[#names + 1] = name.trimmed
  end
  return names
end

local function targetsOf(short, association)
  local targets, target = {}, char(URI_CAPACITY)
  local count = metadata_getnass(short, association, 1, target)
  for n = 1, count do
    if n > 1 and metadata_getnass(short, association, n, target) < 0 then break end
    targets[#targets + 1] = target.trimmed
  end
  return targets
end

function associations(uri, association)
  checkText("associations", uri, "an object URI")
  local short = resolveFirst("associations", uri)
  if association ~= nil then
    if type(association) ~= "string" then
      raise("bad argument #2 to 'associations' (an association name expected)")
    end
    local targets, i = targetsOf(short, association), 0
    return function()
      i = i + 1
      if targets[i] == nil then return nil end
      return targets[i], splitUri(targets[i])
    end
  end
  local names, i, targets, j = associationNames(short), 1, nil, 0
  return function()
    while names[i] ~= nil do
      targets = targets or targetsOf(short, names[i])
      j = j + 1
      if targets[j] ~= nil then return names[i], targets[j] end
      i, targets, j = i + 1, nil, 0
    end
    return nil
  end
end

function describe(uri)
  checkText("describe", uri, "an object URI")
  local short, id, kind, matches = resolveFirst("describe", uri)
  local d = {uri = short, id = id, type = kind, matches = matches,
             attributes = {}, properties = {}, associations = {}}
  local value = char(VALUE_CAPACITY)
  if metadata_getattr(short, "Name", value) == 0 then d.name = value.trimmed end
  if metadata_getattr(short, "Desc", value) == 0 then d.description = value.trimmed end
  for name, text in pairsOf(metadata_getnatr, short) do
    d.attributes[#d.attributes + 1] = {name = name, value = text}
  end
  for name, text in pairsOf(metadata_getnprp, short) do
    d.properties[#d.properties + 1] = {name = name, value = text}
  end
  for _, name in ipairs(associationNames(short)) do
    d.associations[#d.associations + 1] = {name = name, objects = targetsOf(short, name)}
  end
  return d
end

-- pretty(value): a text that shows the value readably, tables laid out with their keys.
local pretty
local function keyText(k)
  if type(k) == "string" and k:match("^[%a_][%w_]*$") then return k end
  return "[" .. pretty(k, "", {}, true) .. "]"
end

local function orderedKeys(t)
  local keys, n = {}, #t
  for k in pairs(t) do
    if not (math.type(k) == "integer" and k >= 1 and k <= n) then keys[#keys + 1] = k end
  end
  table.sort(keys, function(a, b)
    if type(a) == type(b) and (type(a) == "string" or type(a) == "number") then return a < b end
    return type(a) < type(b)
  end)
  return keys, n
end

pretty = function(v, indent, seen, nested)
  indent, seen = indent or "", seen or {}
  if rawequal(v, missing) then return "." end
  if rawequal(v, absent) then return "absent" end
  if C.isCharacter(v) then return string.format("char(%d) %q", v.capacity, v.trimmed) end
  if type(v) == "string" then return nested and string.format("%q", v) or v end
  if type(v) ~= "table" then return tostring(v) end
  if seen[v] then return "{...}" end
  -- An explanation of access() reads best as the lines mdhost access prints.
  if type(v.lines) == "table" and type(v.summary) == "string" and v.steps ~= nil then
    return table.concat(v.lines, "\n" .. indent)
  end
  seen[v] = true
  local keys, n = orderedKeys(v)
  local parts, flat = {}, true
  for i = 1, n do parts[#parts + 1] = pretty(v[i], indent .. "  ", seen, true) end
  for _, k in ipairs(keys) do
    parts[#parts + 1] = keyText(k) .. " = " .. pretty(v[k], indent .. "  ", seen, true)
  end
  seen[v] = nil
  local length = 0
  for _, p in ipairs(parts) do
    length = length + #p + 2
    if p:find("\n", 1, true) then flat = false end
  end
  if #parts == 0 then return "{}" end
  if flat and length + #indent <= 96 then return "{ " .. table.concat(parts, ", ") .. " }" end
  return "{\n" .. indent .. "  " .. table.concat(parts, ",\n" .. indent .. "  ") .. "\n" .. indent .. "}"
end

function _G.pretty(v) return pretty(v, "", {}, false) end
C.setPrinter(_G.pretty)

-- help() and help(name).
local helpers = {
  {"objects(query)", "iterates over the objects a query matches: uri, id, type; a bare type name (objects(\"Person\")) means every object of the type"},
  {"attributes(uri)", "iterates over the attributes of the first object the URI matches: name, value"},
  {"properties(uri)", "iterates over its properties: name, value"},
  {"associations(uri [, name])", "iterates over its associations: name, target URI; with a name: target URI, id, type"},
  {"describe(uri)", "a table: uri, id, type, name, description, attributes, properties, associations"},
  {"pretty(value)", "the text the interactive loop prints for a value"},
  {"json.encode(value [, indent])", "a value as JSON text (json.null is null; missing is null)"},
  {"json.decode(text)", "JSON text as a Lua value (null is json.null)"},
  {"export(file)", "writes the repository to a seed file (.json); the local administrator only"},
  {"access(uri, permission [, identity])", "granted or not, and why (a table)"},
  {"char(n [, text])", "a character variable of capacity n"},
  {"symget(name)", "a macro variable's text: symget(\"SYSMSG\"), symget(\"SYSRC\")"},
  {"sysrc()", "the exact status code of the failure SYSRC shows: number and hex text"},
  {"hostlog([first])", "the host log lines so far"},
  {"calls([operation])", "calls of the metadata client interface per operation"},
  {"pool()", "pool blocks and bytes outstanding"},
  {"now()", "seconds on a steady clock"},
  {"newsession{context=, user=, password=, function() ... end}", "runs the function in a child session"},
  {"java.new(name, class), java.call(name, method), java.drop(name)", "Java objects of the program"},
  {"help([name])", "this list, or one function's reference"},
}

local function section(text, heading)
  local start = text:find("\n" .. heading .. "\n", 1, true)
  if start == nil then return nil end
  local stop = text:find("\n##", start + #heading + 2, true)
  return text:sub(start + 1, stop and stop - 1 or #text):gsub("%s+$", "")
end

local function kindsText(kinds)
  local names = {["1"] = "numeric", ["2"] = "character", ["6"] = "character out"}
  local out = {}
  for k in kinds:gmatch("%d") do out[#out + 1] = names[k] or k end
  return table.concat(out, ", ")
end

function help(name)
  local reference = C.reference()
  if name == nil then
    print("Package functions (also in lower case); help(\"NAME\") shows one:")
    local package
    for _, f in ipairs(C.functions()) do
      if f.package ~= package then
        package = f.package
        print("  " .. package .. ":")
      end
      local signature = (reference:match("\n`(" .. f.name .. "%b())`") or (f.name .. "(...)")):gsub("%s+", " ")
      print("    " .. signature)
    end
    print("mdhost's own:")
    for _, h in ipairs(helpers) do print(string.format("  %-34s %s", h[1], h[2])) end
    print("Status codes: help(\"status\"). Every page: docs/ (functions.md, mdhost.md, security.md).")
    return
  end
  if type(name) == "function" then
    for key, value in pairs(_G) do
      if value == name and type(key) == "string" then name = key break end
    end
  end
  if type(name) ~= "string" then raise("bad argument #1 to 'help' (a function or its name expected)") end
  if name:lower() == "status" then
    print(section(reference, "## Troubleshooting: status codes") or "")
    return
  end
  for _, f in ipairs(C.functions()) do
    if f.name:lower() == name:lower() then
      local text = section(reference, "### " .. f.name) or ("### " .. f.name)
      print(text)
      print(string.format("Arguments: %s to %s; kinds: %s.", f.min, f.max or "any number",
                          kindsText(f.kinds)))
      local common = f.package == "secfuncs" and section(reference, "## secfuncs")
      if f.package == "objfuncs" then
        common = reference:match("\n(Values common to the object functions:.-)\n\n")
      elseif common then
        common = common:match("^## secfuncs\n\n(.-)\n\n")
      end
      if common then print(common) end
      print("Status codes and what to check: help(\"status\").")
      return
    end
  end
  for _, h in ipairs(helpers) do
    local word = h[1]:match("^[%w_.]+")
    if word:lower() == name:lower() or word:lower():match("^[^.]+") == name:lower() then
      print(h[1] .. ": " .. h[2])
      return
    end
  end
  raise("help: no function '" .. name .. "' (help() lists them)")
end
)lua";

}  // namespace runner
