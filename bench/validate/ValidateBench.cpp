// Validator throughput on real files: bench_validate FILE... validates each file by its
// extension, through a span that reads the file with pread (as the sink's would, page cache
// warm), and prints the verdict and MB/s (best of a few runs).

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "validate/Validator.h"

namespace {

class FileSpan : public salvor::ByteSpan {
 public:
  explicit FileSpan(int fd) : FFd(fd), FSize(lseek(fd, 0, SEEK_END)) {}
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override {
    if (offset < 0 || length <= 0 || offset >= FSize) return 0;
    const ssize_t got = pread(FFd, buffer, static_cast<size_t>(std::min(length, FSize - offset)),
                              static_cast<off_t>(offset));
    return got < 0 ? 0 : got;
  }

 private:
  int FFd;
  long long FSize;
};

const char* Name(salvor::Verdict verdict) {
  switch (verdict) {
    case salvor::Verdict::kIntact:
      return "intact";
    case salvor::Verdict::kDamaged:
      return "damaged";
    default:
      return "cannot tell";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_validate FILE...\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    std::string type = path.substr(path.rfind('.') + 1);
    std::transform(type.begin(), type.end(), type.begin(), ::tolower);
    const salvor::ValidateFunction validate = salvor::FindValidator(type);
    const int fd = open(path.c_str(), O_RDONLY);
    if (validate == nullptr || fd < 0) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), fd < 0 ? "cannot open" : "no validator");
      if (fd >= 0) close(fd);
      status = 1;
      continue;
    }
    FileSpan span(fd);
    salvor::Validation answer;
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
      const auto start = std::chrono::steady_clock::now();
      answer = validate(span);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
    }
    close(fd);
    std::printf("%-40s %12lld bytes  %-11s end %lld good %lld damaged %lld  %8.1f MB/s  %s\n",
                path.c_str(), span.Size(), Name(answer.verdict), answer.end, answer.goodUntil,
                answer.damagedAt, span.Size() / best / 1e6, answer.reason.c_str());
  }
  return status;
}
