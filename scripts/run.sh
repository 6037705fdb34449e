#!/usr/bin/env bash
# The main job: installs what is missing, builds a Release build (build/release) when there is
# none or it is out of date, and runs rsmd in the foreground with the embedded default: a SQLite
# store under ./data, seeded once from the sample deployment. Extra arguments go to rsmd
# (for instance --listen 127.0.0.1:9000). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

dir=build/release
if [ ! -f "$dir/build.ninja" ]; then
    echo "=== configuring a Release build in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRSM_BENCHMARKS=OFF -DBUILD_TESTING=OFF >/dev/null
fi
# Ninja rebuilds only what is stale, and nothing when the build is up to date.
cmake --build "$dir" -j "$(nproc)" --target rsmd rsmctl

rsmctl=$dir/Sources/Programs/rsmctl/rsmctl
cat <<EOT
rsmd serves http://127.0.0.1:8470 (its first line below). In another terminal, try:
  $rsmctl products Pentrel,Orvane
  $rsmctl watch --types Pentrel
  $rsmctl enable Pentrel off
EOT
exec "$dir/Sources/Programs/rsmd/rsmd" --data ./data "$@"
