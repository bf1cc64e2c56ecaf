#!/usr/bin/env bash
# Sets everything up and runs the benchmarks; each prints its own table.
#   scripts/bench.sh            all of them
#   scripts/bench.sh store      one of: store, blob, engine, reduce, incremental, threads
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
if [ "$which" = all ] || [ "$which" = incremental ]; then
  echo "=== IncrementalReducer steps and finalize beside reduce (bench/bench_incremental.py)"
  .venv/bin/python bench/bench_incremental.py
fi
if [ "$which" = all ] || [ "$which" = engine ]; then
  echo "=== rewrite engine (bench/engine_bench.cpp)"
  .venv/bin/cmake -S . -B build-bench -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  .venv/bin/cmake --build build-bench -j 2 --target engine_bench >/dev/null
  build-bench/engine_bench
fi
if [ "$which" = all ] || [ "$which" = reduce ]; then
  echo "=== reduce, by phase, beside Dask's cull + fuse (bench/bench_reduce.py, bench/reduce_bench.cpp)"
  # Dask is the baseline of this benchmark only, never a dependency of the module.
  .venv/bin/python -c "import dask.optimization" 2>/dev/null || .venv/bin/python -m pip install -q dask
  .venv/bin/cmake -S . -B build-bench -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  .venv/bin/cmake --build build-bench -j 2 --target reduce_bench >/dev/null
  .venv/bin/python bench/bench_reduce.py --phases-binary build-bench/reduce_bench
  # Two reductions on two threads need the free-threaded interpreter (scripts/test-freethreaded.sh
  # builds it and .venv-ft); skipped when it is not there.
  if [ -x .venv-ft/bin/python ]; then
    PATH="$PWD/.venv-ft/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2 .venv-ft/bin/python -m pip install -q --no-build-isolation .
    .venv-ft/bin/python bench/bench_reduce.py --threads-only
  else
    echo "no .venv-ft: run scripts/test-freethreaded.sh once for the two-thread figure"
  fi
fi
if [ "$which" = all ] || [ "$which" = threads ]; then
  echo "=== add_op from 1, 2 and 4 threads, a store each and one shared store (bench/bench_threads.py)"
  # The free-threaded interpreter is where threads really run at once; scripts/test-freethreaded.sh
  # builds it (cached) and .venv-ft, and this reinstalls the module there.
  PY=$(bash scripts/freethreaded-python.sh | tail -n1)
  [ -x .venv-ft/bin/python ] || "$PY" -m venv .venv-ft
  .venv-ft/bin/python -c "import scikit_build_core, cmake, ninja" 2>/dev/null \
    || .venv-ft/bin/python -m pip install -q --only-binary=:all: scikit-build-core cmake ninja
  PATH="$PWD/.venv-ft/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2 .venv-ft/bin/python -m pip install -q --no-build-isolation .
  .venv-ft/bin/python bench/bench_threads.py
  echo "--- the same on the GIL build"
  .venv/bin/python bench/bench_threads.py
fi
