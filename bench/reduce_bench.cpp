// Times the reduction of stores read from IR blob files, phase by phase
// (snapshot, dead-code elimination, terms, engine, CSE, fusion, store build).
// bench/bench_reduce.py writes the blobs and prints the table; this prints
// one JSON line per file with the fastest of its runs.
//
//   reduce_bench [--repeat N] [--maximal] file.wir...

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "optimizer/reduce_graph.hpp"
#include "store/blob.hpp"

namespace {

using weftory::optimizer::ReductionReport;
using weftory::optimizer::ReductionTimings;
using weftory::store::BlobError;
using weftory::store::Store;
using weftory::support::Result;

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "reduce_bench: cannot open %s\n", path);
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double total(const ReductionTimings& t) {
  return t.snapshot + t.dead_code + t.terms + t.engine + t.cse + t.fusion + t.store_build;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  bool maximal = false;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--maximal") == 0) {
      maximal = true;
    } else {
      files.push_back(argv[i]);
    }
  }
  for (const char* path : files) {
    const std::vector<std::uint8_t> bytes = read_file(path);
    Result<std::unique_ptr<Store>, BlobError> read = weftory::store::read_blob(bytes);
    if (!read.ok()) {
      std::fprintf(stderr, "reduce_bench: %s: %s\n", path, read.error().message().c_str());
      return 2;
    }
    const auto store = std::move(read).value();
    ReductionTimings best;
    ReductionReport report;
    for (int run = 0; run < repeat; ++run) {
      ReductionTimings timings;
      auto reduced = weftory::optimizer::reduce_store(*store, std::nullopt, maximal, timings);
      if (!reduced.ok()) return 2;
      report = reduced.value().report;
      if (run == 0 || total(timings) < total(best)) best = timings;
    }
    std::printf(
        "{\"path\": \"%s\", \"nodes\": %llu, \"reduced_nodes\": %llu, \"snapshot\": %.9g, \"dead_code\": %.9g, "
        "\"terms\": %.9g, \"engine\": %.9g, \"cse\": %.9g, \"fusion\": %.9g, \"store_build\": %.9g}\n",
        path, static_cast<unsigned long long>(report.input_nodes),
        static_cast<unsigned long long>(report.reduced_nodes), best.snapshot, best.dead_code, best.terms,
        best.engine, best.cse, best.fusion, best.store_build);
    std::fflush(stdout);
  }
  return 0;
}
