// Undoes the terminal driver's marking of received bytes (PARMRK): a line BREAK
// arrives as FF 00 00, a byte with a parity or framing error X as FF 00 X, and
// a data byte FF as FF FF. The marks may be split across reads.
#pragma once

#include <cstddef>
#include <cstdint>

struct TSerialInputEvents {
  bool Break = false;
  uint32_t ErrorBytes = 0;  // bytes received with a parity or framing error
};

class TSerialInputDecoder final {
 public:
  bool ReplaceErrors = false;  // deliver ErrorChar in place of a byte with an error
  uint8_t ErrorChar = 0;
  bool DiscardNulls = false;   // drop received null bytes

  // Decodes Count bytes of Input into Output, which has room for Count + 1
  // bytes (a mark held back from the previous call may turn into data); returns
  // the number of data bytes. Events seen are added to Events.
  size_t Decode(const uint8_t* Input, size_t Count, uint8_t* Output, TSerialInputEvents& Events);
  void Reset() { FState = Normal; }

 private:
  enum TState : uint8_t { Normal, SawMark, SawMarkZero };
  TState FState = Normal;
};
