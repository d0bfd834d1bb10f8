#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tests/support/PropertylessHandler.h"

namespace scan_tests {

// A content handler for driving the scan: answers by script for chosen blocks and recognises
// nothing elsewhere.
class TestHandler : public PropertylessHandler {
 public:
  struct Answer {
    long long start = -1;
    long long end = -1;
    bool result = true;
  };

  explicit TestHandler(std::string id) : FID(std::move(id)) {}

  // Script. FindEnd/FindStart answers are taken in order; a negative one (or none) returns
  // false.
  std::map<long long, Answer> answers;
  std::deque<long long> endAnswers;
  std::deque<long long> startAnswers;
  bool enabled = true;
  int maxSizeKiB = -1;  // -1: no MaxSize property
  // "R <block>" per RecognizeData, "E <window size>" / "S <window size>" per search.
  std::vector<std::string> calls;

  const char* GetUniqueID() override { return FID.c_str(); }
  bool GetIntPropValue(const char* name, int* value) override;
  const char* GetMimeTypes() override { return "application/x-test"; }
  bool IsEnabled() override { return enabled; }
  const char* GetDisplayName() override { return "Test file"; }
  const char* GetFileExtensions() override { return "tst"; }
  bool DescribeFile(CDataStream*, char*, int) override { return false; }
  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override;
  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    return Search("E ", stream, endAnswers, end);
  }
  bool FindStartOfFile(CDataStream* stream, long long, long long* start) override {
    return Search("S ", stream, startAnswers, start);
  }

 private:
  bool Search(const char* kind, CDataStream* stream, std::deque<long long>& script,
              long long* found);
  std::string FID;
};

}  // namespace scan_tests
