#include <gtest/gtest.h>

#include <cstdio>

#include "AdTTYEmulator.h"
#include "AdVT100Emulator.h"
#include "FakeTerminalHost.h"

namespace {

class VT100Emulator : public ::testing::Test {
 protected:
  void SetUp() override {
    Host.View.VisibleCols = 80;
    Emulator.SetTerminal(&Host);
  }
  void Feed(const std::string& Bytes) { Emulator.ProcessBlock(Bytes, csWriteChar); }
  TAdTerminalBuffer& Buffer() { return Emulator.GetBuffer(); }
  std::pair<int, int> Cursor() { return {Buffer().GetCursorRow(), Buffer().GetCursorCol()}; }
  std::string Line(int Row) { return TrimRight(Buffer().GetLineText(Row)); }
  std::string Key(uint16_t Code, TAdShiftState Shift = 0) {
    Host.Keys.clear();
    Emulator.KeyDown(Code, Shift);
    LastKey = Code;
    return Host.Keys;
  }

  TAdVT100Emulator Emulator;
  FakeTerminalHost Host;
  uint16_t LastKey = 0;
};

using Position = std::pair<int, int>;

}  // namespace

TEST_F(VT100Emulator, CursorMovesStayOnTheScreen) {
  Feed("\x1B[10;10H\x1B[0A");
  EXPECT_EQ(Cursor(), Position(9, 10));
  Feed("\x1B[1;1H\x1B[5A");
  EXPECT_EQ(Cursor(), Position(1, 1));
  Feed("\x1B[0;0H");
  EXPECT_EQ(Cursor(), Position(1, 1));
  Feed("\x1B[999;999H");
  EXPECT_EQ(Cursor(), Position(24, 80));
  Feed("\x1B[?5H");
  EXPECT_EQ(Cursor(), Position(1, 5));
  Feed("\x1B[2147483647B\x1B[2147483647C");
  EXPECT_EQ(Cursor(), Position(24, 80));
  Feed("\x1B[2147483647A\x1B[2147483647D");
  EXPECT_EQ(Cursor(), Position(1, 1));
  Feed("\x1B[5;5H\x1B[D\x1B[B");
  EXPECT_EQ(Cursor(), Position(6, 4));
}

TEST_F(VT100Emulator, OriginModeAddressesTheRegion) {
  Feed("\x1B[5;10r\x1B[?6h");
  EXPECT_TRUE(Emulator.GetOriginMode());
  Feed("\x1B[1;1HA");
  EXPECT_EQ(Buffer().GetCharAt(5, 1), 'A');
  Feed("\x1B[99;99H");
  EXPECT_EQ(Buffer().GetCursorScreenRow(), 10);  // clamped to the region's bottom
  Feed("\x1B[0;0HB");
  EXPECT_EQ(Buffer().GetCharAt(5, 1), 'B');
  Feed("\x1B[?6l\x1B[1;1HC");
  EXPECT_EQ(Buffer().GetCharAt(1, 1), 'C');
}

TEST_F(VT100Emulator, RestoreWithoutSaveGoesHomeWithDefaultColours) {
  Feed("\x1B[31;44;1m\x1B[7;9H\x1B" "8");
  EXPECT_EQ(Cursor(), Position(1, 1));
  EXPECT_EQ(Buffer().GetForeColor(), Buffer().GetDefForeColor());
  EXPECT_EQ(Buffer().GetBackColor(), Buffer().GetDefBackColor());
  EXPECT_EQ(Buffer().GetCharAttrs(), 0);
  Feed("\x1B[3;4H\x1B[32m\x1B" "7\x1B[m\x1B[20;20H\x1B" "8x");
  EXPECT_EQ(Buffer().GetCharAt(3, 4), 'x');
  EXPECT_EQ(Buffer().GetForeColorAt(3, 4), 0x008000u);
}

