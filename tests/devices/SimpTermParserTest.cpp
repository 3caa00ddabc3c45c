#include "SimpTermParser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Records what the parser delivers.
struct ParserProbe {
  TSimpTermParser parser;
  std::string chars;
  std::vector<std::tuple<int, int, int>> commands;

  ParserProbe() {
    parser.OnChar = [this](TSimpTermParser&, uint8_t c) { chars.push_back(static_cast<char>(c)); };
    parser.OnCommand = [this](TSimpTermParser&, uint8_t command, int32_t a1, int32_t a2) {
      commands.emplace_back(command, a1, a2);
    };
  }
  void Feed(const std::string& bytes) {
    for (char c : bytes) parser.ProcessChar(static_cast<uint8_t>(c));
  }
};

const std::string ESC = "\x1b";

}  // namespace

TEST(SimpTermParser, EverySequenceRaisesItsCommand) {
  const std::pair<std::string, int> sequences[] = {
      {"Sc", 1}, {"Sh", 2}, {"Sl", 3}, {"Lc", 4}, {"L>", 5}, {"Li", 6}, {"Ld", 7}, {"Ch", 9}};
  for (const auto& [sequence, command] : sequences) {
    ParserProbe probe;
    probe.Feed("a" + ESC + sequence + "b");
    EXPECT_EQ(probe.chars, "ab") << sequence;
    ASSERT_EQ(probe.commands.size(), 1u) << sequence;
    EXPECT_EQ(probe.commands[0], std::make_tuple(command, 0, 0)) << sequence;
  }
}

TEST(SimpTermParser, CursorAddressTakesTwoRawBytes) {
  ParserProbe probe;
  probe.Feed(ESC + "Cp" + std::string(1, 5) + std::string(1, 10));
  ASSERT_EQ(probe.commands.size(), 1u);
  EXPECT_EQ(probe.commands[0], std::make_tuple(8, 5, 10));
  // ESC and letters are argument bytes here, not a new sequence.
  probe.Feed(ESC + "Cp" + ESC + "c" + "x");
  ASSERT_EQ(probe.commands.size(), 2u);
  EXPECT_EQ(probe.commands[1], std::make_tuple(8, 27, 'c'));
  EXPECT_EQ(probe.chars, "x");
  probe.Feed(ESC + "Cp" + std::string(1, '\0') + "\xff");
  EXPECT_EQ(probe.commands[2], std::make_tuple(8, 0, 255));
}

TEST(SimpTermParser, UnknownSequencesPassThroughAsCharacters) {
  const std::string cases[] = {"A" + ESC + "XB", ESC + ESC, ESC + "Sx", ESC + "Lx", ESC + "Cx"};
  for (const std::string& input : cases) {
    ParserProbe probe;
    probe.Feed(input);
    EXPECT_EQ(probe.chars, input);
    EXPECT_TRUE(probe.commands.empty());
    // The parser is idle again: a following command is recognised.
    probe.Feed(ESC + "Sc");
    EXPECT_EQ(probe.commands.size(), 1u);
  }
}

TEST(SimpTermParser, ResetDropsAnUnfinishedSequence) {
  ParserProbe probe;
  probe.Feed(ESC + "Cp" + "\x01");
  probe.parser.Reset();
  probe.Feed("z");
  EXPECT_EQ(probe.chars, "z");
  EXPECT_TRUE(probe.commands.empty());
}

TEST(SimpTermParser, CallbacksMayFeedTheParserAgain) {
  TSimpTermParser parser;
  std::string seen;
  int commands = 0;
  parser.OnChar = [&](TSimpTermParser& sender, uint8_t c) {
    seen.push_back(static_cast<char>(c));
    if (c == 'Q') sender.Reset();
  };
  parser.OnCommand = [&](TSimpTermParser& sender, uint8_t, int32_t, int32_t) {
    if (++commands == 1) {
      sender.ProcessChar(27);
      sender.ProcessChar('S');
      sender.ProcessChar('c');
    }
  };
  for (char c : ESC + "Q" + "k" + ESC + "Sh") parser.ProcessChar(static_cast<uint8_t>(c));
  EXPECT_EQ(seen, ESC + "Qk");
  EXPECT_EQ(commands, 2);
}

TEST(SimpTermParser, RandomBytesNeverBreakIt) {
  std::mt19937 random(20261209);
  ParserProbe probe;
  size_t fed = 0;
  for (int i = 0; i < 200000; ++i) {
    // Favour the bytes of the command language so that deep states are reached.
    static const char interesting[] = {27, 'S', 'L', 'C', 'c', 'h', 'l', '>', 'i', 'd', 'p'};
    uint8_t value = random() % 3 ? static_cast<uint8_t>(interesting[random() % sizeof interesting])
                                 : static_cast<uint8_t>(random());
    probe.parser.ProcessChar(value);
    ++fed;
  }
  // Every byte fed ends up as a character or inside a command (at most 5 bytes
  // each), apart from an unfinished sequence of at most 4 bytes.
  EXPECT_LE(probe.chars.size(), fed);
  EXPECT_GE(probe.chars.size() + probe.commands.size() * 5 + 4, fed);
  for (const auto& [command, a1, a2] : probe.commands) {
    EXPECT_GE(command, 1);
    EXPECT_LE(command, 9);
    EXPECT_GE(a1, 0);
    EXPECT_LE(a1, 255);
    EXPECT_GE(a2, 0);
    EXPECT_LE(a2, 255);
  }
  probe.parser.Reset();
  probe.chars.clear();
  probe.Feed("ok");
  EXPECT_EQ(probe.chars, "ok");
}
