#!/usr/bin/env bash
# Builds the project and runs its main job: the command-line compiler tessalc on
# the built-in encoder graph. Arguments, when given, are tessalc's own instead,
# for example: scripts/run.sh compile --encoder --layers 12 --tiles 1472
# File names in them are taken relative to the directory the script is run from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
  cd "$root"
  scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target tessalc
) >&2  # keeps standard output for tessalc, which may write a document there
if (($# == 0)); then
  set -- compile --encoder
fi
exec "$root/build/release/tools/tessalc" "$@"
