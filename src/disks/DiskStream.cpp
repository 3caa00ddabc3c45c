#include "DiskStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

namespace {

std::string HostReason() { return std::strerror(errno); }

}  // namespace

std::int64_t TStream::GetSize() {
  const std::int64_t position = GetPosition();
  const std::int64_t size = Seek(0, TSeekOrigin::End);
  SetPosition(position);
  return size;
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count <= 0) count = source.GetSize() - source.GetPosition();
  std::vector<std::uint8_t> buffer(64 * 1024);
  std::int64_t copied = 0;
  while (copied < count) {
    const std::int64_t chunk = std::min<std::int64_t>(count - copied, static_cast<std::int64_t>(buffer.size()));
    if (source.Read(buffer.data(), chunk) != chunk) throw EStreamError("Stream read error");
    if (Write(buffer.data(), chunk) != chunk) throw EStreamError("Stream write error");
    copied += chunk;
  }
  return copied;
}

namespace {

// Why a host object of this mode is no file to open, or empty when it is one.
std::string NotAFileReason(mode_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return "it is a folder, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a file";
  if (S_ISFIFO(mode)) return "it is a pipe, not a file";
  return "it is not a regular file";
}

bool RefusesWriting(int error) { return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY; }

}  // namespace

TFileStream::TFileStream(const std::filesystem::path& fileName, TMode mode) : fileName_(fileName) {
  // A device or pipe is never opened: opening one may block or act on it.
  struct stat info {};
  if (mode != TMode::Create && ::stat(fileName.c_str(), &info) == 0) {
    const std::string reason = NotAFileReason(info.st_mode);
    if (!reason.empty()) throw EStreamError("Cannot open file \"" + fileName.string() + "\": " + reason);
  }
  // Non-blocking while it is opened, in case something else took its place.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (mode) {
    case TMode::OpenRead: flags |= O_RDONLY; break;
    case TMode::OpenReadWrite:
    case TMode::OpenReadWriteIfAllowed: flags |= O_RDWR; break;
    case TMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  handle_ = ::open(fileName.c_str(), flags, 0666);
  if (handle_ < 0 && mode == TMode::OpenReadWriteIfAllowed && RefusesWriting(errno)) {
    handle_ = ::open(fileName.c_str(), (flags & ~O_RDWR) | O_RDONLY, 0666);
    readOnly_ = handle_ >= 0;
  }
  if (mode == TMode::OpenRead) readOnly_ = true;
  if (handle_ < 0) {
    const std::string reason = errno == EISDIR ? NotAFileReason(S_IFDIR) : HostReason();
    throw EStreamError("Cannot open file \"" + fileName.string() + "\": " + reason);
  }
  const std::string reason = ::fstat(handle_, &info) != 0 ? HostReason() : NotAFileReason(info.st_mode);
  if (!reason.empty()) {
    ::close(handle_);
    handle_ = -1;
    throw EStreamError("Cannot open file \"" + fileName.string() + "\": " + reason);
  }
  ::fcntl(handle_, F_SETFL, ::fcntl(handle_, F_GETFL) & ~O_NONBLOCK);
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::close(handle_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (handle_ < 0 || count <= 0) return 0;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(handle_, bytes + done, static_cast<size_t>(count - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (handle_ < 0 || count <= 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t put = ::write(handle_, bytes + done, static_cast<size_t>(count - done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += put;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (handle_ < 0) throw EStreamError("Cannot seek a closed file");
  const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
  const off_t result = ::lseek(handle_, static_cast<off_t>(offset), whence);
  if (result < 0) throw EStreamError("Cannot seek in file \"" + fileName_.string() + "\": " + HostReason());
  return result;
}

void TFileStream::Flush() {
  if (handle_ >= 0 && ::fsync(handle_) != 0 && errno != EINVAL)
    throw EStreamError("Cannot write file \"" + fileName_.string() + "\": " + HostReason());
}

void TFileStream::Close() {
  if (handle_ < 0) return;
  const int handle = handle_;
  handle_ = -1;
  if (::close(handle) != 0) throw EStreamError("Cannot close file \"" + fileName_.string() + "\": " + HostReason());
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t size = static_cast<std::int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const std::int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (position_ + count > static_cast<std::int64_t>(data_.size())) data_.resize(static_cast<size_t>(position_ + count));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t target = offset;
  if (origin == TSeekOrigin::Current) target = position_ + offset;
  if (origin == TSeekOrigin::End) target = static_cast<std::int64_t>(data_.size()) + offset;
  position_ = std::max<std::int64_t>(0, target);
  return position_;
}

TReplacingFile::TReplacingFile(const std::filesystem::path& fileName) : fileName_(fileName) {
  std::random_device random;
  for (int attempt = 0; attempt < 100 && !stream_; ++attempt) {
    tempName_ = fileName_;
    tempName_ += ".tmp" + std::to_string(random() % 1000000);
    const int handle = ::open(tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (handle < 0) {
      if (errno == EEXIST) continue;
      throw EStreamError("Cannot create file \"" + fileName_.string() + "\": " + HostReason());
    }
    ::close(handle);
    stream_ = std::make_unique<TFileStream>(tempName_, TFileStream::TMode::OpenReadWrite);
  }
  if (!stream_) throw EStreamError("Cannot create file \"" + fileName_.string() + "\"");
}

TReplacingFile::~TReplacingFile() {
  if (!committed_) {
    stream_.reset();
    std::error_code ignored;
    std::filesystem::remove(tempName_, ignored);
  }
}

void TReplacingFile::Commit() {
  stream_->Flush();
  stream_->Close();
  std::error_code error;
  std::filesystem::rename(tempName_, fileName_, error);
  if (error) throw EStreamError("Cannot replace file \"" + fileName_.string() + "\": " + error.message());
  committed_ = true;
}
