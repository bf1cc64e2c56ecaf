#!/usr/bin/env bash
# Part of the full test run (scripts/test.sh): fuzz the IR blob reader for a
# bounded time. WEFTORY_FUZZ_SECONDS overrides the default of 60 seconds.
set -euo pipefail
exec bash "$(dirname "${BASH_SOURCE[0]}")/fuzz.sh" "${WEFTORY_FUZZ_SECONDS:-60}"
