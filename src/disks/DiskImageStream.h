// The stream of a disk image file (".cpmdsk"): always one whole disk long,
// whatever the file's length. An image file may be shorter than a disk (tools
// such as mkfs.cpm write only the boot tracks and the directory): the part it
// lacks reads as formatted (E5h) and the file grows when that part is written:
// the gap before the written bytes and the rest of their last grow unit (a 2 KiB
// block of the disk) are filled with E5h, so the file keeps reading as
// formatted and ends on a whole block, which readers such as cpmtools expect.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "DiskStream.h"

class TDiskImageStream : public TStream {
 public:
  static constexpr std::uint8_t FORMATTED_BYTE = 0xE5;

  // Takes over an open image file; diskSize is the length the stream presents,
  // growUnit the multiple the file grows to.
  TDiskImageStream(std::unique_ptr<TFileStream> file, std::int64_t diskSize, std::int64_t growUnit);

  // Fewer bytes than asked only at the end of the disk or when the file fails.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Nothing is written to a file opened read-only (returns 0).
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // Positions lie within 0 .. the disk size; from the end counts back from it.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

  bool IsReadOnly() const { return file_->IsReadOnly(); }
  // The length of the file itself, which may be less than the disk.
  std::int64_t FileSize() { return file_->GetSize(); }

 private:
  bool FillGap(std::int64_t from, std::int64_t to);

  std::unique_ptr<TFileStream> file_;
  std::int64_t diskSize_;
  std::int64_t growUnit_;
  std::int64_t knownSize_ = 0;  // the file's length when last seen
  std::int64_t position_ = 0;
};