TEST_F(VT100Emulator, CountsOfZeroOrLessCountAsOne) {
  Feed("abcdef\x1B[1;2H\x1B[0P");
  EXPECT_EQ(Line(1), "acdef");
  Feed("\x1B[0@");
  EXPECT_EQ(Line(1), "a cdef");
  Feed("\x1B[0X");
  EXPECT_EQ(Line(1), "a cdef");
  Feed("\x1B[1;3H\x1B[0X");
  EXPECT_EQ(Line(1), "a  def");
  Feed("\x1B[2;1Hline2\x1B[1;1H\x1B[0L");
  EXPECT_EQ(Line(1), "");
  EXPECT_EQ(Line(3), "line2");
  Feed("\x1B[0M");
  EXPECT_EQ(Line(2), "line2");
  Feed("\x1B[2147483647M");  // returns at once and clears the rest
  EXPECT_EQ(Line(1), "");
  EXPECT_EQ(Line(2), "");
}

TEST_F(VT100Emulator, EraseInDisplayAndLine) {
  for (int Row = 1; Row <= 4; ++Row) Feed("\x1B[" + std::to_string(Row) + ";1H0123456789");
  Feed("\x1B[2;5H\x1B[K");
  EXPECT_EQ(Line(2), "0123");
  Feed("\x1B[1K");
  EXPECT_EQ(Line(2), "");
  Feed("\x1B[1;3H\x1B[2K");
  EXPECT_EQ(Line(1), "");
  Feed("\x1B[3;5H\x1B[J");
  EXPECT_EQ(Line(3), "0123");
  EXPECT_EQ(Line(4), "");
  Feed("\x1B[2J");
  EXPECT_EQ(Line(3), "");
  EXPECT_EQ(Cursor(), Position(3, 5));
}

TEST_F(VT100Emulator, ScrollRegionWithIndexAndReverseIndex) {
  for (int Row = 1; Row <= 24; ++Row) Feed("\x1B[" + std::to_string(Row) + ";1H" + std::to_string(Row));
  Feed("\x1B[r");
  EXPECT_FALSE(Buffer().GetUseScrollRegion());
  Feed("\x1B[10;12r");
  EXPECT_EQ(Cursor(), Position(1, 1));  // homed to the screen's top-left
  Feed("\x1B[10;1H\x1BM");  // reverse index at the region's top scrolls it down
  EXPECT_EQ(Line(10), "");
  EXPECT_EQ(Line(11), "10");
  EXPECT_EQ(Line(12), "11");
  EXPECT_EQ(Line(13), "13");
  Feed("\x1B[12;1H\x1B" "D\x1B" "D");
  EXPECT_EQ(Line(10), "11");
  EXPECT_EQ(Line(11), "");
  EXPECT_EQ(Line(12), "");
  Feed("\x1B[1;1H\x1BM");  // above the region: no scrolling
  EXPECT_EQ(Line(1), "1");
  Feed("\x1B[24;99r");  // clamped to 24..24, one row: ignored
  EXPECT_EQ(Buffer().GetWindowTopScreenRow(), 10);
}

TEST_F(VT100Emulator, TabStops) {
  Feed("\x1B[3g\tx");
  EXPECT_EQ(Buffer().GetCharAt(1, 80), 'x');
  Feed("\x1B[1;5H\x1BH\x1B[1;1H\ty");
  EXPECT_EQ(Buffer().GetCharAt(1, 5), 'y');
  Feed("\x1B[1;5H\x1B[g\x1B[1;1H\tz");
  EXPECT_EQ(Buffer().GetCharAt(1, 80), 'z');
}

