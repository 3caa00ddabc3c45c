// The terminal's queue of bytes between the writers (the emulated machine's output
// port) and the display: a growable first-in first-out buffer whose queued bytes
// always begin at the start of its storage, so a reader takes them in one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TaaByteQueue {
 public:
  TaaByteQueue();

  std::size_t Count() const { return FCount; }
  std::size_t GetCapacity() const { return FBuffer.size() / 2; }
  // Raised to the number of queued bytes when smaller, then to a multiple of 64.
  void SetCapacity(std::size_t Value);
  void Put(const void* Data, std::size_t Length);
  // The first Length bytes; raises EAPDException when fewer are queued.
  const uint8_t* Peek(std::size_t Length) const;
  // Drops the first Length bytes; raises EAPDException when fewer are queued.
  void Remove(std::size_t Length);
  void Clear() { FCount = 0; }
  // Room for Length more bytes, filled in place and then made part of the queue by Commit.
  uint8_t* Reserve(std::size_t Length);
  void Commit(std::size_t Length);

 private:
  void Grow(std::size_t Needed);
  void CheckAvailable(std::size_t Length) const;

  // Twice the capacity, the queued bytes at its start.
  std::vector<uint8_t> FBuffer;
  std::size_t FCount = 0;
};
