#!/usr/bin/env bash
# Runs the main job on the bundled sample.
set -euo pipefail
build=${1:-build}
"$build/tarvex" examples/hello.lua