TEST_F(VT100Emulator, GraphicRendition) {
  Feed("\x1B[1;31mA\x1B[22;7;44mB\x1B[0mC\x1B[5;4;8mD\x1B[25;24;28;27mE");
  EXPECT_EQ(Buffer().GetAttrAt(1, 1), tcaBold);
  EXPECT_EQ(Buffer().GetForeColorAt(1, 1), 0x000080u);
  EXPECT_EQ(Buffer().GetAttrAt(1, 2), tcaReverse);
  EXPECT_EQ(Buffer().GetBackColorAt(1, 2), 0x800000u);
  EXPECT_EQ(Buffer().GetAttrAt(1, 3), 0);
  EXPECT_EQ(Buffer().GetForeColorAt(1, 3), adSilver);
  EXPECT_EQ(Buffer().GetAttrAt(1, 4), tcaBlink | tcaUnderline | tcaInvisible);
  EXPECT_EQ(Buffer().GetAttrAt(1, 5), 0);
  EXPECT_TRUE(Emulator.HasBlinkingText());
}

TEST_F(VT100Emulator, BoldRedPaintsBrightened) {
  Feed("\x1B[1;31mR");
  Host.Runs.clear();
  Emulator.LazyPaint();
  ASSERT_FALSE(Host.Runs.empty());
  EXPECT_EQ(Host.Runs[0].Text, "R");
  EXPECT_EQ(Host.Runs[0].TextColor, 0x8080FFu);  // red 255, green 128, blue 128
  EXPECT_EQ(Host.Runs[0].FillColor, adBlack);
}

TEST_F(VT100Emulator, ReverseVideoAndReverseCells) {
  Emulator.LazyPaint();  // the first paint after creation covers the whole screen
  Feed("\x1B[7mr\x1B[mn");
  Host.Runs.clear();
  Emulator.LazyPaint();
  ASSERT_EQ(Host.Runs.size(), 2u);
  EXPECT_EQ(Host.Runs[0].TextColor, adBlack);
  EXPECT_EQ(Host.Runs[0].FillColor, adSilver);
  EXPECT_EQ(Host.Runs[1].TextColor, adSilver);
  Feed("\x1B[?5h");
  EXPECT_TRUE(Emulator.GetReverseVideo());
  EXPECT_TRUE(Emulator.NeedsUpdate());
  Host.Runs.clear();
  Emulator.LazyPaint();
  ASSERT_EQ(Host.Runs.size(), 25u);  // full redraw: two runs on row 1, one on each other row
  EXPECT_EQ(Host.Runs[0].TextColor, adSilver);
  EXPECT_EQ(Host.Runs[1].TextColor, adBlack);
}

TEST_F(VT100Emulator, ColumnMode132) {
  Feed("\x1B[?3h");
  EXPECT_EQ(Buffer().GetColCount(), 132);
  EXPECT_EQ(Host.ColumnChanges, std::vector<int>({132}));
  Feed("\x1B[?3h");
  EXPECT_EQ(Host.ColumnChanges.size(), 1u);
  Feed("\x1B[1;200Hx");
  EXPECT_EQ(Buffer().GetCharAt(1, 132), 'x');
  Feed("\x1B" "c");
  EXPECT_EQ(Buffer().GetColCount(), 80);
  EXPECT_EQ(Host.ColumnChanges, std::vector<int>({132, 80}));
}

TEST_F(VT100Emulator, ScreenAlignmentFillsWithE) {
  Feed("\x1B#8");
  for (int Row = 1; Row <= 24; ++Row) EXPECT_EQ(Buffer().GetLineText(Row), std::string(80, 'E'));
  Feed("\x1B[2J");
  EXPECT_EQ(Buffer().GetLineText(5), std::string(80, ' '));
}

TEST_F(VT100Emulator, CharacterSets) {
  Feed("\x1B(0q\x1B(Bq");
  EXPECT_EQ(Buffer().GetCharSetAt(1, 1), vcsLineDraw);
  EXPECT_EQ(Buffer().GetCharSetAt(1, 2), vcsUSASCII);
  Feed("\x1B)A\x0E#\x0F#");
  EXPECT_EQ(Buffer().GetCharSetAt(1, 3), vcsUK);
  EXPECT_EQ(Buffer().GetCharSetAt(1, 4), vcsUSASCII);
  // With G1 active a change of G0 shows only after SI.
  Feed("\x0E\x1B(0a\x0F" "a");
  EXPECT_EQ(Buffer().GetCharSetAt(1, 5), vcsUK);
  EXPECT_EQ(Buffer().GetCharSetAt(1, 6), vcsLineDraw);
  Host.Runs.clear();
  Emulator.Paint(1, 1, 1, 1);
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_EQ(Host.Runs[0].FontName, "Terminal");
  EXPECT_EQ(Host.Runs[0].Text, "\xC4");
}

