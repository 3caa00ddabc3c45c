// A write-only stream that turns the bytes written to it into an Intel HEX file
// with 32-bit addresses: data records that never cross a 64 KiB boundary,
// extended linear address records announcing each segment other than 0 just
// before its first data, and an end-of-file record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DiskStream.h"
#include "EmulatorError.h"

class EHexWriterError : public EEmulatorError {
 public:
  using EEmulatorError::EEmulatorError;
};

class TZilogHex32WriterStream : public TStream {
 public:
  // Writes fileName, which replaces any old file of that name only when Close
  // finishes it; a failed export leaves the old file as it was. A record size
  // outside 1 .. 255 raises EHexWriterError before anything is created.
  TZilogHex32WriterStream(const std::filesystem::path& fileName, std::uint32_t startAddress, int recordSize);
  // Without a successful Close nothing is written where fileName is: an export
  // cut short by an error (the stream destroyed while the error unwinds) must
  // not leave a truncated but well-formed hex file that looks complete.
  ~TZilogHex32WriterStream() override;

  // Returns count; raises EHexWriterError when the file refuses the text or the
  // data would run past the 32-bit address space.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // The stream cannot be read: always 0.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Only the position query is meaningful: the number of bytes written so far.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

  // Writes the last record and the end-of-file record, closes the file and puts
  // it in place; EHexWriterError when that fails (the old file then stays).
  void Close();

 private:
  void FlushRecord();
  void WriteDataRecord(const std::uint8_t* data, int count, std::uint32_t address);
  void WriteSegmentRecord();
  void WriteLine(const std::vector<std::uint8_t>& recordBytes);
  void FlushText();

  std::filesystem::path fileName_;
  bool segmentPending_ = false;
  std::unique_ptr<TReplacingFile> hexFile_;
  std::uint32_t startAddress_;
  std::uint32_t address_;
  int recordSize_;
  std::vector<std::uint8_t> recordBuffer_;
  int bufferedCount_ = 0;
  std::uint32_t segment_ = 0;
  std::int64_t totalWritten_ = 0;
  std::string text_;
};
