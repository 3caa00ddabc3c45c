#include "AdTerminalQueue.h"

#include <cstring>
#include <string>

#include "AdExcept.h"

namespace {
constexpr std::size_t Granule = 64;
}

TaaByteQueue::TaaByteQueue() : FBuffer(2 * Granule) {}

void TaaByteQueue::SetCapacity(std::size_t Value) {
  if (Value < FCount) Value = FCount;
  Value = (Value + Granule - 1) / Granule * Granule;
  if (Value == 0) Value = Granule;
  std::vector<uint8_t> Resized(2 * Value);
  if (FCount > 0) std::memcpy(Resized.data(), FBuffer.data(), FCount);
  FBuffer.swap(Resized);
}

void TaaByteQueue::Grow(std::size_t Needed) {
  std::size_t Capacity = GetCapacity();
  if (Capacity >= Needed) return;
  while (Capacity < Needed) Capacity *= 2;
  SetCapacity(Capacity);
}

void TaaByteQueue::Put(const void* Data, std::size_t Length) {
  if (Length == 0) return;
  std::memcpy(Reserve(Length), Data, Length);
  FCount += Length;
}

void TaaByteQueue::CheckAvailable(std::size_t Length) const {
  if (Length <= FCount) return;
  throw EAPDException("Not enough data in queue (" + std::to_string(FCount) + " bytes) to satisfy read request (" +
                      std::to_string(Length) + " bytes)");
}

const uint8_t* TaaByteQueue::Peek(std::size_t Length) const {
  CheckAvailable(Length);
  return FBuffer.data();
}

void TaaByteQueue::Remove(std::size_t Length) {
  CheckAvailable(Length);
  FCount -= Length;
  if (FCount > 0) std::memmove(FBuffer.data(), FBuffer.data() + Length, FCount);
}

uint8_t* TaaByteQueue::Reserve(std::size_t Length) {
  Grow(FCount + Length);
  return FBuffer.data() + FCount;
}

void TaaByteQueue::Commit(std::size_t Length) {
  // Never past the room a Reserve made.
  if (Length > GetCapacity() - FCount) Length = GetCapacity() - FCount;
  FCount += Length;
}
