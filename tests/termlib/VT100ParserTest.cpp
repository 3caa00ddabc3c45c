#include <gtest/gtest.h>

#include <vector>

#include "ADTrmPsr.h"

namespace {

// Feeds Bytes and returns the result of the last one.
TAdParserResult Feed(TAdVT100Parser& Parser, const std::string& Bytes) {
  TAdParserResult Result = pctNone;
  for (char C : Bytes) Result = Parser.ProcessChar(static_cast<uint8_t>(C));
  return Result;
}

std::vector<int32_t> Arguments(const TAdVT100Parser& Parser) {
  std::vector<int32_t> Values;
  for (int I = 0; I < Parser.GetArgCount(); ++I) Values.push_back(Parser.GetArgument(I));
  return Values;
}

using Args = std::vector<int32_t>;

}  // namespace

TEST(VT100Parser, CharactersAndHighCharacters) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Parser.ProcessChar('A'), pctChar);
  EXPECT_EQ(Parser.GetCommand(), VT100::eChar);
  EXPECT_EQ(Parser.ProcessChar(200), pctHighChar);
  EXPECT_EQ(Parser.ProcessChar(127), pctHighChar);
}

TEST(VT100Parser, ArgumentsAreNormalised) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[m"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eSGR);
  EXPECT_EQ(Arguments(Parser), Args({0}));
  EXPECT_EQ(Feed(Parser, "\x1B[1;2A"), pctNone);  // two arguments where one is allowed
  EXPECT_EQ(Feed(Parser, "\x1B[;5H"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({1, 5}));
  EXPECT_EQ(Feed(Parser, "\x1B[5H"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({5, 1}));
  EXPECT_EQ(Feed(Parser, "\x1B[0;0H"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({0, 0}));  // 0 is left for the emulator
  EXPECT_EQ(Feed(Parser, "\x1B[r"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eDECSTBM);
  EXPECT_EQ(Arguments(Parser), Args({-1}));
}

TEST(VT100Parser, PrivateModes) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[?1h"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eSM);
  EXPECT_EQ(Arguments(Parser), Args({-2, 1}));
  EXPECT_EQ(Feed(Parser, "\x1B[?1;7h"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({-2, 1, 7}));
  EXPECT_EQ(Feed(Parser, "\x1B[=1h"), pctNone);
}

TEST(VT100Parser, ControlCharacterInsideASequenceActsAndTheSequenceResumes) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[1"), pctPending);
  EXPECT_EQ(Parser.ProcessChar('\r'), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eCR);
  EXPECT_EQ(Parser.GetSequence(), "\r");
  EXPECT_EQ(Parser.ProcessChar(0), pctNone);  // ignored, the sequence still waits
  EXPECT_EQ(Feed(Parser, "0H"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eCUP);
  EXPECT_EQ(Arguments(Parser), Args({10, 1}));
  EXPECT_EQ(Parser.GetSequence(), "\x1B[10H");
  // A second ESC starts afresh.
  EXPECT_EQ(Feed(Parser, "\x1B[5\x1B[2J"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eED);
  EXPECT_EQ(Arguments(Parser), Args({2}));
}

TEST(VT100Parser, ControlCharacterCodes) {
  TAdVT100Parser Parser;
  const std::pair<uint8_t, uint8_t> Codes[] = {{5, 114}, {7, 115}, {8, 116}, {9, 34}, {10, 117},
                                               {11, 40}, {12, 50}, {13, 118}, {14, 119}, {15, 120}};
  for (const auto& [Byte, Code] : Codes) {
    EXPECT_EQ(Parser.ProcessChar(Byte), pctComplete) << int(Byte);
    EXPECT_EQ(Parser.GetCommand(), Code) << int(Byte);
  }
  Parser.ProcessChar(12);
  EXPECT_EQ(Arguments(Parser), Args({2}));
  EXPECT_EQ(Parser.ProcessChar(24), pctNone);  // CAN
}

TEST(VT100Parser, ResetStringAndCharacterSets) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[61\"p"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eRIS);
  EXPECT_EQ(Feed(Parser, "\x1B(B"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eSCS);
  EXPECT_EQ(Arguments(Parser), Args({0, 66}));
  EXPECT_EQ(Feed(Parser, "\x1B)0"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({1, 0}));
  EXPECT_EQ(Feed(Parser, "\x1B(C"), pctNone);
  EXPECT_EQ(Feed(Parser, "\x1B*A"), pctNone);
  EXPECT_EQ(Feed(Parser, "\x1B#8"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eDECALN);
  EXPECT_EQ(Feed(Parser, "\x1B#3"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({0}));
}

TEST(VT100Parser, EscapeCommands) {
  TAdVT100Parser Parser;
  const std::pair<char, uint8_t> Codes[] = {{'7', 17}, {'8', 18}, {'D', 121}, {'E', 76}, {'H', 65},
                                            {'M', 88}, {'Z', 41}, {'c', 89}, {'=', 13}, {'>', 90}};
  for (const auto& [Byte, Code] : Codes) {
    EXPECT_EQ(Feed(Parser, std::string("\x1B") + Byte), pctComplete) << Byte;
    EXPECT_EQ(Parser.GetCommand(), Code) << Byte;
  }
  EXPECT_EQ(Feed(Parser, "\x1B<"), pctNone);
  EXPECT_EQ(Feed(Parser, "\x1Bq"), pctNone);
}

TEST(VT100Parser, VT52Mode) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[?2l"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eRM);
  EXPECT_TRUE(Parser.GetInVT52Mode());
  EXPECT_EQ(Feed(Parser, "\x1BY!*"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eCUP);
  EXPECT_EQ(Arguments(Parser), Args({2, 11}));
  EXPECT_EQ(Feed(Parser, "\x1B" "A"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eCUU);
  EXPECT_EQ(Feed(Parser, "\x1BZ"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({52}));
  EXPECT_EQ(Feed(Parser, "\x1B<"), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eSM);
  EXPECT_EQ(Arguments(Parser), Args({-2, 2}));
  EXPECT_FALSE(Parser.GetInVT52Mode());
  EXPECT_EQ(Feed(Parser, "\x1B[2J"), pctComplete);  // ANSI again
}

TEST(VT100Parser, VT52CursorAddressKeepsItsRowAcrossAControlCharacter) {
  TAdVT100Parser Parser;
  Parser.SetInVT52Mode(true);
  EXPECT_EQ(Feed(Parser, "\x1BY%"), pctPending);
  EXPECT_EQ(Parser.ProcessChar('\n'), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eLF);
  EXPECT_EQ(Parser.ProcessChar('('), pctComplete);
  EXPECT_EQ(Parser.GetCommand(), VT100::eCUP);
  EXPECT_EQ(Arguments(Parser), Args({6, 9}));
}

TEST(VT100Parser, MalformedSequencesAreDropped) {
  TAdVT100Parser Parser;
  EXPECT_EQ(Feed(Parser, "\x1B[1\xC8m"), pctNone);  // a byte of 200 inside the parameters
  EXPECT_EQ(Parser.GetSequence(), "");
  EXPECT_EQ(Feed(Parser, "\x1B[99999999999A"), pctNone);  // does not fit 32 bits
  EXPECT_EQ(Feed(Parser, "\x1B[2147483647A"), pctComplete);
  EXPECT_EQ(Arguments(Parser), Args({2147483647}));
  EXPECT_EQ(Feed(Parser, "\x1B[5;6H"), pctComplete);
  EXPECT_EQ(Parser.GetArgument(5), 0);
  EXPECT_EQ(Parser.GetArgument(-1), 0);
  EXPECT_EQ(Feed(Parser, "\x1B[5z"), pctNone);
}

TEST(VT100Parser, ArgumentArrayGrowsByHalf) {
  TAdVT100Parser Parser;
  std::string Sgr = "\x1B[";
  for (int I = 0; I < 40; ++I) Sgr += "1;";
  Sgr += "4m";
  EXPECT_EQ(Feed(Parser, Sgr), pctComplete);
  EXPECT_EQ(Parser.GetArgCount(), 41);
  EXPECT_EQ(Parser.GetArgument(40), 4);
  EXPECT_EQ(Parser.GetArgCapacity(), 54u);  // 16 -> 24 -> 36 -> 54
}

TEST(VT100Parser, EndlessSequenceUsesBoundedMemory) {
  TAdVT100Parser Parser;
  Feed(Parser, "\x1B[");
  for (int I = 0; I < 1000000; ++I) EXPECT_EQ(Parser.ProcessChar('7'), pctPending) << I;
  EXPECT_LE(Parser.GetSequenceCapacity(), 4 * TAdVT100Parser::MaxSequenceLength);
  EXPECT_EQ(Parser.ProcessChar('m'), pctNone);  // the overlong sequence is dropped at its end
  EXPECT_EQ(Parser.ProcessChar('x'), pctChar);
  EXPECT_EQ(Feed(Parser, "\x1B[4m"), pctComplete);
}
