// Seekable byte streams used by the disk classes: the abstract stream, a stream
// over a host file, a stream in memory, and a file that replaces another only
// once it has been written completely.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "EmulatorError.h"

// A stream that cannot be opened, positioned or written as asked.
class EStreamError : public EEmulatorError {
 public:
  using EEmulatorError::EEmulatorError;
};

enum class TSeekOrigin { Beginning, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Read and Write return the number of bytes moved; fewer than asked means the
  // end of the stream or a failure of the medium.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t GetPosition() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::Beginning); }
  // The size, leaving the position where it was.
  std::int64_t GetSize();
  // Copies count bytes (all remaining when count is 0) from source into this
  // stream; raises EStreamError when either side falls short.
  std::int64_t CopyFrom(TStream& source, std::int64_t count = 0);
};

class TFileStream : public TStream {
 public:
  // OpenReadWriteIfAllowed opens for reading and writing where the file and
  // its medium allow it, and for reading only where they refuse writing
  // (mode 0444, a read-only medium, another user's file): IsReadOnly tells.
  enum class TMode { OpenRead, OpenReadWrite, OpenReadWriteIfAllowed, Create };
  // Only regular files are opened: a folder, device, pipe or socket is refused
  // without being opened. Raises EStreamError with the host's reason when the
  // file cannot be opened.
  TFileStream(const std::filesystem::path& fileName, TMode mode);
  ~TFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

  const std::filesystem::path& FileName() const { return fileName_; }
  bool IsReadOnly() const { return readOnly_; }
  // Writes the file's data through to the medium; raises EStreamError on failure.
  void Flush();
  // Closes the file, reporting a failure of the close itself.
  void Close();

 private:
  std::filesystem::path fileName_;
  int handle_ = -1;
  bool readOnly_ = false;
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

  const std::vector<std::uint8_t>& Data() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

// A new file written under a temporary name beside its final name; Commit puts it
// in place in one step, so a failure part way never leaves a half-written file
// where the old one was. Without Commit the temporary file is removed.
class TReplacingFile {
 public:
  explicit TReplacingFile(const std::filesystem::path& fileName);
  ~TReplacingFile();
  TReplacingFile(const TReplacingFile&) = delete;
  TReplacingFile& operator=(const TReplacingFile&) = delete;

  TFileStream& Stream() { return *stream_; }
  void Commit();

 private:
  std::filesystem::path fileName_;
  std::filesystem::path tempName_;
  std::unique_ptr<TFileStream> stream_;
  bool committed_ = false;
};