TEST_F(VT100Emulator, UpperHalfBytes) {
  Feed(std::string("\xC4\xFA" "x", 3));
  EXPECT_EQ(Buffer().GetCharAt(1, 1), 'q');
  EXPECT_EQ(Buffer().GetCharSetAt(1, 1), vcsLineDraw);
  EXPECT_EQ(Buffer().GetCharAt(1, 2), 'x');  // 250 was dropped
  EXPECT_EQ(Buffer().GetCharSetAt(1, 2), vcsUSASCII);
  Emulator.DisplayUpperASCII = true;
  Feed(std::string("\xC4\xFA", 2));
  EXPECT_EQ(Buffer().GetCharAt(1, 3), 0xC4);
  EXPECT_EQ(Buffer().GetCharAt(1, 4), 0xFA);
}

TEST_F(VT100Emulator, RepliesNeedAPort) {
  Feed("\x1B[6n\x1BZ\x05");
  EXPECT_EQ(Host.PortBytes, "");
  Host.PortOpen = true;
  Emulator.Answerback = "me";
  Feed("\x1B[3;7H\x1B[6n\x1B[5n\x1B[c\x05\x1B[x");
  EXPECT_EQ(Host.PortBytes, "\x1B[3;7R\x1B[0n\x1B[?1;0c" "me\x1B[2;1;1;112;112;1;0x");
}

TEST_F(VT100Emulator, BellBeeps) {
  Feed("\x07");
  EXPECT_EQ(Host.Beeps, 1);
}

TEST_F(VT100Emulator, LineAttributesFollowTheScreenRowAndScroll) {
  Feed("\x1B[3;1H\x1B#6\x1B[4;1H\x1B#3\x1B[5;1H\x1B#4");
  EXPECT_EQ(Emulator.GetLineAttr(3), laDoubleWidth);
  EXPECT_EQ(Emulator.GetLineAttr(4), laDoubleHeightTop);
  EXPECT_EQ(Emulator.GetLineAttr(5), laDoubleHeightBottom);
  Feed("\x1B[3;1H\x1B[M");  // delete line 3: the attributes move up with the rows
  EXPECT_EQ(Emulator.GetLineAttr(3), laDoubleHeightTop);
  EXPECT_EQ(Emulator.GetLineAttr(4), laDoubleHeightBottom);
  Feed("\x1B#5");
  EXPECT_EQ(Emulator.GetLineAttr(3), laNormal);
  // In origin mode the command acts on the cursor's screen row.
  Feed("\x1B[10;20r\x1B[?6h\x1B[2;1H\x1B#6");
  EXPECT_EQ(Emulator.GetLineAttr(11), laDoubleWidth);
  EXPECT_EQ(Emulator.GetLineAttr(2), laNormal);
  // A full reset returns every row to single width.
  Feed("\x1B" "c");
  EXPECT_EQ(Emulator.GetLineAttr(11), laNormal);
  EXPECT_EQ(Emulator.GetLineAttr(4), laNormal);
}

TEST_F(VT100Emulator, DoubleWidthRowsPaintTwoCellsPerCharacter) {
  Feed("\x1B#6wide");
  Host.Runs.clear();
  Emulator.LazyPaint();
  ASSERT_FALSE(Host.Runs.empty());
  EXPECT_EQ(Host.Runs[0].CellWidthFactor, 2);
  EXPECT_EQ(Host.Runs[0].ViewCol, 0);
  EXPECT_EQ(Host.Runs[0].Text.substr(0, 4), "wide");
}

