// How the map operations and the map file scale with the number of
// bindings, and what the two parsers cost. Run: build/bench/zembril_bench
// (configure with -DZEMBRIL_BENCH=ON). Whole runs against sqlite3 and the
// durable-write floor: bench/run.sh.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "classMap/tClassMapStore.h"
#include "classMap/tCommandFileGrammar.h"
#include "mapFile/tMapFile.h"
#include "persistentStorage/tFileSystemAdapter.h"
#include "tool/tCommandLine.h"

namespace {

using namespace nDRAVI100;

// A private root for the stores the benchmarks build; never the real one.
const std::string& benchRoot() {
  static const std::string root = [] {
    std::string pattern = "/tmp/zembril-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::filesystem::create_directories(pattern + "/usr/local/tolvane/.mirtal/etc");
    return pattern;
  }();
  return root;
}

tClassNameMap makeMap(std::int64_t bindings) {
  tClassNameMap map;
  for (std::int64_t i = 0; i < bindings; ++i) {
    map.assign("com.example.Class" + std::to_string(i),
               "/usr/lib64/libexample" + std::to_string(i % 16) + ".so");
  }
  return map;
}

void BM_WriteMapFile(benchmark::State& state) {
  const tClassNameMap map = makeMap(state.range(0));
  for (auto _ : state) {
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    tStatus status = 0;
    writeMapFileDescriptor(out, map, &map, status);
    ::close(out);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_WriteMapFile)->Range(16, 1 << 16);

// The loader's path: the map file's descriptor, read in large pieces; with
// range(1) 0, the check of a run that needs no bindings, which keeps none.
void BM_ReadMapFileDescriptor(benchmark::State& state) {
  const tClassNameMap map = makeMap(state.range(0));
  const bool keep = state.range(1) != 0;
  const std::string path = benchRoot() + "/read.map";
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  tStatus status = 0;
  writeMapFileDescriptor(out, map, &map, status);
  ::close(out);
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    tClassNameMap first;
    tClassNameMap second;
    const tMapFileScan scan =
        readMapFileDescriptor(fd, 2, keep ? &first : nullptr, keep ? &second : nullptr, status);
    ::close(fd);
    if (!scan.asWritten) state.SkipWithError("the file did not check as written");
    benchmark::DoNotOptimize(first.size());
  }
  if (isError(status)) state.SkipWithError(("read failed: " + std::to_string(status)).c_str());
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_ReadMapFileDescriptor)->Ranges({{16, 1 << 16}, {0, 1}});

// A save of maps loaded from their file, one binding added: the records
// the image holds as written go out from where they stand. Into a file, as
// a save writes: /dev/null would never read the bytes it is handed.
void BM_SaveFromImage(benchmark::State& state) {
  const tClassNameMap map = makeMap(state.range(0));
  const std::string path = benchRoot() + "/image.map";
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  tStatus status = 0;
  writeMapFileDescriptor(out, map, &map, status);
  ::close(out);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  tClassNameMap first;
  tClassNameMap second;
  (void)readMapFileDescriptor(fd, 2, &first, &second, status);
  ::close(fd);
  first.assign("com.example.Class", "/usr/lib64/libnew.so");
  const std::string saved = benchRoot() + "/saved.map";
  for (auto _ : state) {
    const int into = ::open(saved.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    writeMapFileDescriptor(into, first, &second, status);
    ::close(into);
  }
  if (isError(status)) state.SkipWithError(("save failed: " + std::to_string(status)).c_str());
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_SaveFromImage)->Range(16, 1 << 20);

// Adds as an installer's command file brings them, out of order, and the
// one ordered walk that a save makes: the hash table and the sort.
void BM_AddInScrambledOrder(benchmark::State& state) {
  const auto count = static_cast<std::uint64_t>(state.range(0));
  std::vector<std::string> names;
  // 7919 is prime and no size here is a multiple of it: every index once.
  for (std::uint64_t i = 0; i < count; ++i) {
    names.push_back("com.example.module.Class" + std::to_string(i * 7919 % count));
  }
  for (auto _ : state) {
    tClassNameMap map;
    for (const std::string& name : names) (void)map.tryAdd(name, "/usr/lib64/libexample.so.1");
    benchmark::DoNotOptimize(map.begin());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddInScrambledOrder)->Range(1 << 10, 1 << 17);

// The bindings of a bulk command file, shaped as bench/bindings.awk makes
// them: namespaced names of 20 to 40 bytes, in a scrambled order.
std::vector<std::pair<std::string, std::string>> bulkAdds(std::uint64_t count) {
  static const char* const tlds[] = {"com", "org", "net", "io", "de"};
  static const char* const vendors[] = {"acme",  "globex",    "initech", "umbrellacorp",
                                        "hooli", "piedpiper", "soylent", "tyrell",
                                        "wonka", "cyberdyne", "vandelay"};
  static const char* const modules[] = {"ui",    "net",   "storage", "render",
                                        "audio", "codec", "crypto",  "widgets"};
  std::vector<std::pair<std::string, std::string>> adds;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t j = i * 7919 % count;
    char name[64];
    char path[64];
    (void)std::snprintf(name, sizeof name, "%s.%s.%s.Class%04llu", tlds[j % 5], vendors[j % 11],
                        modules[j / 11 % 8], static_cast<unsigned long long>(j));
    (void)std::snprintf(path, sizeof path, "/usr/lib64/%s/lib%s%llu.so.%llu", vendors[j % 11],
                        modules[j / 11 % 8], static_cast<unsigned long long>(j % 37),
                        static_cast<unsigned long long>(j % 4));
    adds.emplace_back(name, path);
  }
  return adds;
}

// The adds of a bulk command file settled by the one walk a save makes:
// the sort alone is timed, the adds are not.
void BM_SortBulkAdds(benchmark::State& state) {
  const auto adds = bulkAdds(static_cast<std::uint64_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    {
      tClassNameMap map;
      for (const auto& [name, path] : adds) map.addUnlessBound(name, path);
      state.ResumeTiming();
      benchmark::DoNotOptimize(map.begin());
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortBulkAdds)->Arg(100000)->Unit(benchmark::kMillisecond);

// The map a bulk command file yields, written: its names stand in the
// order they were added, scattered once sorted, as a run's do.
void BM_WriteBulkMap(benchmark::State& state) {
  tClassNameMap map;
  for (const auto& [name, path] : bulkAdds(static_cast<std::uint64_t>(state.range(0)))) {
    map.addUnlessBound(name, path);
  }
  benchmark::DoNotOptimize(map.begin());
  for (auto _ : state) {
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    tStatus status = 0;
    writeMapFileDescriptor(out, map, nullptr, status);
    ::close(out);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteBulkMap)->Arg(100000)->Unit(benchmark::kMillisecond);

// The lines of a bulk command file ("U, add, CLASS, LIBRARY"), each found
// and split and taken for an add where it stands, as a run's reader does.
void BM_SplitBulkLines(benchmark::State& state) {
  std::string text;
  for (const auto& [name, path] : bulkAdds(static_cast<std::uint64_t>(state.range(0)))) {
    text.append("U, add, ").append(name).append(", ").append(path).append("\n");
  }
  const std::string lines = text;
  for (auto _ : state) {
    // A split may move a line's bytes: each pass starts from the file's.
    state.PauseTiming();
    text = lines;
    state.ResumeTiming();
    tStatus status = 0;
    tSplitLine line;
    std::size_t adds = 0;
    for (std::size_t at = 0; at < text.size();) {
      at += splitFirstLine({text.data() + at, text.size() - at}, line, status);
      tMapScope scope = 0;
      adds += isFileAdd(line, scope) ? 1 : 0;
    }
    benchmark::DoNotOptimize(adds);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SplitBulkLines)->Arg(100000)->Unit(benchmark::kMillisecond);

// One pass over the map, however many bindings name the library.
void BM_DeleteLib(benchmark::State& state) {
  (void)benchRoot();
  for (auto _ : state) {
    state.PauseTiming();
    tStatus status = 0;
    tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, benchRoot());
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      store.add("Class" + std::to_string(i), i % 2 == 0 ? "/even.so" : "/odd.so", 2, status);
    }
    state.ResumeTiming();
    store.deleteLib("/even.so", 2, status);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DeleteLib)->RangeMultiplier(4)->Range(64, 1 << 16)->Complexity();

void BM_SaveThroughTemporaryFile(benchmark::State& state) {
  (void)benchRoot();
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, benchRoot());
  store.reset(0, status);  // whatever an earlier size saved
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    store.add("Class" + std::to_string(i), "/lib.so", 0, status);
  }
  for (auto _ : state) store.saveAllMapFiles(status);
  if (isError(status)) state.SkipWithError(("save failed: " + std::to_string(status)).c_str());
}
BENCHMARK(BM_SaveThroughTemporaryFile)->Range(16, 1 << 14)->Unit(benchmark::kMillisecond);

// A line with brackets, and a plain one, whose commas are found by memchr.
void BM_ParseFileLine(benchmark::State& state) {
  const std::string line = state.range(0) == 0
                               ? "U,add,Map<std::string,Vector<int,Alloc>>,/usr/lib*/libmap.so"
                               : "U, add, com.acme.ui.Class1234, /usr/lib64/acme/libui12.so.3\n";
  for (auto _ : state) {
    tStatus status = 0;
    benchmark::DoNotOptimize(parseFileLine(removeWhitespace(line, status), status).getKind(status));
  }
}
BENCHMARK(BM_ParseFileLine)->Arg(0)->Arg(1);

void BM_ParseCommandLine(benchmark::State& state) {
  const std::vector<std::string> arguments = {"zembril",
                                              "/x64",
                                              "/U",
                                              "/add",
                                              "com.example.installer.Widget",
                                              "/usr/lib*/example/libwidget.so.1"};
  for (auto _ : state) {
    tStatus status = 0;
    tCommandRequest request;
    parseCommandLine(request, arguments, status);
    benchmark::DoNotOptimize(request.getKind(status));
  }
}
BENCHMARK(BM_ParseCommandLine);

}  // namespace
