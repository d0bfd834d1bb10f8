#include <map>
#include <memory>
#include <string>

#include "modules/blockdev/BlockDevice.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "modules/blockdev/Enumerate.h"
#include "plugin/DSModuleBase.h"

namespace salvor {

// The data-source module for the machine's disks and partitions. Its sysfs and /dev roots are
// string properties so that enumeration can be pointed at a prepared tree.
class CBlockDevModule : public CDSModuleBase {
 public:
  explicit CBlockDevModule(CPhotoRecovery* engine) : CDSModuleBase(engine, "salvor.blockdev") {
    DefineStrProp("SysfsRoot", "/sys");
    DefineStrProp("DevRoot", "/dev");
  }

  void ScanSources(CPhotoRecovery* engine, int) override {
    if (engine != nullptr) FEngine = engine;
    std::string sysRoot = StrProp("SysfsRoot");
    std::string devRoot = StrProp("DevRoot");
    std::map<std::string, DeviceInfo> found;
    for (auto& info : EnumerateBlockDevices(sysRoot, devRoot)) found[info.name] = info;
    // Sources that went away are unregistered; a device that came back under the same name
    // but with other roots or size is built afresh.
    for (auto it = FDevices.begin(); it != FDevices.end();) {
      auto match = found.find(it->first);
      const DeviceInfo& old = it->second->Info();
      if (match == found.end() || match->second.devicePath != old.devicePath ||
          match->second.sysfsPath != old.sysfsPath) {
        it = FDevices.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& entry : found) {
      if (FDevices.count(entry.first) == 0) {
        FDevices[entry.first] = std::make_unique<CBlockDevice>(FEngine, entry.second);
      }
    }
  }

 private:
  std::map<std::string, std::unique_ptr<CBlockDevice>> FDevices;
};

}  // namespace salvor

extern "C" __attribute__((visibility("default"))) CDataSourceModule* GetDSInstance(
    CPhotoRecovery* engine) {
  static salvor::CBlockDevModule module(engine);
  return &module;
}
