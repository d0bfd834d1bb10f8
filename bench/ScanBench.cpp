// Scan speed: every handler reads 16 bytes at the start of every block and recognises nothing,
// so the figures are the engine's own cost per block: progress, positioning, the stream's
// block lookup and the source's chunk copies. A memcpy pass over the same memory is the floor.
// BM_Modules scans a mixed image with the shipped content modules, aligned and unaligned.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/PropertylessHandler.h"
#include "salvor/CDataStream.h"
#include "plugin/DSBase.h"
#include "engine/SVPhotoRecovery.h"
#include "recovery/SinkBase.h"

namespace {

constexpr long long kSourceBytes = 1LL << 30;
constexpr long long kBlockSize = 512;
constexpr long long kChunkBytes = 16384;  // the engine's default read-ahead

std::vector<unsigned char>& Memory() {
  static std::vector<unsigned char> memory = [] {
    std::vector<unsigned char> bytes(static_cast<size_t>(kSourceBytes));
    for (size_t i = 0; i < bytes.size(); i += 4096) bytes[i] = static_cast<unsigned char>(i >> 12);
    return bytes;
  }();
  return memory;
}

class MemorySource : public CDSBase {
 public:
  explicit MemorySource(CPhotoRecovery* engine, const std::vector<unsigned char>& memory = Memory())
      : CDSBase(engine), FMemory(memory) {
    FUniqueID = "bench";
  }
  void GetOSPath(wchar_t* path) override { path[0] = 0; }
  long long GetBlockSize() override { return kBlockSize; }
  long long GetBlockCount() override { return static_cast<long long>(FMemory.size()) / kBlockSize; }
  bool IsFormatted() override { return false; }
  bool IsReady() override { return true; }
  void Refresh() override {}
  int GetType() override { return 0; }
  bool GetIcon(void*& icon) override {
    icon = nullptr;
    return false;
  }
  bool GetDisplayName(wchar_t* name) override {
    name[0] = 0;
    return false;
  }
  int GetLastIOError() override { return 0; }
  bool ReadBlocks(long long index, long long count, void* buffer) override {
    memcpy(buffer, FMemory.data() + index * kBlockSize, static_cast<size_t>(count * kBlockSize));
    return true;
  }
  bool WriteBlocks(long long, long long, void*) override { return false; }
  bool AcquireReadLock() override { return true; }
  bool AcquireWriteLock() override { return false; }
  void ReleaseReadLock() override {}
  void ReleaseWriteLock() override {}

