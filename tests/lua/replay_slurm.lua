-- The Slurm batch script on a one-node cluster started here (munge with a
-- key made now, slurmctld and slurmd on loopback, four task slots): a job of
-- four tasks replays the capture to the loopback unbound, each task its
-- shard, and the job's last step merges them. The merge says, count for
-- count, what one unsharded run says, and no client was split over tasks;
-- a job whose tasks fail fails, unmerged.
-- The cluster is torn down whatever happens. Skipped when Slurm or munge is
-- missing or the cluster does not come up (the daemons' logs say why).
-- fixtures: shard_clients unbound
-- timeout: 180
-- expect-stdout: ^slurm ok$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local shardrun = require("shardrun")

local source = os.getenv("TEST_SOURCE_DIR")
local cluster_tool = "/usr/bin/python3 " .. source .. "/tests/servers/slurm_cluster.py"
local capture, known = shardrun.capture()
local port = shardrun.unbound_port()

-- Short, so that the munge socket's path fits a socket address.
local cluster = io.popen("mktemp -d /tmp/tarvex-slurm.XXXXXX"):read("*l")
assert(cluster and cluster ~= "", "mktemp failed")
local code, out = sub.run(string.format("%s start %s 4 170", cluster_tool, cluster))
if code ~= 0 then
    sub.run(string.format("%s stop %s", cluster_tool, cluster))
    io.write(out)
    os.exit(code == 77 and 77 or 1)
end

-- Submits the batch script with 4 tasks and waits for it; its exit status
-- and the job's output.
local function submit(results, replay_args)
    local env = string.format("SLURM_CONF=%s/slurm.conf TARVEX=%s CAPTURE=%s PORT=%s OUT_DIR=%s LEAD=2 "
        .. "REPLAY_ARGS='%s'", cluster, arg[0], capture, port, results, replay_args)
    os.remove("job.out")
    local status, _, err = sub.run(string.format("%s timeout 60 sbatch --wait -n 4 -o job.out "
        .. "%s/scripts/slurm/replay.sbatch", env, source))
    return status, sub.read("job.out") .. err
end

local function job()
    local results = os.getenv("TEST_WORK_DIR") .. "/results"
    local status, log = submit(results, "-T keep")
    assert(status == 0, string.format("sbatch: exit %d, job output:\n%s", status, log))
    assert(log:find("replay.sbatch: merged result of 4 tasks", 1, true), "job output:\n" .. log)
    local shards = {}
    for index = 0, 3 do
        shards[index + 1] = shardrun.load(string.format("%s/shard-%d.json", results, index))
        assert(shards[index + 1].meta.shard.index == index, "task " .. index .. " ran another shard")
    end
    shardrun.check_split(shards, known)
    local single = shardrun.single(capture, port, "-T keep")
    shardrun.check_merged(shardrun.load(results .. "/merged.json"), single, shards)
    assert(sub.read(results .. "/merged.html"):find("<svg", 1, true), "the merged report has no chart")

    -- Tasks that cannot run fail the job, and nothing is merged.
    status, log = submit(os.getenv("TEST_WORK_DIR") .. "/failed", "-T nosuch")
    assert(status ~= 0 and log:find("replay.sbatch: not merged: 0 of 4 results", 1, true)
        and sub.read(os.getenv("TEST_WORK_DIR") .. "/failed/merged.json") == "",
        string.format("failing tasks: exit %d, job output:\n%s", status, log))
end

local ok, problem = pcall(job)
sub.run(string.format("%s stop %s", cluster_tool, cluster))
assert(ok, problem)
assert(sub.read(cluster .. "/slurm.conf") == "", "the cluster's directory is still there")
print("slurm ok")
