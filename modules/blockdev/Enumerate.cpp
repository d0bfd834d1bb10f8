#include "modules/blockdev/Enumerate.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

namespace salvor {

namespace {

// First line of a small sysfs attribute, trimmed; empty when missing.
std::string ReadAttribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  if (line.size() > 256) line.resize(256);
  size_t first = line.find_first_not_of(" \t\r");
  size_t last = line.find_last_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  std::string text = line.substr(first, last - first + 1);
  // The text is shown to people; keep it printable.
  for (auto& c : text) {
    if (!std::isprint(static_cast<unsigned char>(c))) c = '?';
  }
  return text;
}

long long ReadNumber(const std::string& path, long long fallback) {
  std::string text = ReadAttribute(path);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return fallback;
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

bool IsRamDisk(const std::string& name) {
  return name.compare(0, 3, "ram") == 0 || name.compare(0, 4, "zram") == 0;
}

}  // namespace

std::vector<DeviceInfo> EnumerateBlockDevices(const std::string& sysRoot,
                                              const std::string& devRoot) {
  std::vector<DeviceInfo> devices;
  const std::string blockRoot = sysRoot + "/block";
  for (const auto& name : ListFolder(blockRoot)) {
    if (IsRamDisk(name)) continue;
    DeviceInfo disk;
    disk.name = name;
    disk.sysfsPath = blockRoot + "/" + name;
    disk.devicePath = devRoot + "/" + name;
    disk.size = ReadNumber(disk.sysfsPath + "/size", 0) * 512;  // sysfs counts 512-byte units
    disk.blockSize = ReadNumber(disk.sysfsPath + "/queue/logical_block_size", 512);
    if (disk.blockSize <= 0) disk.blockSize = 512;
    disk.removable = ReadNumber(disk.sysfsPath + "/removable", 0) != 0;
    std::string vendor = ReadAttribute(disk.sysfsPath + "/device/vendor");
    std::string model = ReadAttribute(disk.sysfsPath + "/device/model");
    if (model.empty()) model = ReadAttribute(disk.sysfsPath + "/device/name");  // SD cards
    if (vendor.compare(0, 2, "0x") == 0) vendor.clear();  // a bare PCI vendor number
    disk.model = vendor.empty() ? model : (model.empty() ? vendor : vendor + " " + model);
    std::string backing = ReadAttribute(disk.sysfsPath + "/loop/backing_file");
    if (disk.model.empty() && !backing.empty()) disk.model = "Loop device of " + backing;
    if (disk.size <= 0) continue;
    devices.push_back(disk);
    for (const auto& child : ListFolder(disk.sysfsPath)) {
      std::string childPath = disk.sysfsPath + "/" + child;
      if (!Exists(childPath + "/partition")) continue;
      DeviceInfo part = disk;
      part.name = child;
      part.sysfsPath = childPath;
      part.devicePath = devRoot + "/" + child;
      part.size = ReadNumber(childPath + "/size", 0) * 512;
      part.partition = static_cast<int>(ReadNumber(childPath + "/partition", 0));
      if (part.size > 0) devices.push_back(part);
    }
  }
  return devices;
}

}  // namespace salvor
