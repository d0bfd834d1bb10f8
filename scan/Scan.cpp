#include "SVPhotoRecovery.h"

namespace SV {

// Not yet available: the scan arrives with its own change.
bool CPhotoRecovery::Scan(CDataSource*) { return false; }
void CPhotoRecovery::DeliverFile(CContentHandler*, CDataStream*) {}

}  // namespace SV
