-- One replay split over four local processes, as hosts of one run would
-- split it: each sends its shard of the clients from a common start time and
-- writes JSON, two of them over two threads; the merge of the four says,
-- count for count, what one unsharded run of the capture says, and no client
-- was split. The merge refuses a missing shard, a doubled shard and a shard
-- of another capture, even one of the same size; a shard started after its
-- start time says so.
-- fixtures: shard_clients unbound
-- timeout: 120
-- expect-stdout: ^shards ok$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local shardrun = require("shardrun")

local capture, known, dir = shardrun.capture()
local port = shardrun.unbound_port()
local pacing = "-T keep"
local single = shardrun.single(capture, port, pacing)

-- The four shards at once, in the background, from one start time.
local start_at = os.time() + 2
local launches = {}
for index = 0, 3 do
    local threads = index % 2 == 1 and "-n 2" or ""
    launches[#launches + 1] = string.format("(%s replay -q -r %s -p %s %s %s --shard %d/4 --start-at %d "
        .. "--json shard-%d.json >shard-%d.out 2>shard-%d.err; echo $? >shard-%d.rc) &", arg[0], capture, port,
        pacing, threads, index, start_at, index, index, index, index)
end
sub.run("(" .. table.concat(launches, " ") .. " wait)")
local shards = {}
for index = 0, 3 do
    local code = sub.read(string.format("shard-%d.rc", index)):match("%d+")
    assert(code == "0", string.format("shard %d: exit %s, %s", index, tostring(code),
        sub.read(string.format("shard-%d.err", index))))
    shards[index + 1] = shardrun.load(string.format("shard-%d.json", index))
    local shard = shards[index + 1]
    assert(shard.meta.shard.index == index and shard.meta.shard.count == 4, "shard " .. index .. " meta")
    -- Nothing went before the common start.
    assert(shard.rate.started >= start_at, string.format("shard %d sent its first query at %.3f, before %d", index,
        shard.rate.started, start_at))
end
shardrun.check_split(shards, known)

local function merge(out, inputs, extra)
    return sub.run(string.format("%s replay -q --merge %s %s %s", arg[0], out, extra or "", table.concat(inputs, " ")))
end

local code, out, err = merge("merged.json", { "shard-3.json", "shard-1.json", "shard-0.json", "shard-2.json" },
    "--report merged.html")
assert(code == 0, "merge: " .. err)
assert(out:find("answered%s+" .. single.queries.answered), "merge summary: " .. out)
shardrun.check_merged(shardrun.load("merged.json"), single, shards)
assert(sub.read("merged.html"):find("<svg", 1, true), "the merged report has no chart")

-- Shards of other captures, started late: each says so and runs at once.
for _, other in ipairs({ "other", "same_size" }) do
    code, _, err = sub.run(string.format("%s replay -q -r %s/%s.pcap -p %s --shard 3/4 --start-at %d "
        .. "--json %s-3.json", arg[0], dir, other, port, os.time() - 5, other))
    assert(code == 0 and err:find("^tarvex replay: the start time passed [%d.]+ s ago; starting now\n"),
        "late start: " .. err)
end

for _, case in ipairs({
    { "missing", { "shard-0.json", "shard-1.json", "shard-2.json" }, "shard 3 of 4 is missing" },
    { "doubled", { "shard-0.json", "shard-1.json", "shard-1.json", "shard-2.json", "shard-3.json" },
        "inputs 2 and 3 are both shard 1" },
    { "other capture", { "shard-0.json", "shard-1.json", "shard-2.json", "other-3.json" },
        "inputs 1 and 4 are not from one run: different captures %(bytes %d+ and %d+%)" },
    { "other capture of the same size", { "shard-0.json", "shard-1.json", "shard-2.json", "same_size-3.json" },
        "inputs 1 and 4 are not from one run: different captures %(fingerprint %x+ and %x+%)" },
}) do
    code, out, err = merge("refused.json", case[2])
    assert(code == 1 and err:find("^tarvex replay: " .. case[3] .. "\n$"), case[1] .. ": exit " .. code .. ", " .. err)
    assert(out == "" and sub.read("refused.json") == "", case[1] .. ": wrote a result")
end
print("shards ok")
