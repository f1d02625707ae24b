--! before: --repository {tmp}/nothing.txt bad_locations.lua
--! before: --repository {tmp}/missing.json bad_locations.lua
--! before: --repository {source}/tests/runner/golden/repository/bad_seed.json bad_locations.lua
--! before: --repository {source}/tests/runner/golden/repository/not_a_database.db bad_locations.lua
--! before: repo export {tmp}/never-created.db {tmp}/out.json
--! before: repo import {source}/tests/runner/golden/repository/bad_seed.json {tmp}/x.db
-- Repository locations that cannot work are refused before the program runs, with the reason;
-- a bad seed file names its line and column. This line runs only in the final, plain run.
print("the sample repository still works:", metadata_version())
