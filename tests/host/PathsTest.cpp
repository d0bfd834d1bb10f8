#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include "host/Paths.h"
#include "tests/support/ScanHarness.h"

using namespace salvor;
using testing_support::ScratchDir;

TEST(Paths, AbsolutePathsAndTheDeviceUnderAFolder) {
  EXPECT_EQ(AbsolutePath("/a/./b/../c/"), "/a/c");
  EXPECT_EQ(AbsolutePath("/.."), "/");
  EXPECT_EQ(AbsolutePath("x/y").front(), '/');

  const std::string sys = ScratchDir("host_paths") + "/sys";
  // A fake sysfs: disk 8:16 (sdb) with partition 8:17, and a mapper volume 254:0 on sdb1.
  ASSERT_TRUE(testing_support::Run(
      "mkdir -p " + sys + "/devices/pci/sdb/sdb1 " + sys + "/devices/pci/sdc " + sys +
      "/devices/virtual/dm-0/slaves " + sys + "/dev/block && " + "ln -s ../../devices/pci/sdb " +
      sys + "/dev/block/8:16 && " + "ln -s ../../devices/pci/sdb/sdb1 " + sys +
      "/dev/block/8:17 && " + "ln -s ../../devices/pci/sdc " + sys + "/dev/block/8:32 && " +
      "ln -s ../../devices/virtual/dm-0 " + sys + "/dev/block/254:0 && " +
      "ln -s ../../../pci/sdb/sdb1 " + sys + "/devices/virtual/dm-0/slaves/sdb1"));
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 16), makedev(8, 17), sys));   // on a partition
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 17), makedev(8, 17), sys));   // the same
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 17), makedev(8, 16), sys));   // whole disk
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 16), makedev(254, 0), sys));  // via mapper
  EXPECT_FALSE(DeviceHoldsFileSystem(makedev(8, 32), makedev(8, 17), sys));  // other disk
  EXPECT_FALSE(DeviceHoldsFileSystem(makedev(8, 32), makedev(254, 0), sys));
}
