#include "host/Paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <vector>

namespace salvor {

std::string AbsolutePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) full = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= full.size()) {
    size_t slash = full.find('/', begin);
    if (slash == std::string::npos) slash = full.size();
    std::string part = full.substr(begin, slash - begin);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    begin = slash + 1;
  }
  std::string result;
  for (const auto& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

bool FileSystemDevice(const std::string& path, dev_t& device) {
  std::string current = AbsolutePath(path);
  while (true) {
    struct stat info {};
    if (stat(current.c_str(), &info) == 0) {
      device = info.st_dev;
      return true;
    }
    if (current == "/") return false;
    size_t slash = current.rfind('/');
    current = slash == 0 ? "/" : current.substr(0, slash);
  }
}

namespace {

std::string SysfsNode(dev_t device, const std::string& sysRoot) {
  std::string link =
      sysRoot + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char resolved[PATH_MAX];
  if (realpath(link.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace

namespace {

// Whether `stored(node)` holds for the file system's device node or anything it is stored on
// (device-mapper and RAID members, through their "slaves").
template <class Predicate>
bool AnyDeviceBeneath(dev_t fsDevice, const std::string& sysRoot, Predicate stored) {
  const std::string start = SysfsNode(fsDevice, sysRoot);
  if (start.empty()) return false;
  std::set<std::string> seen;
  std::vector<std::string> pending{start};
  while (!pending.empty() && seen.size() < 256) {
    std::string node = pending.back();
    pending.pop_back();
    if (!seen.insert(node).second) continue;
    if (stored(node)) return true;
    DIR* slaves = opendir((node + "/slaves").c_str());
    if (slaves == nullptr) continue;
    while (dirent* entry = readdir(slaves)) {
      if (entry->d_name[0] == '.') continue;
      char resolved[PATH_MAX];
      std::string link = node + "/slaves/" + entry->d_name;
      if (realpath(link.c_str(), resolved) != nullptr) pending.emplace_back(resolved);
    }
    closedir(slaves);
  }
  return false;
}

}  // namespace

bool DeviceHoldsFileSystem(dev_t blockDevice, dev_t fsDevice, const std::string& sysRoot) {
  if (blockDevice == fsDevice) return true;
  const std::string source = SysfsNode(blockDevice, sysRoot);
  if (source.empty()) return false;
  return AnyDeviceBeneath(fsDevice, sysRoot, [&](const std::string& node) {
    return node == source || IsUnder(node, source) || IsUnder(source, node);
  });
}

bool ImageHoldsFileSystem(const struct stat& image, dev_t fsDevice, const std::string& sysRoot) {
  return AnyDeviceBeneath(fsDevice, sysRoot, [&](const std::string& node) {
    std::ifstream backing(node + "/loop/backing_file");
    std::string path;
    struct stat info {};
    return std::getline(backing, path) && stat(path.c_str(), &info) == 0 &&
           info.st_dev == image.st_dev && info.st_ino == image.st_ino;
  });
}

bool FolderIsEmptyOrMissing(const std::string& path, bool& empty) {
  empty = true;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    if (errno == ENOENT) return true;
    return false;
  }
  while (dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  closedir(folder);
  return true;
}

bool MakeFolders(const std::string& path) {
  std::string full = AbsolutePath(path);
  for (size_t slash = 1; slash <= full.size(); ++slash) {
    if (slash != full.size() && full[slash] != '/') continue;
    std::string prefix = full.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  if (stat(full.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

}  // namespace salvor
