#pragma once

#include <csignal>
#include <vector>

#include "recovery/BadAreas.h"

class CPhotoRecovery;

namespace salvor {

class CScannedSource;
class RecoverySink;

// After a scan: reads the areas skipped after read errors once more (from both ends of each,
// in pieces of `piece` blocks, until maxFailures reads failed in all or `stop` is raised), and
// has the engine look for files again from each run that could be read after all, through the
// same sink, which delivers none twice. Returns the runs read on the second try.
std::vector<BlockRun> LookAgain(CPhotoRecovery* engine, RecoverySink& sink, CScannedSource& watched,
                                long long piece, long long maxFailures,
                                const volatile std::sig_atomic_t* stop);

}  // namespace salvor
