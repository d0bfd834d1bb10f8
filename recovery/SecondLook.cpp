#include "recovery/SecondLook.h"

#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "salvor/CPhotoRecovery.h"

namespace salvor {

std::vector<BlockRun> LookAgain(CPhotoRecovery* engine, RecoverySink& sink, CScannedSource& watched,
                                long long piece, long long maxFailures,
                                const volatile std::sig_atomic_t* stop) {
  const std::vector<BlockRun> read = watched.RetrySkipped(maxFailures, piece, stop);
  // A file may start there: the scan looks again from each such run to its end.
  for (const BlockRun& run : read) {
    if ((stop != nullptr && *stop != 0) || sink.OutputFailed() || watched.Gone()) break;
    watched.StartAt(run.first);
    sink.BeginRescan(run.first, run.first + run.count);
    engine->Scan(&watched);
    sink.EndRescan();
  }
  return read;
}

}  // namespace salvor
