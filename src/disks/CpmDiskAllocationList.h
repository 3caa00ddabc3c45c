// The block bitmap of a CP/M disk: one bit per block, 1 = used.
#pragma once

#include <cstdint>
#include <vector>

class TCpmDiskAllocationList {
 public:
  static constexpr std::uint16_t NO_BLOCK = 0xFFFF;

  explicit TCpmDiskAllocationList(std::uint16_t maxBlock);

  void Clear();
  int BlockCount() const { return maxBlock_ + 1; }
  std::uint16_t MaxBlock() const { return maxBlock_; }
  std::uint16_t FreeCount() const { return freeCount_; }
  bool IsUsed(std::uint16_t block) const;
  // Blocks above MaxBlock are ignored.
  void MarkUsed(std::uint16_t block);
  void MarkFree(std::uint16_t block);
  // First fit; NO_BLOCK when no block is free.
  std::uint16_t AllocateBlock();

 private:
  std::vector<std::uint8_t> bitmap_;
  std::uint16_t maxBlock_;
  std::uint16_t freeCount_ = 0;
};
