#!/usr/bin/env bash
# Builds the project and runs its main job: the check program with its named checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tessal_checks
build/release/checks/tessal_checks "$@"
