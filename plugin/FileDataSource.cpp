#include "plugin/FileDataSource.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cwchar>
#include <sstream>

#include "salvor/CPhotoRecovery.h"
#include "salvor/LogLevel.h"
#include "util/StringUtils.h"

namespace {

const char kLogSource[] = "SVC.FileDS";
const char kIdentifierPrefix[] = "SVFileDS_";
// Images are addressed in 512-byte blocks whatever the file system says.
constexpr long long kImageBlockSize = 512;
// Hosts hand in wide buffers of this many characters for paths and display names.
constexpr size_t kPathBufferChars = 1024;

const char* TrueFalse(bool value) {
  return value ? "true" : "false";
}

}  // namespace

CFileDataSource::CFileDataSource(CPhotoRecovery* engine, const wchar_t* path)
    : CDSBase(engine),
      FFile(nullptr),
      FPath(path != nullptr ? path : L""),
      FFileName(toUtf8String(FPath)),
      FBlockSize(0),
      FBlockCount(0),
      FSize(0),
      FLastIOError(0) {
  FUniqueID = kIdentifierPrefix + encodeString(FPath.c_str());
  Log(LogLevel::kDetail, "Added: " + GetStateString());
  if (FEngine != nullptr) FEngine->DSAdded(this);
}

CFileDataSource::~CFileDataSource() {
  Log(LogLevel::kDetail, "Deleted: " + GetStateString());
  if (FEngine != nullptr) FEngine->DSDeleted(this);
  if (FFile != nullptr) fclose(FFile);
}

void CFileDataSource::Log(int level, const std::string& text) {
  if (FEngine != nullptr) FEngine->Log(kLogSource, level, text.c_str());
}

bool CFileDataSource::Fail(int error, const std::string& text) {
  FLastIOError = error;
  Log(LogLevel::kError, text);
  return false;
}

std::string CFileDataSource::GetStateString() {
  std::ostringstream text;
  text << "UI=" << GetUniqueID() << ", BS=" << GetBlockSize() << ", BC=" << GetBlockCount()
       << ", R=" << TrueFalse(IsReady()) << ", F=" << TrueFalse(IsFormatted())
       << ", FN=" << FFileName;
  return text.str();
}

void CFileDataSource::GetOSPath(wchar_t* path) {
  wcsncpy(path, FPath.c_str(), kPathBufferChars);
}

long long CFileDataSource::GetBlockSize() {
  return FBlockSize;
}
long long CFileDataSource::GetBlockCount() {
  return FBlockCount;
}
bool CFileDataSource::IsFormatted() {
  return FFile != nullptr;
}
bool CFileDataSource::IsReady() {
  return FFile != nullptr;
}

void CFileDataSource::Refresh() {
  if (FFile != nullptr) {
    fclose(FFile);
    FFile = nullptr;
  }
  // Read-only: scanning never writes to the image.
  FFile = fopen(toUtf8String(FPath).c_str(), "r");
  if (FFile == nullptr) {
    int error = errno;
    std::ostringstream text;
    text << "Error opening '" << FFileName << "': '" << error;
    Fail(error, text.str());
    // The mount reports the same error number after this line.
    errno = error;
    return;
  }
  struct stat status;
  if (fstat(fileno(FFile), &status) != 0) {
    int error = errno;
    std::ostringstream text;
    text << "Error reading '" << FFileName << "' size: '" << error;
    Fail(error, text.str());
    fclose(FFile);
    FFile = nullptr;
    errno = error;
    return;
  }
  FLastIOError = 0;
  // Cards and their images exceed 2 GiB: measure with 64-bit positions. A failed query (-1)
  // gives no blocks.
  fseeko(FFile, 0, SEEK_END);
  long long size = static_cast<long long>(ftello(FFile));
  long long count = size / kImageBlockSize;
  if (count == FBlockCount && FBlockSize == kImageBlockSize) return;
  FBlockCount = count;
  FBlockSize = kImageBlockSize;
  FSize = count * kImageBlockSize;
  if (FEngine != nullptr) FEngine->DSChanged(this);
}

int CFileDataSource::GetType() {
  return 4;
}

bool CFileDataSource::GetIcon(void*& icon) {
  icon = nullptr;
  return false;
}

bool CFileDataSource::GetDisplayName(wchar_t* name) {
  // Only a backslash separates: the name is what follows the last one.
  size_t separator = FPath.find_last_of(L'\\');
  const wchar_t* shown = FPath.c_str() + (separator == std::wstring::npos ? 0 : separator + 1);
  wcsncpy(name, shown, kPathBufferChars);
  return true;
}

int CFileDataSource::GetLastIOError() {
  return FLastIOError;
}

bool CFileDataSource::ReadBlocks(long long index, long long count, void* buffer) {
  // Not ready or cancelled is the source's own state, not an I/O error: the error stays 0.
  FLastIOError = 0;
  if (!IsReady()) return false;
  long long blockSize = GetBlockSize();
  long long byteOffset = 0;
  long long byteCount = 0;
  bool overflow = __builtin_mul_overflow(index, blockSize, &byteOffset) ||
                  __builtin_mul_overflow(count, blockSize, &byteCount);
  // A negative count or a position beyond 64 bits cannot be sought to.
  if (overflow || count < 0 || fseeko(FFile, static_cast<off_t>(byteOffset), SEEK_SET) != 0) {
    int error = overflow || count < 0 ? EINVAL : errno;
    std::ostringstream text;
    text << "Error seeking to offset " << (overflow ? -1 : byteOffset) << " of " << FUniqueID
         << " for read of " << count << " blocks: " << error;
    return Fail(error, text.str());
  }

  bool cancel = false;
  if (FEngine != nullptr) FEngine->DSSeek(this, byteOffset, cancel);
  if (cancel) return false;

  // A short read at the end of the image leaves errno alone; start from 0 so the log does not
  // show a stale number.
  errno = 0;
  size_t items = fread(buffer, static_cast<size_t>(blockSize), static_cast<size_t>(count), FFile);
  if (items < static_cast<size_t>(count)) {
    int error = errno;
    clearerr(FFile);
    std::ostringstream text;
    text << "Error reading " << count << " blocks from " << FUniqueID << " at offset " << byteOffset
         << ": " << error;
    // An image that ends before its blocks do was cut short under us: an I/O error all the same.
    Fail(error != 0 ? error : EIO, text.str());
    return false;
  }

  if (FEngine != nullptr) FEngine->DSSeek(this, byteOffset + byteCount, cancel);
  if (cancel) {
    Log(LogLevel::kStep, "Read cancelled in DSSeek");
    return false;
  }
  std::ostringstream text;
  text << "Read of " << FUniqueID << " succeeded - Index " << index << ", Count " << count
       << ", ByteOffset " << byteOffset;
  Log(LogLevel::kDetail, text.str());
  return true;
}

bool CFileDataSource::WriteBlocks(long long, long long, void*) {
  return false;
}
bool CFileDataSource::AcquireReadLock() {
  return FFile != nullptr;
}
bool CFileDataSource::AcquireWriteLock() {
  return false;
}
void CFileDataSource::ReleaseReadLock() {}
void CFileDataSource::ReleaseWriteLock() {}
