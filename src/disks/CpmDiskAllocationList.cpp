#include "CpmDiskAllocationList.h"

#include <algorithm>

TCpmDiskAllocationList::TCpmDiskAllocationList(std::uint16_t maxBlock)
    : bitmap_((static_cast<size_t>(maxBlock) + 8) / 8), maxBlock_(maxBlock) {
  Clear();
}

void TCpmDiskAllocationList::Clear() {
  std::fill(bitmap_.begin(), bitmap_.end(), 0);
  freeCount_ = static_cast<std::uint16_t>(maxBlock_ + 1);
}

bool TCpmDiskAllocationList::IsUsed(std::uint16_t block) const {
  if (block > maxBlock_) return true;
  return (bitmap_[block >> 3] >> (block & 7)) & 1;
}

void TCpmDiskAllocationList::MarkUsed(std::uint16_t block) {
  if (block > maxBlock_ || IsUsed(block)) return;
  bitmap_[block >> 3] = static_cast<std::uint8_t>(bitmap_[block >> 3] | (1 << (block & 7)));
  --freeCount_;
}

void TCpmDiskAllocationList::MarkFree(std::uint16_t block) {
  if (block > maxBlock_ || !IsUsed(block)) return;
  bitmap_[block >> 3] = static_cast<std::uint8_t>(bitmap_[block >> 3] & ~(1 << (block & 7)));
  ++freeCount_;
}

std::uint16_t TCpmDiskAllocationList::AllocateBlock() {
  for (size_t byte = 0; byte < bitmap_.size(); ++byte) {
    if (bitmap_[byte] == 0xFF) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (bitmap_[byte] & (1 << bit)) continue;
      const size_t block = byte * 8 + static_cast<size_t>(bit);
      if (block > maxBlock_) return NO_BLOCK;
      MarkUsed(static_cast<std::uint16_t>(block));
      return static_cast<std::uint16_t>(block);
    }
  }
  return NO_BLOCK;
}
