#pragma once

#include <csignal>

#include "filesystems/FileSystems.h"
#include "recovery/RecordedFiles.h"

namespace salvor {

// After the scan: every damaged file the sink delivered whose data the catalog lists in more
// than one piece, by the file system's own record, is read through those pieces (exactly its
// recorded size) and, unless its format's validator finds it damaged, delivered whole in its
// place with every piece in the report. So is every such file the scan did not find at all,
// when the validator of its name's type finds it intact. Reads the source only.
RunListOutcome RecoverThroughRunLists(const FileSystemCatalog& catalog, RecoverySink& sink,
                                      CScannedSource& source, const RunListLimits& limits,
                                      const volatile std::sig_atomic_t* stop);

}  // namespace salvor
