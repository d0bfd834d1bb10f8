#pragma once

#include <cstdio>
#include <string>

namespace testing_support {

// Redirects file descriptor 2 into a temporary file until Stop(), which returns what was
// written. Used to assert on the engine's standard-error lines.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { Stop(); }
  std::string Stop();

 private:
  FILE* FFile;
  int FSavedFd;
};

}  // namespace testing_support
