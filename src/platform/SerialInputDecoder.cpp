#include "SerialInputDecoder.h"

size_t TSerialInputDecoder::Decode(const uint8_t* Input, size_t Count, uint8_t* Output, TSerialInputEvents& Events) {
  size_t out = 0;
  auto emit = [&](uint8_t value) {
    if (value == 0 && DiscardNulls) return;
    Output[out++] = value;
  };
  for (size_t i = 0; i < Count; ++i) {
    const uint8_t value = Input[i];
    switch (FState) {
      case Normal:
        if (value == 0xFF)
          FState = SawMark;
        else
          emit(value);
        break;
      case SawMark:
        if (value == 0) {
          FState = SawMarkZero;
        } else {
          // FF FF is a data FF; a lone FF (marking switched off) is data too.
          emit(0xFF);
          if (value != 0xFF) emit(value);
          FState = Normal;
        }
        break;
      case SawMarkZero:
        if (value == 0) {
          Events.Break = true;
        } else {
          ++Events.ErrorBytes;
          emit(ReplaceErrors ? ErrorChar : value);
        }
        FState = Normal;
        break;
    }
  }
  return out;
}