TEST_F(VT100Emulator, AnsiAndVT52SwitchTogether) {
  Feed("\x1B[?2l");
  EXPECT_FALSE(Emulator.GetAnsiMode());
  Feed("\x1BY%(x\x1B" "A\x1BH");
  EXPECT_EQ(Buffer().GetCharAt(6, 9), 'x');
  EXPECT_EQ(Cursor(), Position(1, 1));
  Feed("\x1BY\x7F\x7Fz");  // out of range: clamped to the screen
  EXPECT_EQ(Buffer().GetCharAt(24, 80), 'z');
  Feed("\x1B<");
  EXPECT_TRUE(Emulator.GetAnsiMode());
  Feed("\x1B[2;2Ha");
  EXPECT_EQ(Buffer().GetCharAt(2, 2), 'a');
  // Setting the mode directly changes how the parser reads the stream too.
  Emulator.SetAnsiMode(false);
  Feed("\x1BH");
  EXPECT_EQ(Cursor(), Position(1, 1));
  Emulator.SetAnsiMode(true);
  Feed("\x1B[5;5H");
  EXPECT_EQ(Cursor(), Position(5, 5));
}

TEST_F(VT100Emulator, VT52ShiftOutSelectsLineDrawing) {
  Feed("\x1B[?2l\x1B" "Fq\x1BGq");
  EXPECT_EQ(Buffer().GetCharSetAt(1, 1), vcsLineDraw);
  EXPECT_EQ(Buffer().GetCharSetAt(1, 2), vcsUSASCII);
}

TEST_F(VT100Emulator, ModesAndLeds) {
  Feed("\x1B[4h");
  EXPECT_TRUE(Buffer().GetUseInsertMode());
  Feed("\x1B[20h");
  EXPECT_TRUE(Buffer().GetUseNewLineMode());
  Feed("\x1B[?7l");
  EXPECT_FALSE(Buffer().GetUseAutoWrap());
  Feed("\x1B=");
  EXPECT_TRUE(Emulator.GetAppKeypad());
  Feed("\x1B[?1h");
  EXPECT_TRUE(Emulator.GetAppCursorKeys());
  Feed("\x1B[1;3q");
  EXPECT_EQ(Emulator.GetLEDs(), 5);
  Feed("\x1B[0;4q");
  EXPECT_EQ(Emulator.GetLEDs(), 8);
  Feed("\x1B" "c");
  EXPECT_FALSE(Buffer().GetUseInsertMode());
  EXPECT_FALSE(Emulator.GetAppKeypad());
  EXPECT_FALSE(Emulator.GetAppCursorKeys());
  EXPECT_TRUE(Buffer().GetUseAutoWrap());
}

TEST_F(VT100Emulator, CursorKeysFollowTheModes) {
  EXPECT_EQ(Key(0x26), "\x1B[A");
  EXPECT_EQ(LastKey, 0);  // consumed
  Emulator.SetAppCursorKeys(true);
  EXPECT_EQ(Key(0x26), "\x1BOA");
  Emulator.SetAnsiMode(false);
  EXPECT_EQ(Key(0x28), "\x1B" "B");
  Emulator.SetAnsiMode(true);
  Emulator.SetAppCursorKeys(false);
  EXPECT_EQ(Key(0x26 | KeyRepeatFlag), "\x1B[A");
  Emulator.SetAutoRepeat(false);
  EXPECT_EQ(Key(0x26 | KeyRepeatFlag), "");
  EXPECT_EQ(LastKey, 0);
}

