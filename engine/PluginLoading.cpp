#include "SVPhotoRecovery.h"

namespace SV {

// Not yet available: module loading arrives with its own change.
void CPhotoRecovery::AddContentPlugin(const char*) {}
void CPhotoRecovery::AddPreviewPlugin(const char*) {}
void CPhotoRecovery::AddDSPlugin(const char*) {}

}  // namespace SV
