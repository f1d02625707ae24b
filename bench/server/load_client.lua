-- One client of the load test: for `seconds`, sets attribute "Load<client>" of a table to a new
-- value and reads it back, printing "ack <value>" for every change the server acknowledged and
-- "lat <microseconds>" for every call. arg[1]: client number, arg[2]: seconds.
local client, seconds = arg[1] or "0", tonumber(arg[2]) or 30
local tables = {"A0000001.TABLE001", "A0000001.TABLE002", "A0000001.TABLE003"}
local finish = now() + seconds
local n = 0
while now() < finish do
  n = n + 1
  local uri = "vqsobj:PhysicalTable\\" .. tables[n % #tables + 1]
  local value = client .. "-" .. n
  local started = now()
  local rc = metadata_setattr(uri, "Load" .. client, value)
  print(string.format("lat %.0f", (now() - started) * 1e6))
  if rc == 0 then print("ack " .. uri .. " " .. value) end
  started = now()
  local read = char(200)
  metadata_getattr(uri, "Load" .. client, read)
  print(string.format("lat %.0f", (now() - started) * 1e6))
end
