// Hosts and plug-ins are built separately and reach our objects only through
// the order of the virtual operations. Each list is the published order,
// written out independently of our headers; the destructor takes the first two
// slots.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "plugin/Plugin.h"
#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CDataStream.h"
#include "salvor/CEventHandler.h"
#include "salvor/CPreviewHandler.h"

namespace {

// The table slot of each operation (Itanium C++ ABI: a virtual member pointer
// holds its byte offset in the table plus one).
template <typename... Members>
std::vector<long long> Slots(Members... members) {
  std::vector<long long> slots;
  auto add = [&slots](auto member) {
    static_assert(sizeof member == 2 * sizeof(long long), "Itanium member pointer expected");
    long long raw[2];
    std::memcpy(raw, &member, sizeof raw);
    slots.push_back((raw[0] - 1) / static_cast<long long>(sizeof(void*)));
  };
  (add(members), ...);
  return slots;
}

// `count` slots in a row from `first`; the first after the destructor by
// default.
std::vector<long long> Table(size_t count, long long first = 2) {
  std::vector<long long> slots(count);
  std::iota(slots.begin(), slots.end(), first);
  return slots;
}

}  // namespace

TEST(SlotOrder, PublishedOperationsSitInTheirSlots) {
  using E = SV::CPhotoRecovery;
  EXPECT_EQ(Slots(&E::Log, &E::GetContentHandlerCount, &E::GetContentHandler, &E::AddContentPlugin,
                  &E::GetPreviewHandlerCount, &E::GetPreviewHandler, &E::AddPreviewPlugin,
                  &E::GetDataSourceCount, &E::GetDataSource, &E::FindDataSourceByID,
                  &E::AddDSPlugin, &E::RescanDataSources, &E::MountFile, &E::UnmountFile, &E::Scan,
                  &E::SetScanCacheSize, &E::SetScanReadAhead, &E::SetEventHandler, &E::CHAdded,
                  &E::CHChanged, &E::CHDeleted, &E::PVAdded, &E::PVChanged, &E::PVDeleted,
                  &E::DSAdded, &E::DSChanged, &E::DSDeleted, &E::DSSeek,
                  // The engine's own operations follow the published ones.
                  &E::ReportWindowsError, &E::DSAccess),
            Table(30));
  using S = CEventHandler;
  EXPECT_EQ(Slots(&S::Log, &S::DSAdded, &S::DSDeleted, &S::DSChanged, &S::CHAdded, &S::CHDeleted,
                  &S::CHChanged, &S::DSSeek, &S::DSAccess, &S::ScanProgress, &S::ScanCompleted,
                  &S::FileRecovered),
            Table(12));
  using D = CDataStream;
  EXPECT_EQ(Slots(&D::GetPosition, &D::SetPosition, &D::Seek, &D::GetSize, &D::Read), Table(5));
  using P = CDataSource;
  EXPECT_EQ(Slots(&P::GetUniqueID, &P::SetIntPropValue, &P::GetIntPropValue, &P::GetIntPropDefault,
                  &P::GetIntPropMin, &P::GetIntPropMax, &P::GetIntPropStep, &P::IsIntProp,
                  &P::EnumIntProp, &P::SetStrPropValue, &P::GetStrPropValue, &P::GetStrPropDefault,
                  &P::IsStrPropValueValid, &P::IsStrProp, &P::EnumStrProp,
                  // The data source's own operations follow the plug-in base's.
                  &P::GetOSPath, &P::GetBlockSize, &P::GetBlockCount, &P::IsFormatted, &P::IsReady,
                  &P::Refresh, &P::GetType, &P::GetIcon, &P::GetDisplayName, &P::GetLastIOError,
                  &P::ReadBlocks, &P::WriteBlocks, &P::AcquireReadLock, &P::AcquireWriteLock,
                  &P::ReleaseReadLock, &P::ReleaseWriteLock),
            Table(31));
  using C = CContentHandler;
  EXPECT_EQ(Slots(&C::GetMimeTypes, &C::IsEnabled, &C::GetDisplayName, &C::GetFileExtensions,
                  &C::DescribeFile, &C::RecognizeData, &C::FindEndOfFile, &C::FindStartOfFile),
            Table(8, 17));
  EXPECT_EQ(Slots(&CPreviewHandler::GetUniqueID, &CPreviewHandler::GetDisplayName,
                  &CPreviewHandler::CanPreview, &CPreviewHandler::DescribePreview,
                  &CPreviewHandler::MakeThumbnail, &CPreviewHandler::GetPreviewInfo),
            Table(6));
  EXPECT_EQ(Slots(&CDataSourceModule::GetUniqueID, &CDataSourceModule::IsEnabled,
                  &CDataSourceModule::ScanSources),
            Table(3));
  // The store's hooks, which a separately built plug-in overrides.
  EXPECT_EQ(Slots(&CPlugin::ValidateStrPropValue, &CPlugin::StrPropChanged,
                  &CPlugin::IntPropChanged, &CPlugin::GetUniqueID),
            Table(4));
}
