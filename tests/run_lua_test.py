#!/usr/bin/env python3
"""Runs one script test with the built tarvex and checks what its header asks.

Header comments at the top of the script (before the first line that is not a
comment) say what is expected:

  -- args: a b c          arguments after the script path (shell words;
                          @SRC@ @BUILD@ @FIXTURES@ @WORK@ @LAYOUT@ are replaced)
  -- expect-exit: N       exit status (default 0)
  -- expect-stderr: RE    a line of standard error matches RE (may repeat)
  -- expect-stdout: RE    a line of standard output matches RE (may repeat)
  -- reject-stderr: RE    no line of standard error matches RE (may repeat)
  -- stderr-lines: N      standard error has exactly N lines
  -- timeout: N           seconds (also read by CMake)
  -- fixtures: NAMES      CTest fixtures the test needs (read by CMake)

A script that exits with 77 reports itself skipped (unless 77 is expected).
The script runs in its own empty work directory, with TEST_SOURCE_DIR,
TEST_BUILD_DIR, TEST_FIXTURE_DIR, TEST_WORK_DIR and TEST_LAYOUT_DUMP set.
"""
import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys


def read_header(path):
    header = []
    with open(path, encoding="utf-8") as script:
        for line in script:
            if line.startswith("#!"):
                continue
            if not line.startswith("--"):
                break
            match = re.match(r"^--\s*([a-z-]+):\s?(.*?)\s*$", line)
            if match:
                header.append((match.group(1), match.group(2)))
    return header


def main():
    parser = argparse.ArgumentParser()
    for name in ("tarvex", "work", "source", "build", "fixtures", "layout"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("script")
    opts = parser.parse_args()

    header = read_header(opts.script)
    replacements = {
        "@SRC@": opts.source, "@BUILD@": opts.build, "@FIXTURES@": opts.fixtures,
        "@WORK@": opts.work, "@LAYOUT@": opts.layout,
    }

    def expand(text):
        for key, value in replacements.items():
            text = text.replace(key, value)
        return text

    args, expect_exit, timeout = [], 0, 60
    expect_stderr, expect_stdout, reject_stderr, stderr_lines = [], [], [], None
    for key, value in header:
        if key == "args":
            args += [expand(word) for word in shlex.split(value)]
        elif key == "expect-exit":
            expect_exit = int(value)
        elif key == "expect-stderr":
            expect_stderr.append(expand(value))
        elif key == "expect-stdout":
            expect_stdout.append(expand(value))
        elif key == "reject-stderr":
            reject_stderr.append(expand(value))
        elif key == "stderr-lines":
            stderr_lines = int(value)
        elif key == "timeout":
            timeout = int(value)

    shutil.rmtree(opts.work, ignore_errors=True)
    os.makedirs(opts.work)
    env = dict(os.environ)
    env.update(TEST_SOURCE_DIR=opts.source, TEST_BUILD_DIR=opts.build,
               TEST_FIXTURE_DIR=opts.fixtures, TEST_WORK_DIR=opts.work,
               TEST_LAYOUT_DUMP=opts.layout)
    command = [opts.tarvex, os.path.abspath(opts.script)] + args
    try:
        done = subprocess.run(command, cwd=opts.work, env=env, capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as expired:
        print("timed out after %d s" % timeout)
        sys.stdout.write((expired.stdout or b"").decode(errors="replace"))
        sys.stdout.write((expired.stderr or b"").decode(errors="replace"))
        return 1

    stdout = done.stdout.decode(errors="replace")
    stderr = done.stderr.decode(errors="replace")
    failures = []
    if done.returncode == 77 and expect_exit != 77:
        print("skipped by the script")
        sys.stdout.write(stdout + stderr)
        return 77
    if done.returncode != expect_exit:
        failures.append("exit status %d, expected %d" % (done.returncode, expect_exit))
    for pattern in expect_stderr:
        if not re.search(pattern, stderr, re.MULTILINE):
            failures.append("no stderr line matches: " + pattern)
    for pattern in expect_stdout:
        if not re.search(pattern, stdout, re.MULTILINE):
            failures.append("no stdout line matches: " + pattern)
    for pattern in reject_stderr:
        if re.search(pattern, stderr, re.MULTILINE):
            failures.append("a stderr line matches rejected: " + pattern)
    if stderr_lines is not None and len(stderr.splitlines()) != stderr_lines:
        failures.append("stderr has %d lines, expected %d" % (len(stderr.splitlines()), stderr_lines))

    if failures:
        print("command:", " ".join(shlex.quote(c) for c in command))
        print("---- stdout ----")
        sys.stdout.write(stdout)
        print("---- stderr ----")
        sys.stdout.write(stderr)
        print("---- failures ----")
        for failure in failures:
            print(failure)
        return 1
    sys.stdout.write(stdout)
    sys.stdout.write(stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