 private:
  const std::vector<unsigned char>& FMemory;
};

class PeekingHandler : public PropertylessHandler {
 public:
  explicit PeekingHandler(int n) : FID("peek" + std::to_string(n)) {}
  const char* GetUniqueID() override { return FID.c_str(); }
  const char* GetMimeTypes() override { return ""; }
  bool IsEnabled() override { return true; }
  const char* GetDisplayName() override { return ""; }
  const char* GetFileExtensions() override { return ""; }
  bool DescribeFile(CDataStream*, char* extension, int) override {
    extension[0] = 0;
    return false;
  }
  bool RecognizeData(CDataStream* stream, long long, bool*, long long*, long long*) override {
    unsigned char head[16];
    stream->Read(sizeof head, head);
    benchmark::DoNotOptimize(head);
    return true;
  }
  bool FindEndOfFile(CDataStream*, long long, long long*) override { return false; }
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  std::string FID;
};

// A host that listens but never cancels: every progress and access call reaches it.
class QuietSink : public salvor::CSinkBase {
 public:
  void DSAccess(CDataSource*, long long, bool&) override { ++accesses; }
  void ScanProgress(long long, long long, bool&) override { ++progress; }
  long long accesses = 0;
  long long progress = 0;
};

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Figures from this thread's CPU time, so that other work on the machine counts for little.
void Report(benchmark::State& state, double cpuSeconds, long long handlers) {
  const double bytes = static_cast<double>(state.iterations()) * kSourceBytes;
  state.counters["MB_per_s"] = bytes / cpuSeconds / 1e6;
  if (handlers > 0) {
    const double handlerBlocks = bytes / kBlockSize * static_cast<double>(handlers);
    state.counters["ns_per_handler_block"] = cpuSeconds * 1e9 / handlerBlocks;
  }
}

void BM_Scan(benchmark::State& state) {
  const int handlerCount = static_cast<int>(state.range(0));
  Memory();
  SV::CPhotoRecovery engine;
  QuietSink sink;
  std::vector<std::unique_ptr<PeekingHandler>> handlers;
  for (int i = 0; i < handlerCount; ++i) {
    handlers.push_back(std::make_unique<PeekingHandler>(i));
    engine.CHAdded(handlers.back().get());
  }
  MemorySource source(&engine);
  engine.SetEventHandler(&sink);
  const double started = ThreadCpuSeconds();
  for (auto _ : state) benchmark::DoNotOptimize(engine.Scan(&source));
  const double cpuSeconds = ThreadCpuSeconds() - started;
  engine.SetEventHandler(nullptr);
  if (sink.progress != state.iterations() * handlerCount * (kSourceBytes / kBlockSize)) {
    state.SkipWithError("unexpected number of progress calls");
  }
  Report(state, cpuSeconds, handlerCount);
}

void BM_Memcpy(benchmark::State& state) {
  // The same memory copied in read-ahead chunks into a cache-sized ring, as the source does.
  std::vector<unsigned char> ring(2 << 20);
  const unsigned char* memory = Memory().data();
  const double started = ThreadCpuSeconds();
  for (auto _ : state) {
    for (long long at = 0; at < kSourceBytes; at += kChunkBytes) {
      memcpy(ring.data() + at % static_cast<long long>(ring.size()), memory + at, kChunkBytes);
    }
    benchmark::ClobberMemory();
  }
  Report(state, ThreadCpuSeconds() - started, 0);
}

// 64 MiB of random data, zeros, text and the sample media, each medium at a random byte offset
// after the piece before it, as in an archive or a memory dump.
// SALVOR_BENCH_IMAGE names a file to scan instead (its whole sectors).
const std::vector<unsigned char>& MixedImage() {
  static std::vector<unsigned char> image = [] {
    if (const char* path = std::getenv("SALVOR_BENCH_IMAGE")) {
      std::ifstream in(path, std::ios::binary);
      std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
      bytes.resize(bytes.size() / kBlockSize * kBlockSize);
      return bytes;
    }
    std::vector<std::vector<unsigned char>> media;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(SALVOR_TESTDATA_DIR "/corpus")) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.find(".md") != std::string::npos) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      media.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::mt19937_64 random(7);
    const std::string text =
        "The quick brown fox jumps over the lazy dog. 0123456789 Lorem ipsum dolor sit amet.\n";
    std::vector<unsigned char> bytes;
    bytes.reserve(64 << 20);
    while (bytes.size() < (64u << 20)) {
      const size_t length = (1 + random() % 4) << 20;
      switch (random() % 4) {
        case 0:
          for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<unsigned char>(random()));
          break;
        case 1:
          bytes.resize(bytes.size() + length, 0);
          break;
        case 2:
          for (size_t added = 0; added < length; added += text.size())
            bytes.insert(bytes.end(), text.begin(), text.end());
          break;
        default:
          for (size_t i = 1 + random() % 4095; i > 0; --i)
            bytes.push_back(static_cast<unsigned char>(random()));
          if (!media.empty()) {
            const auto& file = media[random() % media.size()];
            bytes.insert(bytes.end(), file.begin(), file.end());
          }
      }
    }
    bytes.resize(64 << 20);
    return bytes;
  }();
  return image;
}

class CountingSink : public salvor::CSinkBase {
 public:
  void FileRecovered(CContentHandler*, CDataStream*) override { ++files; }
  long long files = 0;
};

// The shipped content modules over the mixed image; Arg 1: every handler's Unaligned set.
void BM_Modules(benchmark::State& state) {
  const std::vector<unsigned char>& image = MixedImage();
  SV::CPhotoRecovery engine;
  std::stringstream names(SALVOR_BENCH_MODULES);
  for (std::string name; std::getline(names, name, ',');) {
    engine.AddContentPlugin((std::string(SALVOR_MODULE_DIR) + "/" + name + ".so").c_str());
  }
  for (int i = 0; i < engine.GetContentHandlerCount(); ++i) {
    engine.GetContentHandler(i)->SetIntPropValue("Unaligned", static_cast<int>(state.range(0)));
  }
  // The salvor tool's read-ahead and cache.
  engine.SetScanReadAhead(1 << 20);
  engine.SetScanCacheSize(4 << 20);
  CountingSink sink;
  MemorySource source(&engine, image);
  engine.SetEventHandler(&sink);
  const double started = ThreadCpuSeconds();
  for (auto _ : state) benchmark::DoNotOptimize(engine.Scan(&source));
  const double cpuSeconds = ThreadCpuSeconds() - started;
  engine.SetEventHandler(nullptr);
  state.counters["MB_per_s"] = static_cast<double>(state.iterations()) *
                               static_cast<double>(image.size()) / cpuSeconds / 1e6;
  state.counters["files"] =
      static_cast<double>(sink.files) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_Modules)->ArgName("unaligned")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Scan)->Arg(1)->Arg(4)->Arg(10)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
