#pragma once

#include <string>
#include <vector>

#include "modules/blockdev/BlockDevice.h"

namespace salvor {

// The disks under <sysRoot>/block and their partitions, in name order, with device nodes
// under devRoot. Devices of size 0 (empty card readers, unused loop devices) and RAM disks are
// left out: there is nothing on them to recover.
std::vector<DeviceInfo> EnumerateBlockDevices(const std::string& sysRoot,
                                              const std::string& devRoot);

}  // namespace salvor
