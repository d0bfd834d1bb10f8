#include "tests/support/RecordingSink.h"

#include "salvor/CDataStream.h"
#include "SVSDK/StreamOrigin.h"

namespace testing_support {

void RecordingSink::Log(const char* source, int level, const char* text) {
  calls.push_back(std::string("Log ") + source + " " + std::to_string(level) + " " + text);
}
void RecordingSink::DSSeek(CDataSource*, long long position, bool& cancel) {
  Note("DSSeek ", std::to_string(position));
  if (cancelSeek && cancelSeek(position)) cancel = true;
}
void RecordingSink::ScanProgress(long long block, long long blockCount, bool& cancel) {
  ++progressCalls;
  if (recordProgress)
    Note("ScanProgress ", std::to_string(block) + "/" + std::to_string(blockCount));
  if (cancelProgress && cancelProgress(progressCalls)) cancel = true;
}
void RecordingSink::ScanCompleted(bool completed, bool cancelled, int reserved) {
  Note("ScanCompleted ", std::to_string(completed) + " " + std::to_string(cancelled) + " " +
                             std::to_string(reserved));
}
void RecordingSink::FileRecovered(CContentHandler* handler, CDataStream* file) {
  if (onFile) onFile(handler, file);
  File f{handler, handler ? handler->GetUniqueID() : "", SVStreamSourceOffset(file), {}};
  file->SetPosition(0);
  long long size = file->GetSize();
  f.bytes.resize(static_cast<size_t>(size > 0 ? size : 0));
  if (size > 0) file->Read(size, f.bytes.data());
  Note("FileRecovered ", f.handlerId + " " + std::to_string(size));
  files.push_back(std::move(f));
}

}  // namespace testing_support
