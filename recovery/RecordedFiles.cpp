#include "recovery/RecordedFiles.h"

#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "recovery/Spans.h"

namespace salvor {

CRecordedFileReader::CRecordedFileReader(RecoverySink& sink, CScannedSource& source,
                                         const RunListLimits& limits,
                                         const volatile std::sig_atomic_t* stop)
    : FSink(sink),
      FSource(source),
      FSpan(std::make_unique<SourceSpan>(source)),
      FLimits(limits),
      FStop(stop),
      FDeadline(std::chrono::steady_clock::now() + limits.total) {}

CRecordedFileReader::~CRecordedFileReader() {
  FSink.EndProgress();
}

void CRecordedFileReader::Recover(const std::vector<Piece>& pieces, long long size,
                                  const std::string& type, const ReportFile* damaged) {
  FSink.ShowStep("reading files through their file system's record: " + std::to_string(++FFiles));
  if ((FStop != nullptr && *FStop != 0) || FSink.OutputFailed() || FSource.Gone() ||
      std::chrono::steady_clock::now() >= FDeadline || FBytesRead + size > FLimits.maxBytes) {
    ++FOutcome.notRead;
    return;
  }
  for (const Piece& piece : pieces) {
    if (piece.offset < 0 || piece.length <= 0 || piece.length > FSource.Bytes() - piece.offset ||
        FSource.UnreadableBytes(piece.offset, piece.length) > 0) {
      ++FOutcome.damaged;
      return;
    }
  }
  FBytesRead += size;
  // The record says where the bytes were, not that they still are the file's: a live file
  // overwritten in place, a deleted one's clusters given to another file.
  const ValidateFunction validate = FindRebuildValidator(type);
  Verdict verdict = Verdict::kCannotTell;
  if (validate != nullptr) {
    JoinedSpan joined(*FSpan, pieces, size);
    verdict = validate(joined).verdict;
  }
  if (verdict == Verdict::kDamaged) {
    ++FOutcome.damaged;
    return;
  }
  if (damaged != nullptr) {
    if (FSink.DeliverRebuilt({*damaged, 0, 0}, *FSpan, pieces, size))
      ++FOutcome.recovered;
    else if (!FSink.OutputFailed())
      ++FOutcome.damaged;  // a block failed on this read
    return;
  }
  if (verdict != Verdict::kIntact) return;
  ReportFile file;
  file.offset = pieces.front().offset;
  file.type = type;
  if (FSink.DeliverWhole(file, *FSpan, pieces, size)) {
    ++FOutcome.recovered;
    ++FOutcome.missedByScan;
  }
}

}  // namespace salvor
