// Replays the output of a full-screen editor session on a VT100 (clear, title and
// status lines in reverse video, a scroll region for the text, scrolling, insert and
// delete line, reverse index, insert and delete character, erase to end of line,
// save and restore cursor) and checks the final screen line by line.
#include <gtest/gtest.h>

#include "AdVT100Emulator.h"
#include "FakeTerminalHost.h"

namespace {

std::string FoxLine(int Number) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "line %02d: the quick brown fox", Number);
  return Text;
}

std::string EditorSession() {
  std::string S;
  S += "\x1B[?7h\x1B[H\x1B[2J";                              // wrap on, home, clear
  S += "\x1B[1;1H\x1B[7m  EDIT  demo.txt\x1B[K\x1B[m";        // title bar
  S += "\x1B[2;23r";                                          // text region, cursor home
  S += "\x1B[2;1H";
  for (int I = 1; I <= 22; ++I) S += FoxLine(I) + (I < 22 ? "\r\n" : "");
  S += "\x1B[24;1H\x1B[7m-- INSERT --\x1B[m\x1B[K";           // status line
  for (int I = 23; I <= 25; ++I) S += "\x1B[23;1H\n" + FoxLine(I);  // scroll forward three lines
  S += "\x1B[5;1H\x1B[Linserted text";                       // open a line
  S += "\x1B[10;1H\x1B[2M";                                  // delete two lines
  S += "\x1B[2;1H\x1BMtop line";                             // scroll back one line
  S += "\x1B[3;6H\x1B[3P\x1B[3;1H\x1B[2@>>";                 // delete and insert characters
  S += "\x1B[4;10H\x1B[K";                                   // cut the rest of a line
  S += "\x1B[6;1H\x1B[7mHIGHLIGHT\x1B[m";                    // a highlighted word
  S += "\x1B" "7\x1B[24;60HLn 6\x1B" "8";                    // position in the status line
  return S;
}

}  // namespace

TEST(VT100Replay, FullScreenEditorSessionEndsOnTheExpectedScreen) {
  TAdVT100Emulator Emulator;
  FakeTerminalHost Host;
  Emulator.SetTerminal(&Host);
  // Fed in uneven pieces, as a terminal drains its queue.
  const std::string Session = EditorSession();
  for (std::size_t At = 0; At < Session.size(); At += 7)
    Emulator.ProcessBlock(Session.substr(At, 7), csWriteChar);

  const char* Expected[24] = {
      "  EDIT  demo.txt",
      "top line",
      ">>line  the quick brown fox",
      "line 05:",
      "line 06: the quick brown fox",
      "HIGHLIGHTtext",
      "line 07: the quick brown fox",
      "line 08: the quick brown fox",
      "line 09: the quick brown fox",
      "line 10: the quick brown fox",
      "line 13: the quick brown fox",
      "line 14: the quick brown fox",
      "line 15: the quick brown fox",
      "line 16: the quick brown fox",
      "line 17: the quick brown fox",
      "line 18: the quick brown fox",
      "line 19: the quick brown fox",
      "line 20: the quick brown fox",
      "line 21: the quick brown fox",
      "line 22: the quick brown fox",
      "line 23: the quick brown fox",
      "line 24: the quick brown fox",
      "",
      "-- INSERT --                                               Ln 6",
  };
  const auto& Buffer = Emulator.GetBuffer();
  for (int Row = 1; Row <= 24; ++Row) EXPECT_EQ(TrimRight(Buffer.GetLineText(Row)), Expected[Row - 1]) << "row " << Row;

  // Reverse video: the whole title row, the highlighted word, the mode in the status line.
  for (int Row = 1; Row <= 24; ++Row)
    for (int Col = 1; Col <= 80; ++Col) {
      const bool Reverse = Row == 1 || (Row == 6 && Col <= 9) || (Row == 24 && Col <= 12);
      EXPECT_EQ((Buffer.GetAttrAt(Row, Col) & tcaReverse) != 0, Reverse) << "row " << Row << " column " << Col;
    }
  EXPECT_EQ(Buffer.GetCursorRow(), 6);
  EXPECT_EQ(Buffer.GetCursorCol(), 10);
  EXPECT_TRUE(Buffer.GetUseScrollRegion());
  EXPECT_EQ(Buffer.GetWindowTopScreenRow(), 2);
  EXPECT_EQ(Buffer.GetWindowBottomScreenRow(), 23);
  // Scrolling inside the region never pushed rows into the scroll-back.
  EXPECT_EQ(TrimRight(Buffer.GetLineText(0)), "");
}
