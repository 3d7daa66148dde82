#!/usr/bin/env python3
"""A one-node Slurm cluster on this machine, for the tests that run batch jobs.

    slurm_cluster.py start DIR SLOTS LIFETIME_S   exit 0 once the node takes jobs, 77 when it cannot
    slurm_cluster.py stop DIR                     ends the daemons and removes DIR

start makes a munge key, writes DIR/slurm.conf (free loopback ports, no
accounting, SLOTS task slots on this host whatever its CPU count), and runs
munged, slurmctld and slurmd, each in its own session under `timeout` so
none outlives LIFETIME_S. Clients reach the cluster with SLURM_CONF set to
DIR/slurm.conf. When the node does not come up, the reason is printed from
the daemons' logs and the daemons are ended.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

DAEMONS = ("munged", "slurmctld", "slurmd")
NEEDED = ("munged", "slurmctld", "slurmd", "sbatch", "srun", "sinfo", "timeout")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def config(directory, slots, host):
    return "\n".join([
        "ClusterName=tarvextest",
        "SlurmctldHost=%s(127.0.0.1)" % host,
        "SlurmctldPort=%d" % free_port(),
        "SlurmdPort=%d" % free_port(),
        "SlurmUser=root",
        "SlurmdUser=root",
        "AuthType=auth/munge",
        "CredType=cred/munge",
        "AuthInfo=socket=%s/munge.socket" % directory,
        "StateSaveLocation=%s/state" % directory,
        "SlurmdSpoolDir=%s/spool" % directory,
        "SlurmctldPidFile=%s/slurmctld.pid" % directory,
        "SlurmdPidFile=%s/slurmd.pid" % directory,
        "SlurmctldLogFile=%s/slurmctld.log" % directory,
        "SlurmdLogFile=%s/slurmd.log" % directory,
        "SlurmctldDebug=info",
        "SlurmdDebug=info",
        "ProctrackType=proctrack/linuxproc",
        "TaskPlugin=task/none",
        "SwitchType=switch/none",
        "MpiDefault=none",
        "JobAcctGatherType=jobacct_gather/none",
        "AccountingStorageType=accounting_storage/none",
        "JobCompType=jobcomp/none",
        "SelectType=select/cons_tres",
        "SelectTypeParameters=CR_Core",
        "ReturnToService=2",
        # The node is declared with more slots than this machine may have.
        "SlurmdParameters=config_overrides",
        "SlurmdTimeout=30",
        "InactiveLimit=0",
        "KillWait=5",
        "MinJobAge=300",
        "NodeName=%s NodeAddr=127.0.0.1 CPUs=%d State=UNKNOWN" % (host, slots),
        "PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=NO",
        "",
    ])


def spawn(directory, name, command, lifetime, env):
    log = open(os.path.join(directory, name + ".out"), "w")
    child = subprocess.Popen(["timeout", str(lifetime)] + command, stdin=subprocess.DEVNULL, stdout=log,
                             stderr=subprocess.STDOUT, start_new_session=True, env=env)
    with open(os.path.join(directory, name + ".group"), "w") as f:
        f.write(str(child.pid))
    return child


def tail(path, lines=6):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:]).strip()
    except OSError:
        return "(no log)"


def why_down(directory):
    parts = []
    for name, logs in (("munged", ("munged.log", "munged.out")), ("slurmctld", ("slurmctld.log", "slurmctld.out")),
                       ("slurmd", ("slurmd.log", "slurmd.out"))):
        for log in logs:
            text = tail(os.path.join(directory, log))
            if text and text != "(no log)":
                parts.append("%s (%s):\n%s" % (name, log, text))
    return "\n".join(parts) or "no daemon wrote a log"


def node_state(env):
    try:
        out = subprocess.run(["sinfo", "-h", "-N", "-o", "%t"], env=env, capture_output=True, text=True,
                             timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return out.strip()


def stop(directory):
    groups = []
    for name in reversed(DAEMONS):
        try:
            with open(os.path.join(directory, name + ".group")) as f:
                groups.append(int(f.read().strip()))
        except (OSError, ValueError):
            pass
    for group in groups:
        try:
            os.killpg(group, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 10
    for group in groups:
        while time.monotonic() < deadline:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                break
            time.sleep(0.1)
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
    shutil.rmtree(directory, ignore_errors=True)


def start(directory, slots, lifetime):
    missing = [tool for tool in NEEDED if not shutil.which(tool)]
    if missing:
        print("Slurm or munge is not installed (missing %s)" % ", ".join(missing))
        return 77
    stop(directory)
    for sub in ("state", "spool"):
        os.makedirs(os.path.join(directory, sub), mode=0o700)
    os.chmod(directory, 0o700)
    key = os.path.join(directory, "munge.key")
    with open(key, "wb") as f:
        f.write(os.urandom(1024))
    os.chmod(key, 0o400)
    host = socket.gethostname().split(".")[0]
    conf = os.path.join(directory, "slurm.conf")
    with open(conf, "w") as f:
        f.write(config(directory, slots, host))
    env = dict(os.environ, SLURM_CONF=conf)
    # --force: the key and socket live in a directory munged would call insecure.
    munged = spawn(directory, "munged", [
        "munged", "--foreground", "--force", "--key-file", key, "--socket", directory + "/munge.socket",
        "--pid-file", directory + "/munged.pid", "--log-file", directory + "/munged.log",
        "--seed-file", directory + "/munged.seed"], lifetime, env)
    deadline = time.monotonic() + 10
    while not os.path.exists(directory + "/munge.socket"):
        if munged.poll() is not None or time.monotonic() > deadline:
            print("munged did not start:\n" + why_down(directory))
            stop(directory)
            return 77
        time.sleep(0.05)
    spawn(directory, "slurmctld", ["slurmctld", "-D", "-i", "-f", conf], lifetime, env)
    spawn(directory, "slurmd", ["slurmd", "-D", "-f", conf, "-N", host], lifetime, env)
    deadline = time.monotonic() + 30
    state = ""
    while time.monotonic() < deadline:
        state = node_state(env)
        if state in ("idle", "mix", "alloc"):
            return 0
        time.sleep(0.25)
    print("the Slurm node did not come up (state %r):\n%s" % (state, why_down(directory)))
    stop(directory)
    return 77


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "stop":
        stop(sys.argv[2])
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "start":
        return start(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    print(__doc__.strip().splitlines()[2], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
