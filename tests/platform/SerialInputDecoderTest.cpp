#include "SerialInputDecoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Decode(TSerialInputDecoder& decoder, const std::vector<uint8_t>& input, TSerialInputEvents& events) {
  std::vector<uint8_t> output(input.size() + 1);
  output.resize(decoder.Decode(input.data(), input.size(), output.data(), events));
  return output;
}

}  // namespace

TEST(SerialInputDecoder, MarksBecomeBreaksErrorsAndDataBytes) {
  TSerialInputDecoder decoder;
  TSerialInputEvents events;
  EXPECT_EQ(Decode(decoder, {'a', 0xFF, 0xFF, 'b', 0xFF, 0, 0, 'c', 0xFF, 0, 'x', 0}, events),
            (std::vector<uint8_t>{'a', 0xFF, 'b', 'c', 'x', 0}));
  EXPECT_TRUE(events.Break);
  EXPECT_EQ(events.ErrorBytes, 1u);
}

TEST(SerialInputDecoder, MarksSplitAcrossReadsAreJoined) {
  TSerialInputDecoder decoder;
  TSerialInputEvents events;
  EXPECT_EQ(Decode(decoder, {'a', 0xFF}, events), (std::vector<uint8_t>{'a'}));
  EXPECT_EQ(Decode(decoder, {0}, events), (std::vector<uint8_t>{}));
  EXPECT_FALSE(events.Break);
  EXPECT_EQ(Decode(decoder, {0, 'z'}, events), (std::vector<uint8_t>{'z'}));
  EXPECT_TRUE(events.Break);
  // A held-back mark followed by plain data gives both bytes.
  EXPECT_EQ(Decode(decoder, {0xFF}, events), (std::vector<uint8_t>{}));
  EXPECT_EQ(Decode(decoder, {'q'}, events), (std::vector<uint8_t>{0xFF, 'q'}));
}

TEST(SerialInputDecoder, ErrorReplacementAndNullDiscarding) {
  TSerialInputDecoder decoder;
  decoder.ReplaceErrors = true;
  decoder.ErrorChar = '?';
  decoder.DiscardNulls = true;
  TSerialInputEvents events;
  EXPECT_EQ(Decode(decoder, {0, 'a', 0xFF, 0, 'x', 0, 'b'}, events), (std::vector<uint8_t>{'a', '?', 'b'}));
  EXPECT_EQ(events.ErrorBytes, 1u);
  EXPECT_FALSE(events.Break);
}
