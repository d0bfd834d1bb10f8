#include "salvor/CDataSource.h"
#include "engine/SVPhotoRecovery.h"
#include "scan/ScanRun.h"

namespace SV {

bool CPhotoRecovery::Scan(CDataSource* source) {
  if (source == nullptr) return false;  // nothing to name, lock or read
  CScanRun run(this, source);
  return run.Run();
}

}  // namespace SV