TEST_F(VT100Emulator, KeypadAndFunctionKeys) {
  EXPECT_EQ(Key(0x67), "7");
  Emulator.SetAppKeypad(true);
  EXPECT_EQ(Key(0x67), "\x1BOw");
  EXPECT_EQ(Key(0x2B), "\x1BOM");
  Emulator.SetAnsiMode(false);
  EXPECT_EQ(Key(0x67), "\x1B?w");
  Emulator.SetAppKeypad(false);
  EXPECT_EQ(Key(0x2B), "\r");
  Emulator.SetAnsiMode(true);
  EXPECT_EQ(Key(0x70), "\x1BOP");
  EXPECT_EQ(Key(0x90), "\x1BOP");
  EXPECT_EQ(Host.NumLockRestores, 1);
  EXPECT_EQ(Key(0x08), "\x7F");
  EXPECT_EQ(Key(0x08, ssShift), "\x08");
  EXPECT_EQ(Key(0x20, ssCtrl), std::string(1, '\0'));
  EXPECT_EQ(Key(0x0D, ssShift), "\n");
  // Keys without a sequence go on to the window.
  EXPECT_EQ(Key(0x41), "");
  EXPECT_EQ(LastKey, 0x41);
  EXPECT_EQ(Key(0x22), "");  // Page Down has no VT100 key until the main window adds one
  Emulator.GetKeyboardMapping()->Add("VK_NEXT", "DEC_PF3k");
  EXPECT_EQ(Key(0x22), "\x1BOR");
}

TEST_F(VT100Emulator, KeySequencesEndingInAnEscapeStopAtTheirEnd) {
  // Keys 0xE1.. name sequences cut short after a backslash, after "\x" with fewer than
  // two digits, or empty; each sends what it holds and nothing beyond.
  TAdKeyboardMapping& Map = *Emulator.GetKeyboardMapping();
  const std::pair<const char*, const char*> Sequences[] = {
      {"ab\\", "ab\\"}, {"\\x4", "?"}, {"\\x", "?"}, {"\\x4G!", "?!"}, {"x\\e", "x\x1B"}, {"\\x41\\", "A\\"},
  };
  uint16_t Code = 0xE1;
  for (const auto& [Text, Sent] : Sequences) {
    char Number[8];
    std::snprintf(Number, sizeof Number, "\\x%02X", Code);
    const std::string Name = "VK_TEST" + std::to_string(Code);
    ASSERT_TRUE(Map.Add(Number, Name));
    ASSERT_TRUE(Map.Add(Name, "DEC_" + Name));
    ASSERT_TRUE(Map.Add("DEC_" + Name, Text));
    EXPECT_EQ(Key(Code), Sent) << Text;
    EXPECT_EQ(LastKey, 0) << "the key is consumed";
    ++Code;
  }
  // A key whose sequence is empty is left to the window, and sends nothing.
  ASSERT_TRUE(Map.Add("\\xF0", "VK_EMPTY"));
  ASSERT_TRUE(Map.Add("VK_EMPTY", "DEC_EMPTY"));
  ASSERT_TRUE(Map.Add("DEC_EMPTY", ""));
  EXPECT_EQ(Key(0xF0), "");
  EXPECT_EQ(LastKey, 0xF0);
  // A sequence cut to the longest a map stores may end in a lone backslash.
  ASSERT_TRUE(Map.Add("\\xF1", "VK_LONG"));
  ASSERT_TRUE(Map.Add("VK_LONG", "DEC_LONG"));
  ASSERT_TRUE(Map.Add("DEC_LONG", std::string(62, 'z') + "\\e"));
  EXPECT_EQ(Key(0xF1), std::string(62, 'z') + "\\");
}

TEST_F(VT100Emulator, EnterInNewLineModeSendsLineFeedToo) {
  Feed("\x1B[20h");
  char Enter = '\r';
  Emulator.KeyPress(Enter);
  EXPECT_EQ(Host.Keys, "\r\n");
  EXPECT_EQ(Key(0x2B), "\r\n");  // keypad Enter in numeric mode
}

