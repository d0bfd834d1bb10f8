// Validation speed per format, in MB/s of file: real photos from the corpus and larger files
// ImageMagick writes at start-up (12 MP where the format is a camera's). The sink validates
// every recovered file, so these compare with the speed of copying it out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "validate/Spans.h"
#include "validate/Validator.h"

namespace {

std::vector<unsigned char> Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// A 4000x3000 picture written by ImageMagick with `options` (empty when it cannot).
std::vector<unsigned char> Made(const std::string& name, const std::string& options) {
  const std::string path = std::string(SALVOR_BINARY_DIR) + "/bench-validate-" + name;
  std::ifstream cached(path);
  if (!cached) {
    const std::string command = "convert -seed 9 -size 4000x3000 plasma:fractal -blur 0x2 " +
                                options + " '" + path + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
  }
  return Load(path);
}

void Validate(benchmark::State& state, const std::string& type,
              const std::vector<unsigned char>& file) {
  const salvor::ValidateFunction validate = salvor::FindValidator(type);
  if (validate == nullptr || file.empty()) {
    state.SkipWithError("no validator or no file");
    return;
  }
  salvor::MemorySpan span(file);
  for (auto _ : state) benchmark::DoNotOptimize(validate(span));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}

void Register(const std::string& name, const std::string& type,
              const std::vector<unsigned char>& file) {
  benchmark::RegisterBenchmark(("Validate/" + name).c_str(), [type, file](benchmark::State& state) {
    Validate(state, type, file);
  })->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = std::string(SALVOR_TESTDATA_DIR) + "/corpus/";
  Register("heic-grid-8.5MP", "heic", Load(corpus + "heic/IMG_5195.HEIC"));
  Register("heic-12MP", "heic", Made("12mp.heic", "-quality 60"));
  Register("avif-12MP", "avif", Made("12mp.avif", "-quality 60"));
  Register("tiff-lzw-scan", "tif", Load(corpus + "tiff/BSG1.tiff"));
  Register("tiff-lzw-12MP", "tif", Made("lzw.tif", "-compress lzw"));
  Register("tiff-zip-12MP", "tif", Made("zip.tif", "-compress zip"));
  Register("tiff-packbits-12MP", "tif", Made("packbits.tif", "-compress rle"));
  Register("tiff-none-12MP", "tif", Made("none.tif", "-compress none"));
  Register("psd-rle-12MP", "psd", Made("rle.psd", "-compress rle"));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
