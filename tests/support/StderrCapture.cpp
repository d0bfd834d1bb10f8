#include "tests/support/StderrCapture.h"

#include <unistd.h>

namespace testing_support {

StderrCapture::StderrCapture() : FFile(tmpfile()) {
  fflush(stderr);
  FSavedFd = dup(2);
  dup2(fileno(FFile), 2);
}

std::string StderrCapture::Stop() {
  if (FSavedFd < 0) return std::string();
  fflush(stderr);
  dup2(FSavedFd, 2);
  close(FSavedFd);
  FSavedFd = -1;
  std::string text;
  rewind(FFile);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, FFile)) > 0;) text.append(buffer, n);
  fclose(FFile);
  return text;
}

}  // namespace testing_support
