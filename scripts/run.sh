#!/usr/bin/env bash
echo "The host program is not built yet; run scripts/test.sh for the tests." >&2
exit 1
