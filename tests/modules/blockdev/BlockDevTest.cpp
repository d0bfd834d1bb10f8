#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <fstream>

#include "salvor/CDataSource.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "plugin/Plugin.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "util/StringUtils.h"

using namespace testing_support;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  testing_support::Run("mkdir -p \"$(dirname '" + path + "')\"");
  std::ofstream(path) << text;
}

std::vector<char> Pattern(size_t size) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 + i / 512);
  return bytes;
}

void WriteDevice(const std::string& path, size_t size) {
  std::vector<char> bytes = Pattern(size);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

std::string Wide(void (CDataSource::*get)(wchar_t*), CDataSource* source) {
  wchar_t text[1024] = L"";
  (source->*get)(text);
  return toUtf8String(text);
}

std::string DisplayName(CDataSource* source) {
  wchar_t text[1024] = L"";
  EXPECT_TRUE(source->GetDisplayName(text));
  return toUtf8String(text);
}

CDataSourceModule* LoadModule() {
  void* library = dlopen(SALVOR_MODULE_DIR "/blockdev.so", RTLD_NOW);
  if (library == nullptr) return nullptr;
  auto entry =
      reinterpret_cast<CDataSourceModule* (*)(CPhotoRecovery*)>(dlsym(library, "GetDSInstance"));
  return entry == nullptr ? nullptr : entry(GetSVSingleton());
}

}  // namespace

// Enumeration, geometry, reads, refusals and loss of a device, on a prepared sysfs and /dev
// tree whose "device nodes" are plain files.
TEST(BlockDevModule, FindsReadsAndLosesDevicesOfAFakeTree) {
  CDataSourceModule* module = LoadModule();
  ASSERT_NE(module, nullptr);
  EXPECT_STREQ(module->GetUniqueID(), "salvor.blockdev");
  EXPECT_TRUE(module->IsEnabled());
  CPlugin* properties = dynamic_cast<CPlugin*>(module);
  ASSERT_NE(properties, nullptr);

  std::string root = ScratchDir("blockdev_tree");
  std::string sys = root + "/sys";
  std::string dev = root + "/dev";
  WriteFile(sys + "/block/sdb/size", "2048\n");  // 512-byte units: 1 MiB
  WriteFile(sys + "/block/sdb/removable", "1\n");
  WriteFile(sys + "/block/sdb/queue/logical_block_size", "512\n");
  WriteFile(sys + "/block/sdb/device/vendor", "Generic \n");
  WriteFile(sys + "/block/sdb/device/model", "Card  Reader\x01\n");
  WriteFile(sys + "/block/sdb/sdb1/partition", "1\n");
  WriteFile(sys + "/block/sdb/sdb1/size", "1024\n");
  WriteFile(sys + "/block/sdb/holders/.keep", "");  // not a partition
  WriteFile(sys + "/block/nvme0n1/size", "64\n");
  WriteFile(sys + "/block/nvme0n1/queue/logical_block_size", "4096\n");
  WriteFile(sys + "/block/loop3/size", "0\n");  // unused loop device
  WriteFile(sys + "/block/ram0/size", "8192\n");
  testing_support::Run("mkdir -p '" + dev + "'");
  WriteDevice(dev + "/sdb", 1 << 20);
  WriteDevice(dev + "/sdb1", 1 << 19);
  WriteDevice(dev + "/nvme0n1", 32768);

  CPhotoRecovery* engine = GetSVSingleton();
  RecordingSink sink;
  engine->SetEventHandler(&sink);
  ASSERT_TRUE(properties->SetStrPropValue("SysfsRoot", sys.c_str()));
  ASSERT_TRUE(properties->SetStrPropValue("DevRoot", dev.c_str()));
  int before = engine->GetDataSourceCount();
  module->ScanSources(engine, 0);
  EXPECT_EQ(engine->GetDataSourceCount(), before + 3);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:loop3"), nullptr);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:ram0"), nullptr);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:holders"), nullptr);

  CDataSource* disk = engine->FindDataSourceByID("blockdev:sdb");
  CDataSource* part = engine->FindDataSourceByID("blockdev:sdb1");
  CDataSource* nvme = engine->FindDataSourceByID("blockdev:nvme0n1");
  ASSERT_TRUE(disk && part && nvme);
  EXPECT_EQ(Wide(&CDataSource::GetOSPath, disk), dev + "/sdb");
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
  std::vector<char> expected = Pattern(1 << 20);
  std::vector<char> buffer(3 * 512);
  long long seeksBefore = sink.seekCalls;
  ASSERT_TRUE(disk->ReadBlocks(5, 3, buffer.data()));
  EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data() + 5 * 512, buffer.size()));
  EXPECT_EQ(sink.seekCalls, seeksBefore + 2);
  std::vector<char> page(4096);
  ASSERT_TRUE(nvme->ReadBlocks(7, 1, page.data()));
  EXPECT_EQ(0, std::memcmp(page.data(), Pattern(32768).data() + 7 * 4096, page.size()));
  EXPECT_FALSE(disk->ReadBlocks(2047, 2, buffer.data()));
  EXPECT_FALSE(disk->ReadBlocks(-1, 1, buffer.data()));
  sink.cancelSeek = [](long long) { return true; };
  EXPECT_FALSE(disk->ReadBlocks(0, 1, buffer.data()));
  sink.cancelSeek = nullptr;
  EXPECT_EQ(disk->GetLastIOError(), 0);

  // Read-only, always.
  EXPECT_TRUE(disk->AcquireReadLock());
  disk->ReleaseReadLock();
  EXPECT_FALSE(disk->AcquireWriteLock());
  EXPECT_FALSE(disk->WriteBlocks(0, 1, buffer.data()));
  std::vector<uint8_t> unchanged = ReadFileBytes(dev + "/sdb");
  EXPECT_EQ(0, std::memcmp(unchanged.data(), expected.data(), unchanged.size()));

  // A failing read sets the I/O error; Refresh measures again and clears it.
  testing_support::Run("truncate -s 4096 '" + dev + "/sdb'");
  EXPECT_FALSE(disk->ReadBlocks(100, 1, buffer.data()));
  EXPECT_NE(disk->GetLastIOError(), 0);
  EXPECT_TRUE(sink.HasLog("Read error on " + dev + "/sdb at byte 51200: Input/output error"));
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
  module->ScanSources(engine, 0);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:sdb"), nullptr);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:sdb1"), nullptr);
  EXPECT_EQ(engine->FindDataSourceByID("blockdev:nvme0n1"), nvme);
  EXPECT_EQ(engine->GetDataSourceCount(), before + 1);

  // Back to the real machine for whoever loads the module next.
  properties->SetStrPropValue("SysfsRoot", "/sys");
  properties->SetStrPropValue("DevRoot", "/dev");
  module->ScanSources(engine, 0);
  engine->SetEventHandler(nullptr);
}
