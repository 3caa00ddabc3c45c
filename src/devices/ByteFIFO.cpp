#include "ByteFIFO.h"

#include <algorithm>

TByteFIFO::TByteFIFO(uint16_t Size)
    : FCapacity(std::max<uint16_t>(Size, 4)),
      FAllocatedSize((static_cast<uint32_t>(FCapacity) + 15) / 16 * 16 + 16),
      FBuffer(std::make_unique<uint8_t[]>(FAllocatedSize)) {}

void TByteFIFO::Clear() {
  FWriteIndex = 0;
  FReadIndex = 0;
  FCount = 0;
}

bool TByteFIFO::Put(uint8_t Value) {
  if (FCount >= FCapacity) return false;
  FBuffer[FWriteIndex] = Value;
  if (++FWriteIndex == FCapacity) FWriteIndex = 0;
  ++FCount;
  return true;
}

bool TByteFIFO::Get(uint8_t& Value) {
  if (FCount == 0) return false;
  Value = FBuffer[FReadIndex];
  if (++FReadIndex == FCapacity) FReadIndex = 0;
  --FCount;
  return true;
}
