#!/usr/bin/env bash
# Builds everything in Release and runs every test: the unit tests and the named checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset release
