// A module whose entry functions build nothing, as a plug-in does when it cannot start.
class CPhotoRecovery;
class CDataSourceModule;
class CPreviewHandler;
class CContentHandler;

extern "C" __attribute__((visibility("default"))) CDataSourceModule* GetDSInstance(
    CPhotoRecovery*) {
  return nullptr;
}
extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(CPhotoRecovery*) {
  return nullptr;
}
extern "C" __attribute__((visibility("default"))) CContentHandler* GetCHInstance(CPhotoRecovery*) {
  return nullptr;
}
