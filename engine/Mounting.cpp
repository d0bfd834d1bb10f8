#include "SVPhotoRecovery.h"

namespace SV {

// Not yet available: mounting arrives with its own change.
CDataSource* CPhotoRecovery::MountFile(const wchar_t*) { return nullptr; }
void CPhotoRecovery::UnmountFile(CDataSource*) {}
void CPhotoRecovery::RescanDataSources() {}

}  // namespace SV
