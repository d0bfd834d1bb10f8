// Validator speed in MB/s of file bytes, per format: the camera photos under testdata, and
// files made at start-up with Debian's encoders (a format whose encoder is missing is left
// out). The sink validates every recovered file, so these compare with copying it out. Each
// benchmark validates its files from memory, so the figures are decoding alone.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "validate/Spans.h"
#include "validate/Validator.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Runs `command` with the output path appended, in a scratch folder; the file's bytes, or
// none when the encoder is missing.
Bytes Make(const std::string& name, const std::string& command) {
  static const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                           ("salvor-validate-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path path = dir / name;
  const std::string run =
      "cd '" + dir.string() + "' && (" + command + " '" + path.string() + "') >/dev/null 2>&1";
  if (std::system(run.c_str()) != 0) return {};
  return Load(path);
}

void Validate(benchmark::State& state, std::string type, std::vector<Bytes> files) {
  const salvor::ValidateFunction validate = salvor::FindValidator(type);
  long long bytes = 0;
  for (auto _ : state) {
    for (const Bytes& file : files) {
      salvor::MemorySpan span(file);
      benchmark::DoNotOptimize(validate(span));
      bytes += static_cast<long long>(file.size());
    }
  }
  state.SetBytesProcessed(bytes);
}

void Register(const std::string& name, const std::string& type, std::vector<Bytes> files) {
  files.erase(
      std::remove_if(files.begin(), files.end(), [](const Bytes& file) { return file.empty(); }),
      files.end());
  if (files.empty()) return;
  benchmark::RegisterBenchmark(name.c_str(), Validate, type, files)->Unit(benchmark::kMillisecond);
}

void RegisterAll() {
  std::vector<Bytes> camera;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(SALVOR_TESTDATA_DIR) + "/corpus/jpg"))
    if (entry.path().extension() == ".jpg") camera.push_back(Load(entry.path()));
  Register("jpeg/camera-testdata", "jpg", camera);

  // A 6-megapixel photo-like picture in each kind the formats have.
  const std::string picture =
                        "convert -seed 7 -size 3000x2000 plasma: -attenuate 0.3 +noise "
                        "Gaussian ",
                    ppm = picture + "ppm:- | cjpeg -quality 92 ";
  Register("jpeg/baseline", "jpg", {Make("b.jpg", ppm + ">")});
  Register("jpeg/restart", "jpg", {Make("r.jpg", ppm + "-restart 1 >")});
  Register("jpeg/progressive", "jpg", {Make("p.jpg", ppm + "-progressive >")});
  Register("png/rgb", "png", {Make("a.png", picture)});
  Register("png/animated", "apng",
           {Make("a.apng",
                 "ffmpeg -f lavfi -i mandelbrot=size=640x480:rate=10 -t 3 -plays 0 "
                 "-f apng")});
  Register("gif/still", "gif", {Make("a.gif", picture + "-colors 256")});
  Register("gif/animated", "gif",
           {Make("b.gif", "ffmpeg -f lavfi -i mandelbrot=size=640x480:rate=10 -t 3 -f gif")});
  Register("webp/lossy", "webp", {Make("a.webp", picture + "-quality 85")});
  Register("webp/lossless", "webp", {Make("b.webp", picture + "-define webp:lossless=true")});
  Register("webp/animated", "webp",
           {Make("c.webp",
                 "ffmpeg -f lavfi -i mandelbrot=size=640x480:rate=10 -t 3 -loop 0 "
                 "-c:v libwebp_anim -f webp")});
  Register("bmp/rle8", "bmp", {Make("a.bmp", picture + "-colors 200 -compress RLE")});
  Register("bmp/rows", "bmp", {Make("b.bmp", picture)});

  // 12 MP where the format is a camera's; the HEIF figures are the sink's check of the coded
  // units, not the decoding after the scan.
  const std::string corpus = std::string(SALVOR_TESTDATA_DIR) + "/corpus/",
                    large = "convert -seed 9 -size 4000x3000 plasma:fractal -blur 0x2 ";
  Register("heic/grid-8.5MP", "heic", {Load(corpus + "heic/IMG_5195.HEIC")});
  Register("heic/12MP", "heic", {Make("12mp.heic", large + "-quality 60")});
  Register("avif/12MP", "avif", {Make("12mp.avif", large + "-quality 60")});
  Register("tiff/lzw-scan", "tif", {Load(corpus + "tiff/BSG1.tiff")});
  Register("tiff/lzw-12MP", "tif", {Make("lzw.tif", large + "-compress lzw")});
  Register("tiff/zip-12MP", "tif", {Make("zip.tif", large + "-compress zip")});
  Register("tiff/packbits-12MP", "tif", {Make("packbits.tif", large + "-compress rle")});
  Register("tiff/none-12MP", "tif", {Make("none.tif", large + "-compress none")});
  Register("psd/rle-12MP", "psd", {Make("rle.psd", large + "-compress rle")});
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
