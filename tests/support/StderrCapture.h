#pragma once

#include <string>

namespace testing_support {

// Redirects file descriptor 2 into a temporary file until Stop(), which returns what was
// written. Used to assert on the engine's standard-error lines.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string Stop();

 private:
  int FSavedFd = -1;
  int FFileFd = -1;
  std::string FPath;
};

}  // namespace testing_support
