#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace salvor {

// path made absolute against the current directory, "." and ".." removed lexically (the
// folder need not exist yet). Needed because loading a module changes the current directory.
std::string AbsolutePath(const std::string& path);

// Device number of the file system that holds path, or of its nearest existing parent.
// False when nothing on the way can be examined.
bool FileSystemDevice(const std::string& path, dev_t& device);

// Whether the file system on fsDevice is stored on blockDevice: the same device, a partition
// of it, the disk a partition belongs to, or a device-mapper or RAID volume built on any of
// these. sysRoot is the sysfs mount point ("/sys"; a fake tree in tests).
bool DeviceHoldsFileSystem(dev_t blockDevice, dev_t fsDevice, const std::string& sysRoot);

// Whether the file system on fsDevice is stored in the image file (stat of it): a loop device
// over it, or a volume built on one.
bool ImageHoldsFileSystem(const struct stat& image, dev_t fsDevice, const std::string& sysRoot);

// Whether the folder is empty or does not exist; false with errno when it cannot be read.
bool FolderIsEmptyOrMissing(const std::string& path, bool& empty);

// Creates the folder and any missing parents. False with errno set.
bool MakeFolders(const std::string& path);

}  // namespace salvor
