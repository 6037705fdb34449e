#!/usr/bin/env bash
# A longer fuzzing run of every target (default five minutes each, two at a time on two cores).
# Usage: scripts/fuzz-soak.sh [seconds per target] [target names]
set -euo pipefail
seconds=${1:-300}
shift || true
exec "$(dirname "$0")/fuzz.sh" "$seconds" "$@"
