#!/usr/bin/env bash
# Sets everything up and runs the benchmarks; each prints its own table.
#   scripts/bench.sh            all of them
#   scripts/bench.sh store      one of: store, blob, engine
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
bash scripts/setup.sh
if [ "$which" = all ] || [ "$which" = store ]; then
  echo "=== GraphStore building and reading (bench/bench_store.py)"
  .venv/bin/python bench/bench_store.py
fi
if [ "$which" = all ] || [ "$which" = blob ]; then
  echo "=== serialize, deserialize, cone, to_dot (bench/bench_blob.py)"
  .venv/bin/python bench/bench_blob.py
fi
if [ "$which" = all ] || [ "$which" = engine ]; then
  echo "=== rewrite engine (bench/engine_bench.cpp)"
  .venv/bin/cmake -S . -B build-bench -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  .venv/bin/cmake --build build-bench -j 2 --target engine_bench >/dev/null
  build-bench/engine_bench
fi
