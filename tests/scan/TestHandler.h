#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tests/support/PropertylessHandler.h"

namespace scan_tests {

// A content handler for driving the scan: answers by script for chosen blocks, otherwise by
// signature (a file is `magic` at a block's first byte up to and including `trailer`).
class TestHandler : public PropertylessHandler {
 public:
  enum class Mode { Complete, StartOnly, EndOnly, Incomplete };
  struct Answer {
    long long start = -1;
    long long end = -1;
    bool result = true;
  };

  explicit TestHandler(std::string id) : FID(std::move(id)) {}

  // Script. FindEnd/FindStart answers are taken in order; a negative one returns false.
  std::map<long long, Answer> answers;
  std::deque<long long> endAnswers;
  std::deque<long long> startAnswers;
  // Signature recognition for blocks without a scripted answer.
  std::string magic;
  std::string trailer;
  Mode mode = Mode::Complete;
  bool enabled = true;
  int maxSizeKiB = -1;  // -1: no MaxSize property
  // "R <block>" per RecognizeData, "E <window size>" / "S <window size>" per search.
  std::vector<std::string> calls;

  const char* GetUniqueID() override { return FID.c_str(); }
  bool GetIntPropValue(const char* name, int* value) override;
  bool IsIntProp(const char* name) override;
  const char* GetMimeTypes() override { return "application/x-test"; }
  bool IsEnabled() override { return enabled; }
  const char* GetDisplayName() override { return "Test file"; }
  const char* GetFileExtensions() override { return "tst"; }
  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override;
  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override;
  bool FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) override;
  bool FindStartOfFile(CDataStream* stream, long long blockSize, long long* start) override;

 private:
  std::string FID;
};

}  // namespace scan_tests
