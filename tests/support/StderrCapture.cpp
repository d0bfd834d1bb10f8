#include "tests/support/StderrCapture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testing_support {

StderrCapture::StderrCapture() {
  char name[] = "/tmp/salvor-stderr-XXXXXX";
  FFileFd = mkstemp(name);
  FPath = name;
  fflush(stderr);
  FSavedFd = dup(2);
  dup2(FFileFd, 2);
}

StderrCapture::~StderrCapture() {
  Stop();
}

std::string StderrCapture::Stop() {
  if (FSavedFd < 0) return std::string();
  fflush(stderr);
  dup2(FSavedFd, 2);
  close(FSavedFd);
  FSavedFd = -1;
  std::string text;
  lseek(FFileFd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(FFileFd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(FFileFd);
  unlink(FPath.c_str());
  return text;
}

}  // namespace testing_support
