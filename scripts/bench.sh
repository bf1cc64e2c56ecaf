#!/usr/bin/env bash
# Sets everything up and runs the benchmarks; each prints its own table.
#   scripts/bench.sh            all of them
#   scripts/bench.sh store      one of: store, blob, engine, reduce, incremental, threads, scaling
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
bash scripts/setup.sh

# The free-threaded CPython 3.13 (built once and cached by scripts/cpython.sh)
# with the module freshly installed in .venv-3.13t.
free_threaded_venv() {
  local py
  py=$(bash scripts/cpython.sh 3.13t | tail -n1)
  [ -x .venv-3.13t/bin/python ] || "$py" -m venv .venv-3.13t
  .venv-3.13t/bin/python -c "import scikit_build_core, cmake, ninja" 2>/dev/null \
    || .venv-3.13t/bin/python -m pip install -q --only-binary=:all: scikit-build-core cmake ninja
  PATH="$PWD/.venv-3.13t/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    .venv-3.13t/bin/python -m pip install -q --no-build-isolation .
}
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
if [ "$which" = all ] || [ "$which" = scaling ]; then
  echo "=== every entry point on adversarial shapes at two sizes a decade apart (bench/bench_scaling.py)"
  .venv/bin/python bench/bench_scaling.py
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
  # Two reductions on two threads need the free-threaded interpreter.
  free_threaded_venv
  .venv-3.13t/bin/python bench/bench_reduce.py --threads-only
fi
if [ "$which" = all ] || [ "$which" = threads ]; then
  echo "=== add_op from 1, 2 and 4 threads, a store each and one shared store (bench/bench_threads.py)"
  # The free-threaded interpreter is where threads really run at once.
  free_threaded_venv
  .venv-3.13t/bin/python bench/bench_threads.py
  echo "--- the same on the GIL build"
  .venv/bin/python bench/bench_threads.py
fi
