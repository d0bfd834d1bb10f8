#pragma once

class CContentHandler;
class CDataStream;

namespace SV {

class CScanRun;

// The one file of a scan whose start is known but not yet its end.
class COpenScan {
 public:
  enum class Outcome { kContinue, kEndScan };

  bool IsOpen() const { return FHandler != nullptr; }
  void Begin(CContentHandler* handler, long long start);
  void Clear();

  // Searches the end with the open file's own handler when another recognition arrives at the
  // current block, delivers the file and clears it; kEndScan on cancellation or a lost source.
  Outcome CompleteAtRecognition(CScanRun& run);
  // The source has been walked to its end (or as far as it went): deliver what is open.
  void CompleteAtEnd(CScanRun& run);

 private:
  // Asks the handler for the file's length in [FStart, end) of the scan stream, an empty
  // window when end lies before the start; FEndOffset -1 when not found.
  void SearchEnd(CScanRun& run, long long end);
  // The second search, bounded by the handler's MaxSize from the current position.
  Outcome SearchEndWithinMaxSize(CScanRun& run, const char* id);
  long long WindowEnd(long long end) const;
  long long MaxSizeBytes();

  CContentHandler* FHandler = nullptr;
  long long FStart = -1;
  long long FEndOffset = -1;
};

}  // namespace SV
