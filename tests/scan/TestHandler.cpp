#include "tests/scan/TestHandler.h"

#include <cstring>

#include "salvor/CDataStream.h"

namespace scan_tests {

bool TestHandler::GetIntPropValue(const char* name, int* value) {
  if (maxSizeKiB < 0 || strcmp(name, "MaxSize") != 0) return false;
  *value = maxSizeKiB;
  return true;
}

bool TestHandler::RecognizeData(CDataStream* stream, long long blockSize, bool* recognized,
                                long long* start, long long* end) {
  const long long position = stream->GetPosition();
  calls.push_back("R " + std::to_string(position / blockSize));
  char head[16] = {};
  stream->Read(sizeof head, head);  // every handler reads: the stream must be in place
  auto scripted = answers.find(position / blockSize);
  if (scripted == answers.end()) return true;
  *recognized = true;
  *start = scripted->second.start;
  *end = scripted->second.end;
  return scripted->second.result;
}

bool TestHandler::Search(const char* kind, CDataStream* stream, std::deque<long long>& script,
                         long long* found) {
  calls.push_back(kind + std::to_string(stream->GetSize()));
  if (script.empty()) return false;
  const long long answer = script.front();
  script.pop_front();
  if (answer < 0) return false;
  *found = answer;
  return true;
}

}  // namespace scan_tests
