// A fixed-capacity byte ring buffer. It queues every byte travelling towards the
// emulated processor (keys, received serial bytes, system-manager text). It does
// no locking: a user that shares one instance between threads guards it itself.
#pragma once

#include <cstdint>
#include <memory>

class TByteFIFO final {
 public:
  // The capacity is the larger of Size and 4.
  explicit TByteFIFO(uint16_t Size);
  TByteFIFO(const TByteFIFO&) = delete;
  TByteFIFO& operator=(const TByteFIFO&) = delete;
  ~TByteFIFO() = default;

  // Empties the queue; the stored bytes are left where they are.
  void Clear();
  // False, and nothing changes, when the queue is full.
  bool Put(uint8_t Value);
  // False when the queue is empty; Value is then left untouched, since callers
  // preset it and some hand that preset value on.
  bool Get(uint8_t& Value);

  uint16_t Count() const { return FCount; }
  uint16_t Capacity() const { return FCapacity; }
  // Bytes reserved for the ring: the capacity rounded up to 16, plus 16.
  uint32_t AllocatedSize() const { return FAllocatedSize; }

 private:
  uint16_t FCapacity;
  uint32_t FAllocatedSize;
  std::unique_ptr<uint8_t[]> FBuffer;
  uint16_t FWriteIndex = 0;
  uint16_t FReadIndex = 0;
  uint16_t FCount = 0;
};
