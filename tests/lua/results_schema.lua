-- The JSON results the replay tool writes (one run, an empty run, a ramp,
-- merged shards) are valid against the schema kept in docs/, and a result
-- with a field gone is not (the validator really looks).
-- timeout: 60
-- expect-stdout: ^4 results valid, 1 broken one refused$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local synthetic = require("measurements")
local sub = require("subprocess")
local Results = require("tarvex.tools.lib.results")
local Json = require("tarvex.tools.lib.json")

local python = "/usr/bin/python3"
if sub.run("(" .. python .. " -c 'import jsonschema')") ~= 0 then
    print("skipped: " .. python .. " has no jsonschema module (Debian package python3-jsonschema)")
    os.exit(77)
end
local schema = os.getenv("TEST_SOURCE_DIR") .. "/docs/replay-result.schema.json"

local start = 1700000000
local queries = synthetic.queries(1500, start)
local ramp = synthetic.meta()
ramp.settings.ramp, ramp.settings.max_loss, ramp.settings.max_p99 = "100:300:100:2", 2, 50
ramp.steps = {
    { qps = 100, first_second = start, last_second = start + 1 },
    { qps = 200, first_second = start + 2, last_second = start + 3 },
}
local function shard(index)
    local result = Results.build({ synthetic.measure(queries, function(q) return q.client % 2 == index end) },
        synthetic.meta({ index = index, count = 2 }))
    return assert(Json.decode(assert(Json.encode(result))))
end
local documents = {
    run = Results.build({ synthetic.measure(queries) }, synthetic.meta()),
    empty = Results.build({ synthetic.measure({}) }, synthetic.meta()),
    ramp = Results.build({ synthetic.measure(queries) }, ramp),
    merged = assert(Results.merge({ shard(0), shard(1) })),
}
assert(#documents.ramp.steps == 2 and documents.ramp.steps[1].sent > 0)
local broken = assert(Json.decode(assert(Json.encode(documents.run))))
broken.queries.timed_out = nil

local names = {}
for name, document in pairs(documents) do
    sub.write(name .. ".json", assert(Json.encode(document)))
    names[#names + 1] = name .. ".json"
end
table.sort(names)
sub.write("broken.json", assert(Json.encode(broken)))

local checker = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/schema_check.py"
local function check(paths)
    return sub.run(string.format("%s %s %s %s", python, checker, schema, paths))
end
local code, out, err = check(table.concat(names, " "))
assert(code == 0, "schema check failed:\n" .. out .. err)
code, out, err = check("broken.json")
assert(code == 1, "broken.json was accepted: " .. out .. err)
assert(out:find("broken.json queries 'timed_out' is a required property", 1, true), out)
print(#names .. " results valid, 1 broken one refused")