TEST_F(VT100Emulator, HalfDuplexEchoesOnlyUpToTheEscape) {
  Host.HalfDuplex = true;
  EXPECT_EQ(Key(0x26), "\x1B[A");
  // Only the ESC went through the emulator's own input: nothing shows and the cursor
  // keeps its place.
  EXPECT_EQ(Line(1), "");
  EXPECT_EQ(Cursor(), Position(1, 1));
  char Letter = 'h';
  Emulator.KeyPress(Letter);
  Emulator.KeyPress(Letter);
  EXPECT_EQ(Line(1), "h");  // the first h ended the echoed escape
}

TEST_F(VT100Emulator, BlinkingTextIsPaintedInBothPhases) {
  Feed("ab\x1B[5mblink\x1B[m");
  ASSERT_TRUE(Emulator.HasBlinkingText());
  Host.Runs.clear();
  Emulator.BlinkPaint(false);
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_FALSE(Host.Runs[0].TextShown);
  EXPECT_EQ(Host.Runs[0].ViewCol, 2);
  EXPECT_EQ(Host.Runs[0].CellCount, 5);
  Host.Runs.clear();
  Emulator.BlinkPaint(true);
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_EQ(Host.Runs[0].Text, "blink");
  Feed("\x1B[2J");
  EXPECT_FALSE(Emulator.HasBlinkingText());
}

TEST_F(VT100Emulator, ReportsCursorMovesAndChangesToTheHost) {
  Feed("\x1B[4;6H");
  EXPECT_EQ(Host.LastCursor, Position(4, 6));
  EXPECT_GT(Host.DisplayChanges, 0);
}

TEST(VT100EmulatorFeeding, WholeBlocksAndSingleBytesGiveTheSameScreen) {
  // Text runs that reach the right edge with and without auto wrap, in insert mode,
  // across a scroll region and with a sequence split between blocks.
  std::string Stream = "\x1B[2J\x1B[H" + std::string(100, 'a') + "\r\n\x1B[?7l" + std::string(90, 'b') + "\x1B[?7h\r\n";
  Stream += "\x1B[4h" "insert\x1B[1;1Hhead\x1B[4l\x1B[20;22r\x1B[22;70H" + std::string(200, 'c');
  Stream += "\x1B[1;31mred\x1B[m\x1B[24;75H" + std::string(30, 'd') + "\x1B[5;5Htail";
  TAdVT100Emulator Whole;
  TAdVT100Emulator Bytes;
  Whole.ProcessBlock(Stream, csWriteChar);
  for (char C : Stream) Bytes.ProcessBlock(std::string(1, C), csWriteChar);
  for (int Row = -5; Row <= 24; ++Row)
    for (int Col = 1; Col <= 80; ++Col) {
      ASSERT_EQ(Whole.GetBuffer().GetCharAt(Row, Col), Bytes.GetBuffer().GetCharAt(Row, Col)) << Row << "," << Col;
      ASSERT_EQ(Whole.GetBuffer().GetAttrAt(Row, Col), Bytes.GetBuffer().GetAttrAt(Row, Col)) << Row << "," << Col;
      ASSERT_EQ(Whole.GetBuffer().GetForeColorAt(Row, Col), Bytes.GetBuffer().GetForeColorAt(Row, Col));
    }
  EXPECT_EQ(Whole.GetBuffer().GetCursorRow(), Bytes.GetBuffer().GetCursorRow());
  EXPECT_EQ(Whole.GetBuffer().GetCursorCol(), Bytes.GetBuffer().GetCursorCol());
  EXPECT_EQ(Whole.GetBuffer().GetLineText(1).substr(0, 8), "headaaaa");  // inserted before the text
  EXPECT_EQ(Whole.GetBuffer().GetLineText(1).substr(76, 4), "aaaa");
  EXPECT_EQ(Whole.GetBuffer().GetLineText(4).substr(0, 6), "insert");
  EXPECT_EQ(Whole.GetBuffer().GetCharAt(3, 80), 'b');
  EXPECT_EQ(Whole.GetBuffer().GetCharAt(3, 81), 0);
}

