-- One worker of the shared-load benchmark (bench_shared_load starts it under mdhost):
--   mdhost --repository URI load_worker.lua WORKER OBJECTS END_TIME LOG
-- Until now() reaches END_TIME (seconds on mdhost's steady clock, the driver's clock too), it
-- runs a mix on objects L0000001.00000000 .. OBJECTS-1 of type Thing named T<n>:
--   40% resolutions by name, 30% attribute reads, 20% attribute writes (half of them a pair of
--   attributes written one after the other with one value), 10% authorization checks.
-- LOG gets one line per committed change, written only after the call reported success:
--   A <object id> <attribute> <value> <ms>     one attribute written
--   P <object id> <value> <ms>                 Pair<worker>A and Pair<worker>B both written
-- and at the end "L <ms> <ms> ..." lines with every operation's latency and
--   T <operations> <failures> <first start> <last end>
-- Values are "<worker>:<sequence>", so a value tells which write it was.
local worker, objects, endTime, logPath = tonumber(arg[1]), tonumber(arg[2]), tonumber(arg[3]), arg[4]
assert(worker and objects and endTime and logPath, "usage: WORKER OBJECTS END_TIME LOG")
local log = assert(io.open(logPath, "w"))
math.randomseed(worker * 7919 + 1)

local single = "W" .. worker
local pairA, pairB = "Pair" .. worker .. "A", "Pair" .. worker .. "B"
local kind, id, value = char(16), char(20), char(64)
local latencies, failures, seq = {}, 0, 0

local function objectId(n) return string.format("L0000001.%08d", n) end

local first = now()
local finish = first
while finish < endTime do
  local n = math.random(0, objects - 1)
  local which = math.random(0, 99)
  local uri = "vqsobj:Thing\\" .. objectId(n)
  local start = now()
  local ok, line
  if which < 40 then
    ok = metadata_resolve("vqsobj:Thing?@Name='T" .. n .. "'", kind, id) == 1
      and id.trimmed == objectId(n)
  elseif which < 70 then
    ok = metadata_getattr(uri, "Group", value) == 0 and value.trimmed == tostring(n % 100)
  elseif which < 80 then
    seq = seq + 1
    local v = worker .. ":" .. seq
    ok = metadata_setattr(uri, single, v) == 0
    line = "A " .. objectId(n) .. " " .. single .. " " .. v
  elseif which < 90 then
    seq = seq + 1
    local v = worker .. ":" .. seq
    ok = metadata_setattr(uri, pairA, v) == 0 and metadata_setattr(uri, pairB, v) == 0
    line = "P " .. objectId(n) .. " " .. v
  else
    local called, granted = pcall(access, uri, which < 95 and "Read" or "Write")
    ok = called and type(granted) == "boolean"
  end
  finish = now()
  local ms = (finish - start) * 1000
  latencies[#latencies + 1] = string.format("%.3f", ms)
  if not ok then
    failures = failures + 1
  elseif line then
    log:write(line, " ", string.format("%.3f", ms), "\n")
  end
end

for i = 1, #latencies, 64 do
  log:write("L ", table.concat(latencies, " ", i, math.min(i + 63, #latencies)), "\n")
end
log:write(string.format("T %d %d %.6f %.6f\n", #latencies, failures, first, finish))
log:close()
