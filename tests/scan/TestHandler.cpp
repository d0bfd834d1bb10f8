#include "tests/scan/TestHandler.h"

#include <cstring>

#include "salvor/CDataStream.h"

namespace scan_tests {

namespace {

std::string ReadAll(CDataStream* stream) {
  std::string bytes(static_cast<size_t>(stream->GetSize() - stream->GetPosition()), '\0');
  stream->Read(static_cast<long long>(bytes.size()), &bytes[0]);
  return bytes;
}

}  // namespace

bool TestHandler::GetIntPropValue(const char* name, int* value) {
  if (maxSizeKiB < 0 || strcmp(name, "MaxSize") != 0) return false;
  *value = maxSizeKiB;
  return true;
}

bool TestHandler::IsIntProp(const char* name) {
  return maxSizeKiB >= 0 && strcmp(name, "MaxSize") == 0;
}

bool TestHandler::DescribeFile(CDataStream* file, char* extension, int extensionSize) {
  snprintf(extension, static_cast<size_t>(extensionSize), "tst");
  std::string bytes = ReadAll(file);
  return bytes.compare(0, magic.size(), magic) == 0 && bytes.size() >= trailer.size() &&
         bytes.compare(bytes.size() - trailer.size(), trailer.size(), trailer) == 0;
}

bool TestHandler::RecognizeData(CDataStream* stream, long long blockSize, bool* recognized,
                                long long* start, long long* end) {
  const long long position = stream->GetPosition();
  calls.push_back("R " + std::to_string(position / blockSize));
  char head[16] = {};
  stream->Read(sizeof head, head);
  auto scripted = answers.find(position / blockSize);
  if (scripted != answers.end()) {
    *recognized = true;
    *start = scripted->second.start;
    *end = scripted->second.end;
    return scripted->second.result;
  }
  if (magic.empty()) return true;
  stream->SetPosition(position);
  std::string rest = ReadAll(stream);
  if (mode == Mode::EndOnly) {
    size_t at = rest.find(trailer);
    if (at == std::string::npos || at >= static_cast<size_t>(blockSize)) return true;
    *recognized = true;
    *end = position + static_cast<long long>(at + trailer.size());
    return true;
  }
  if (rest.compare(0, magic.size(), magic) != 0) return true;
  *recognized = true;
  if (mode == Mode::Incomplete) return true;
  *start = position;
  size_t at = rest.find(trailer);
  if (mode == Mode::Complete && at != std::string::npos) {
    *end = position + static_cast<long long>(at + trailer.size());
  }
  return true;
}

bool TestHandler::FindEndOfFile(CDataStream* stream, long long, long long* end) {
  calls.push_back("E " + std::to_string(stream->GetSize()));
  if (!endAnswers.empty()) {
    long long answer = endAnswers.front();
    endAnswers.pop_front();
    if (answer < 0) return false;
    *end = answer;
    return true;
  }
  std::string bytes = ReadAll(stream);
  size_t at = bytes.find(trailer);
  if (trailer.empty() || at == std::string::npos) return false;
  *end = static_cast<long long>(at + trailer.size());
  return true;
}

bool TestHandler::FindStartOfFile(CDataStream* stream, long long, long long* start) {
  calls.push_back("S " + std::to_string(stream->GetSize()));
  if (!startAnswers.empty()) {
    long long answer = startAnswers.front();
    startAnswers.pop_front();
    if (answer < 0) return false;
    *start = answer;
    return true;
  }
  std::string bytes = ReadAll(stream);
  size_t at = bytes.rfind(magic);
  if (magic.empty() || at == std::string::npos) return false;
  *start = static_cast<long long>(at);
  return true;
}

}  // namespace scan_tests
