#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "plugin/Plugin.h"
#include "salvor/CDataSource.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "util/StringUtils.h"

using namespace testing_support;

namespace {

std::string DisplayName(CDataSource* source) {
  wchar_t text[1024] = L"";
  EXPECT_TRUE(source->GetDisplayName(text));
  return toUtf8String(text);
}

}  // namespace

// Enumeration, geometry, reads, refusals and loss of a device, on a prepared sysfs and /dev
// tree whose "device nodes" are plain files.
TEST(BlockDevModule, FindsReadsAndLosesDevicesOfAFakeTree) {
  void* library = dlopen(SALVOR_MODULE_DIR "/blockdev.so", RTLD_NOW);
  ASSERT_NE(library, nullptr);
  auto entry =
      reinterpret_cast<CDataSourceModule* (*)(CPhotoRecovery*)>(dlsym(library, "GetDSInstance"));
  ASSERT_NE(entry, nullptr);
  CDataSourceModule* module = entry(GetSVSingleton());
  ASSERT_NE(module, nullptr);
  EXPECT_STREQ(module->GetUniqueID(), "salvor.blockdev");
  EXPECT_TRUE(module->IsEnabled());
  CPlugin* properties = dynamic_cast<CPlugin*>(module);
  ASSERT_NE(properties, nullptr);

  const std::string root = ScratchDir("blockdev_tree"), sys = root + "/sys", dev = root + "/dev";
  // Sizes in 512-byte units; a holders folder is no partition, an unused loop device and a RAM
  // disk are no disks.
  testing_support::Run(
      "mkdir -p '" + dev + "' '" + sys + "/block' && cd '" + sys +
      "/block' && mkdir -p "
      "sdb/queue sdb/device sdb/sdb1 sdb/holders nvme0n1/queue loop3 ram0 && echo 2048 >sdb/size "
      "&& echo 1 >sdb/removable && echo 512 >sdb/queue/logical_block_size && echo 'Generic ' "
      ">sdb/device/vendor && printf 'Card  Reader\\001\\n' >sdb/device/model && echo 1 "
      ">sdb/sdb1/partition && echo 1024 >sdb/sdb1/size && echo 64 >nvme0n1/size && echo 4096 "
      ">nvme0n1/queue/logical_block_size && echo 0 >loop3/size && echo 8192 >ram0/size");
  for (const auto& [name, size] :
       {std::pair<std::string, size_t>{"sdb", 1 << 20}, {"sdb1", 1 << 19}, {"nvme0n1", 32768}})
    WriteFileBytes(dev + "/" + name, Pattern(size));

  SingletonWithSink s;
  ASSERT_TRUE(properties->SetStrPropValue("SysfsRoot", sys.c_str()));
  ASSERT_TRUE(properties->SetStrPropValue("DevRoot", dev.c_str()));
  int before = s.engine->GetDataSourceCount();
  module->ScanSources(s.engine, 0);
  EXPECT_EQ(s.engine->GetDataSourceCount(), before + 3);
  CDataSource* disk = s.engine->FindDataSourceByID("blockdev:sdb");
  CDataSource* part = s.engine->FindDataSourceByID("blockdev:sdb1");
  CDataSource* nvme = s.engine->FindDataSourceByID("blockdev:nvme0n1");
  ASSERT_TRUE(disk && part && nvme);
  wchar_t path[1024] = L"";
  disk->GetOSPath(path);
  EXPECT_EQ(toUtf8String(path), dev + "/sdb");
  EXPECT_EQ(DisplayName(disk), "Generic Card  Reader? (sdb, 1.0 MB, removable)");
  EXPECT_EQ(DisplayName(part), "Partition 1 of Generic Card  Reader? (sdb1, 524.3 kB, removable)");
  EXPECT_EQ(disk->GetType(), 1);
  EXPECT_EQ(part->GetType(), 2);
  EXPECT_TRUE(disk->IsReady());
  EXPECT_EQ(disk->GetBlockSize(), 512);
  EXPECT_EQ(disk->GetBlockCount(), 2048);
  EXPECT_EQ(nvme->GetBlockSize(), 4096);
  EXPECT_EQ(nvme->GetBlockCount(), 8);

  // Reads land exactly, and the host can watch and cancel them through DSSeek.
  const std::vector<uint8_t> expected = Pattern(1 << 20);
  std::vector<char> buffer(4096);
  ASSERT_TRUE(disk->ReadBlocks(5, 3, buffer.data()));
  EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data() + 5 * 512, 3 * 512));
  EXPECT_EQ(std::vector<std::string>(s.sink.calls.end() - 2, s.sink.calls.end()),
            (std::vector<std::string>{"DSSeek 2560", "DSSeek 4096"}));
  ASSERT_TRUE(nvme->ReadBlocks(7, 1, buffer.data()));
  EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data() + 7 * 4096, 4096));
  EXPECT_FALSE(disk->ReadBlocks(2047, 2, buffer.data()));
  EXPECT_FALSE(disk->ReadBlocks(-1, 1, buffer.data()));
  s.sink.cancelSeek = [](long long) { return true; };
  EXPECT_FALSE(disk->ReadBlocks(0, 1, buffer.data()));
  s.sink.cancelSeek = nullptr;
  EXPECT_EQ(disk->GetLastIOError(), 0);

  // Read-only, always.
  EXPECT_TRUE(disk->AcquireReadLock());
  disk->ReleaseReadLock();
  EXPECT_FALSE(disk->AcquireWriteLock());
  EXPECT_FALSE(disk->WriteBlocks(0, 1, buffer.data()));
  EXPECT_EQ(0, std::memcmp(ReadFileBytes(dev + "/sdb").data(), expected.data(), expected.size()));

  // A failing read sets the I/O error; Refresh measures again and clears it.
  testing_support::Run("truncate -s 4096 '" + dev + "/sdb'");
  EXPECT_FALSE(disk->ReadBlocks(100, 1, buffer.data()));
  EXPECT_NE(disk->GetLastIOError(), 0);
  EXPECT_EQ(s.sink.calls.back(),
            "Log blockdev 4 Read error on " + dev + "/sdb at byte 51200: Input/output error");
  disk->Refresh();
  EXPECT_TRUE(disk->IsReady());
  EXPECT_EQ(disk->GetLastIOError(), 0);
  EXPECT_EQ(disk->GetBlockCount(), 8);

  // A vanished device is not ready, and a rescan unregisters it.
  testing_support::Run("rm -rf '" + sys + "/block/sdb' '" + dev + "/sdb' '" + dev + "/sdb1'");
  part->Refresh();
  EXPECT_FALSE(part->IsReady());
  EXPECT_NE(part->GetLastIOError(), 0);
  EXPECT_FALSE(part->ReadBlocks(0, 1, buffer.data()));
  module->ScanSources(s.engine, 0);
  EXPECT_EQ(s.engine->FindDataSourceByID("blockdev:nvme0n1"), nvme);
  EXPECT_EQ(s.engine->GetDataSourceCount(), before + 1);

  // Back to the real machine for whoever loads the module next.
  properties->SetStrPropValue("SysfsRoot", "/sys");
  properties->SetStrPropValue("DevRoot", "/dev");
  module->ScanSources(s.engine, 0);
}