TEST(TTYEmulatorFeeding, WholeBlocksAndSingleBytesGiveTheSameScreen) {
  const std::string Stream = std::string(170, 'x') + "\r\n\tTab\x08!" + std::string(2000, 'y');
  TAdTTYEmulator Whole;
  TAdTTYEmulator Bytes;
  Whole.ProcessBlock(Stream, csWriteChar);
  for (char C : Stream) Bytes.ProcessBlock(std::string(1, C), csWriteChar);
  for (int Row = -30; Row <= 24; ++Row) EXPECT_EQ(Whole.GetBuffer().GetLineText(Row), Bytes.GetBuffer().GetLineText(Row)) << Row;
  EXPECT_EQ(Whole.GetBuffer().GetCursorCol(), Bytes.GetBuffer().GetCursorCol());
}

TEST_F(VT100Emulator, ScrollBackKeeps176RowsAboveTheScreen) {
  for (int I = 1; I <= 300; ++I) {
    std::string Text(1, 'L');
    Text += std::to_string(I);
    Text += "\r\n";
    Feed(Text);
  }
  EXPECT_EQ(Line(23), "L300");
  EXPECT_EQ(Line(1), "L278");
  EXPECT_EQ(Line(0), "L277");
  EXPECT_EQ(Line(-175), "L102");
  EXPECT_EQ(Buffer().GetLineCharPtr(-176), nullptr);
}

TEST_F(VT100Emulator, HugeArgumentsAreHarmless) {
  Feed("\x1B[" + std::string(300, '9') + "A");  // does not fit: dropped
  Feed("\x1B[" + std::string(300, '0') + "5Bx");  // only the first 255 digits count: 0 means 1
  EXPECT_EQ(Buffer().GetCharAt(2, 1), 'x');
  Feed("\x1B[2147483647;2147483647Hy\x1B[2147483647@\x1B[2147483647X\x1B[2147483647L\x1B[2147483647P");
  EXPECT_EQ(Cursor(), Position(24, 80));
  TAdEmuCommandParams Far;
  Far.Add("Row", "2147483647");
  Far.Add("Col", "-2147483648");
  Emulator.ExecuteCommand(ecCursorPos, Far);
  EXPECT_EQ(Buffer().GetCursorCol(), 1);
  EXPECT_EQ(Buffer().GetCharAt(2147483647, 1), 0);
  EXPECT_EQ(Buffer().GetLineCharPtr(-2147483647), nullptr);
}

TEST_F(VT100Emulator, EraseFromStartOfScreen) {
  for (int Row = 1; Row <= 3; ++Row) Feed("\x1B[" + std::to_string(Row) + ";1H0123456789");
  Feed("\x1B[2;4H\x1B[1J");
  EXPECT_EQ(Line(1), "");
  EXPECT_EQ(Line(2), "    456789");
  EXPECT_EQ(Line(3), "0123456789");
  Feed("\x1B" "E");  // next line: row 3, column 1
  EXPECT_EQ(Cursor(), Position(3, 1));
}

TEST_F(VT100Emulator, DoubleHeightBottomHalfShowsTheRowAbove) {
  Feed("\x1B[4;1H\x1B#3Big\x1B[5;1H\x1B#4");
  Host.Runs.clear();
  Emulator.Paint(5, 5, 1, 6);
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_EQ(Host.Runs[0].LineAttr, laDoubleHeightBottom);
  EXPECT_EQ(Host.Runs[0].ViewRow, 4);
  EXPECT_EQ(Host.Runs[0].Text, "Big");  // screen columns 1..6 are buffer columns 1..3
  // Scrolled right by one column on a double-width row: half a cell hangs off the left.
  Host.View.OriginCol = 2;
  Host.Runs.clear();
  Emulator.Paint(4, 4, 1, 2);
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_EQ(Host.Runs[0].ViewCol, -1);
  EXPECT_EQ(Host.Runs[0].Text, "B");
}
