#include "ZilogHex32Writer.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t TEXT_FLUSH_SIZE = 64 * 1024;
}

TZilogHex32WriterStream::TZilogHex32WriterStream(const std::filesystem::path& fileName, std::uint32_t startAddress,
                                                 int recordSize)
    : fileName_(fileName), startAddress_(startAddress), address_(startAddress), recordSize_(recordSize) {
  if (recordSize < 1 || recordSize > 255)
    throw EHexWriterError("Invalid hex record size " + std::to_string(recordSize) + ", it must be 1 to 255 bytes.");
  try {
    hexFile_ = std::make_unique<TReplacingFile>(fileName);
  } catch (const EStreamError& error) {
    throw EHexWriterError(error.what());
  }
  recordBuffer_.resize(static_cast<size_t>(2 * recordSize));
  if (startAddress >= 0x10000) {
    segment_ = startAddress & 0xFFFF0000u;
    segmentPending_ = true;
  }
}

TZilogHex32WriterStream::~TZilogHex32WriterStream() = default;

std::int64_t TZilogHex32WriterStream::Read(void*, std::int64_t) { return 0; }

std::int64_t TZilogHex32WriterStream::Seek(std::int64_t, TSeekOrigin) { return totalWritten_; }

std::int64_t TZilogHex32WriterStream::Write(const void* buffer, std::int64_t count) {
  if (!hexFile_ || count <= 0) return 0;
  if (static_cast<std::uint64_t>(startAddress_) + static_cast<std::uint64_t>(totalWritten_) +
          static_cast<std::uint64_t>(count) >
      0x100000000ull)
    throw EHexWriterError("The data runs past the end of the 32-bit address space of the hex file.");
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  for (std::int64_t i = 0; i < count;) {
    const std::int64_t room = recordSize_ - bufferedCount_;
    const std::int64_t n = std::min(room, count - i);
    std::memcpy(recordBuffer_.data() + bufferedCount_, bytes + i, static_cast<size_t>(n));
    bufferedCount_ += static_cast<int>(n);
    i += n;
    if (bufferedCount_ == recordSize_) FlushRecord();
  }
  totalWritten_ += count;
  return count;
}

void TZilogHex32WriterStream::FlushRecord() {
  const std::uint64_t end64 = static_cast<std::uint64_t>(address_) + static_cast<std::uint64_t>(bufferedCount_);
  const std::uint32_t end = static_cast<std::uint32_t>(end64) & 0xFFFF0000u;
  if (end != segment_ && end64 < 0x100000000ull) {
    // The buffered run reaches into a new 64 KiB segment: the bytes before the
    // boundary go out in the old one.
    if (address_ < end) {
      const int before = static_cast<int>(end - address_);
      if (segmentPending_) WriteSegmentRecord();
      WriteDataRecord(recordBuffer_.data(), before, address_);
      std::memmove(recordBuffer_.data(), recordBuffer_.data() + before, static_cast<size_t>(bufferedCount_ - before));
      bufferedCount_ -= before;
      address_ = end;
    }
    segment_ = address_ & 0xFFFF0000u;
    segmentPending_ = true;
  }
  if (bufferedCount_ > 0) {
    if (segmentPending_) WriteSegmentRecord();
    WriteDataRecord(recordBuffer_.data(), bufferedCount_, address_);
    address_ += static_cast<std::uint32_t>(bufferedCount_);
    bufferedCount_ = 0;
  }
}

void TZilogHex32WriterStream::WriteSegmentRecord() {
  WriteLine({2, 0, 0, 4, static_cast<std::uint8_t>(segment_ >> 24), static_cast<std::uint8_t>((segment_ >> 16) & 0xFF)});
  segmentPending_ = false;
}

void TZilogHex32WriterStream::WriteDataRecord(const std::uint8_t* data, int count, std::uint32_t address) {
  std::vector<std::uint8_t> record = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>((address >> 8) & 0xFF),
                                      static_cast<std::uint8_t>(address & 0xFF), 0};
  record.insert(record.end(), data, data + count);
  WriteLine(record);
}

void TZilogHex32WriterStream::WriteLine(const std::vector<std::uint8_t>& recordBytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::uint8_t sum = 0;
  text_ += ':';
  for (const std::uint8_t byte : recordBytes) {
    text_ += digits[byte >> 4];
    text_ += digits[byte & 15];
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  const auto checksum = static_cast<std::uint8_t>(-sum);
  text_ += digits[checksum >> 4];
  text_ += digits[checksum & 15];
  text_ += "\r\n";
  if (text_.size() >= TEXT_FLUSH_SIZE) FlushText();
}

void TZilogHex32WriterStream::FlushText() {
  if (text_.empty()) return;
  const auto size = static_cast<std::int64_t>(text_.size());
  if (hexFile_->Stream().Write(text_.data(), size) != size) {
    text_.clear();
    throw EHexWriterError("Unable to write to the hex file \"" + fileName_.string() + "\".");
  }
  text_.clear();
}

void TZilogHex32WriterStream::Close() {
  if (!hexFile_) return;
  // Whatever happens below, the file is finished with: after a failure the
  // unfinished file is dropped and a second Close (from the destructor) does
  // nothing.
  try {
    if (bufferedCount_ > 0) FlushRecord();
    text_ += ":00000001FF\r\n";
    FlushText();
    hexFile_->Commit();
  } catch (const EStreamError& error) {
    hexFile_.reset();
    throw EHexWriterError(error.what());
  } catch (...) {
    hexFile_.reset();
    throw;
  }
  hexFile_.reset();
}
