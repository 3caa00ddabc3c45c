#include <gtest/gtest.h>

#include "ADTrmBuf.h"
#include "EmulatorError.h"

namespace {

std::string Trimmed(const std::string& Line) { return Line.substr(0, Line.find_last_not_of(' ') + 1); }

}  // namespace

TEST(TerminalArray, ResizeKeepsTheBottomRowsAndTheLeftColumns) {
  TadTerminalArray Plane(1);
  Plane.SetDefaultItem('.');
  Plane.SetRowCount(4);
  Plane.SetColCount(6);
  for (int Row = 0; Row < 4; ++Row) Plane.SetItem(Row, 0, 'a' + Row);
  Plane.SetItem(3, 5, 'z');
  Plane.SetRowCount(2);
  EXPECT_EQ(Plane.GetItem(0, 0), 'c');
  EXPECT_EQ(Plane.GetItem(1, 0), 'd');
  Plane.SetColCount(3);
  EXPECT_EQ(Plane.GetItem(1, 0), 'd');
  Plane.SetColCount(8);
  EXPECT_EQ(Plane.GetItem(1, 5), '.');  // the cut column is gone for good
}

TEST(TerminalArray, EveryAccessOutsideThePlaneIsIgnored) {
  TadTerminalArray Plane(4);
  EXPECT_EQ(Plane.GetItemPtr(0, 0), nullptr);  // no storage yet
  Plane.SetRowCount(3);
  Plane.SetColCount(5);
  EXPECT_NE(Plane.GetItemPtr(2, 4), nullptr);
  EXPECT_EQ(Plane.GetItemPtr(3, 0), nullptr);
  EXPECT_EQ(Plane.GetItemPtr(0, 5), nullptr);
  EXPECT_EQ(Plane.GetItemPtr(-1, 0), nullptr);
  Plane.SetItem(7, 7, 1);
  Plane.ClearItems(9, 0, 100);
  Plane.DeleteItems(1000, 1, 4);
  Plane.InsertItems(1000, 1, -3);
  Plane.ScrollRows(1000, -5, 50);
  EXPECT_EQ(Plane.GetItem(1, 1), 0u);
  TadTerminalArray Odd(3);
  EXPECT_EQ(Odd.GetItemSize(), 1);
}

TEST(TerminalArray, InsertDeleteAndScrollMoveItems) {
  TadTerminalArray Plane(2);
  Plane.SetDefaultItem(0);
  Plane.SetRowCount(3);
  Plane.SetColCount(5);
  for (int Col = 0; Col < 5; ++Col) Plane.SetItem(0, Col, 10 + Col);
  Plane.DeleteItems(2, 0, 1);  // 10 13 14 0 0
  EXPECT_EQ(Plane.GetItem(0, 1), 13u);
  EXPECT_EQ(Plane.GetItem(0, 3), 0u);
  Plane.InsertItems(1, 0, 0);  // 0 10 13 14 0
  EXPECT_EQ(Plane.GetItem(0, 1), 10u);
  Plane.ScrollRows(-1, 0, 2);
  EXPECT_EQ(Plane.GetItem(1, 1), 10u);
  EXPECT_EQ(Plane.GetItem(0, 1), 0u);
  Plane.ReplaceItems(10, 99);
  EXPECT_EQ(Plane.GetItem(1, 1), 99u);
}

TEST(TerminalBuffer, StartsAt80By24With200RowsAndTabsEvery8) {
  TAdTerminalBuffer Buffer;
  EXPECT_EQ(Buffer.GetColCount(), 80);
  EXPECT_EQ(Buffer.GetRowCount(), 24);
  EXPECT_EQ(Buffer.GetSVRowCount(), 200);
  EXPECT_EQ(Buffer.GetCursorRow(), 1);
  EXPECT_EQ(Buffer.GetCursorCol(), 1);
  TAdScreenRect Rect;
  ASSERT_TRUE(Buffer.GetInvalidRect(Rect));
  EXPECT_EQ(Rect, (TAdScreenRect{1, 1, 80, 24}));
  Buffer.DoHorzTab();
  EXPECT_EQ(Buffer.GetCursorCol(), 9);
  Buffer.DoHorzTab();
  EXPECT_EQ(Buffer.GetCursorCol(), 17);
  Buffer.SetCursorCol(73);
  Buffer.DoHorzTab();
  EXPECT_EQ(Buffer.GetCursorCol(), 80);
  Buffer.DoBackHorzTab();
  EXPECT_EQ(Buffer.GetCursorCol(), 73);
}

TEST(TerminalBuffer, AutoWrapDelayWrapsOnTheNextCharacter) {
  TAdTerminalBuffer Buffer;
  Buffer.SetCursorPosition(24, 1);
  Buffer.WriteString("top");
  Buffer.SetCursorPosition(1, 1);
  Buffer.WriteString("first row");
  Buffer.SetCursorPosition(24, 1);
  Buffer.WriteString(std::string(80, 'x'));
  EXPECT_EQ(Buffer.GetCursorCol(), 80);
  EXPECT_TRUE(Buffer.GetWrapPending());
  Buffer.WriteChar('y');
  // The bottom row wrapped: the screen scrolled and the top row went to the scroll-back.
  EXPECT_EQ(Buffer.GetCursorRow(), 24);
  EXPECT_EQ(Buffer.GetCursorCol(), 2);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(24)), "y");
  EXPECT_EQ(Buffer.GetLineText(23), std::string(80, 'x'));
  EXPECT_EQ(Trimmed(Buffer.GetLineText(0)), "first row");
}

TEST(TerminalBuffer, WithoutAutoWrapTheLastColumnIsOverwritten) {
  TAdTerminalBuffer Buffer;
  Buffer.SetUseAutoWrap(false);
  Buffer.WriteString(std::string(80, 'a') + "b");
  EXPECT_EQ(Buffer.GetCharAt(1, 80), 'b');
  EXPECT_EQ(Buffer.GetCursorRow(), 1);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(2)), "");
}

TEST(TerminalBuffer, EraseScreenKeepsTheScrollBackAndEraseAllClearsIt) {
  TAdTerminalBuffer Buffer;
  Buffer.WriteString("hello");
  Buffer.EraseScreen();
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(-23)), "hello");
  EXPECT_EQ(Buffer.GetCursorCol(), 6);  // the cursor stays
  Buffer.EraseAll();
  EXPECT_EQ(Trimmed(Buffer.GetLineText(-23)), "");
  EXPECT_EQ(Buffer.GetCursorCol(), 1);
}

TEST(TerminalBuffer, ScrollRegionEdgeCases) {
  TAdTerminalBuffer Buffer;
  Buffer.SetScrollRegion(5, 5);
  EXPECT_FALSE(Buffer.GetUseScrollRegion());
  Buffer.SetCursorPosition(10, 10);
  Buffer.SetScrollRegion(1, 24);
  EXPECT_FALSE(Buffer.GetUseScrollRegion());
  EXPECT_EQ(Buffer.GetCursorRow(), 10);  // no region was in use: no homing
  Buffer.SetScrollRegion(20, 3);  // swapped
  EXPECT_TRUE(Buffer.GetUseScrollRegion());
  EXPECT_EQ(Buffer.GetWindowTopScreenRow(), 3);
  EXPECT_EQ(Buffer.GetWindowBottomScreenRow(), 20);
  // A bottom beyond the screen is clamped before the size check: 24..99 is one row.
  Buffer.SetScrollRegion(24, 99);
  EXPECT_EQ(Buffer.GetWindowTopScreenRow(), 3);
  EXPECT_EQ(Buffer.GetWindowBottomScreenRow(), 20);
  Buffer.SetScrollRegion(20, 99);
  EXPECT_EQ(Buffer.GetWindowTopScreenRow(), 20);
  EXPECT_EQ(Buffer.GetWindowBottomScreenRow(), 24);
}

TEST(TerminalBuffer, LineFeedScrollsOnlyTheRegion) {
  TAdTerminalBuffer Buffer;
  for (int Row = 1; Row <= 24; ++Row) {
    Buffer.SetCursorPosition(Row, 1);
    Buffer.WriteString("row" + std::to_string(Row));
  }
  Buffer.SetScrollRegion(2, 4);
  Buffer.SetCursorPosition(3, 1);  // absolute addressing: screen row 3
  Buffer.DoLineFeed();
  Buffer.DoLineFeed();
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "row1");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(2)), "row3");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(3)), "row4");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(4)), "");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(5)), "row5");
  // Below the region a line feed moves down without scrolling anything.
  Buffer.SetCursorPosition(23, 1);
  Buffer.DoLineFeed();
  Buffer.DoLineFeed();
  EXPECT_EQ(Buffer.GetCursorRow(), 24);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(2)), "row3");
  // Insert and delete line outside the region do nothing.
  Buffer.InsertLines(1);
  Buffer.DeleteLines(1);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(24)), "row24");
}

TEST(TerminalBuffer, InsertAndDeleteCharsAndLines) {
  TAdTerminalBuffer Buffer;
  Buffer.WriteString("abcdef");
  Buffer.SetCursorCol(2);
  Buffer.DeleteChars(2);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "adef");
  Buffer.InsertChars(3);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "a   def");
  Buffer.DeleteChars(1000);  // cut at the right edge
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "a");
  Buffer.SetCursorPosition(2, 1);
  Buffer.WriteString("second");
  Buffer.SetCursorPosition(1, 1);
  Buffer.InsertLines(1);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(2)), "a");
  EXPECT_EQ(Trimmed(Buffer.GetLineText(3)), "second");
  Buffer.DeleteLines(2);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "second");
  Buffer.DeleteLines(100000);
  EXPECT_EQ(Trimmed(Buffer.GetLineText(1)), "");
}

TEST(TerminalBuffer, EraseCharsRunsOnToTheNextRows) {
  TAdTerminalBuffer Buffer;
  Buffer.SetCursorPosition(1, 78);
  Buffer.WriteString("xyz" "abcdef");
  Buffer.SetCursorPosition(1, 79);
  Buffer.EraseChars(4);
  EXPECT_EQ(Buffer.GetCharAt(1, 78), 'x');
  EXPECT_EQ(Buffer.GetCharAt(1, 79), ' ');
  EXPECT_EQ(Buffer.GetCharAt(2, 2), ' ');
  EXPECT_EQ(Buffer.GetCharAt(2, 3), 'c');
  EXPECT_EQ(Buffer.GetCursorCol(), 79);
}

TEST(TerminalBuffer, CountsBelowTwoAreRefusedAndLargeRowCountsIgnored) {
  TAdTerminalBuffer Buffer;
  try {
    Buffer.tbSetColCount(1);
    FAIL();
  } catch (const EEmulatorError& Error) {
    EXPECT_STREQ(Error.what(), "TAdTerminalBuffer.tbSetColCount: new count too small");
  }
  EXPECT_THROW(Buffer.tbSetRowCount(1), EEmulatorError);
  EXPECT_THROW(Buffer.tbSetSVRowCount(0), EEmulatorError);
  Buffer.tbSetRowCount(300);
  EXPECT_EQ(Buffer.GetRowCount(), 24);
}

TEST(TerminalBuffer, WideningTo132KeepsTextAndStops) {
  TAdTerminalBuffer Buffer;
  Buffer.SetCursorCol(5);
  Buffer.SetHorzTabStop();
  Buffer.SetCursorPosition(3, 1);
  Buffer.WriteString(std::string(80, 'q'));
  Buffer.tbSetColCount(132);
  EXPECT_EQ(Buffer.GetLineText(3).substr(0, 80), std::string(80, 'q'));
  EXPECT_EQ(Buffer.GetCharAt(3, 81), ' ');
  EXPECT_TRUE(Buffer.HasHorzTabStop(5));
  EXPECT_TRUE(Buffer.HasHorzTabStop(73));
  EXPECT_FALSE(Buffer.HasHorzTabStop(81));
  EXPECT_FALSE(Buffer.HasHorzTabStop(89));
  EXPECT_NE(Buffer.GetLineCharPtr(24), nullptr);
  EXPECT_EQ(Buffer.GetLineCharPtr(25), nullptr);
  EXPECT_EQ(Buffer.GetLineCharPtr(-176), nullptr);
  EXPECT_NE(Buffer.GetLineCharPtr(-175), nullptr);
}

TEST(TerminalBuffer, SetDefBackColorRepaintsOnlyDefaultCells) {
  TAdTerminalBuffer Buffer;
  Buffer.WriteChar('a');
  Buffer.SetBackColor(0x0000FF);
  Buffer.WriteChar('b');
  Buffer.SetDefBackColor(0x112233);
  EXPECT_EQ(Buffer.GetBackColorAt(1, 1), 0x112233u);
  EXPECT_EQ(Buffer.GetBackColorAt(1, 2), 0x0000FFu);
  EXPECT_EQ(Buffer.GetBackColorAt(5, 5), 0x112233u);
}

TEST(TerminalBuffer, ReportsCursorMovesAndScrolls) {
  TAdTerminalBuffer Buffer;
  int Moves = 0;
  int LastRow = 0;
  Buffer.OnCursorMoved = [&](TAdTerminalBuffer&, int Row, int) {
    ++Moves;
    LastRow = Row;
  };
  std::vector<std::tuple<int, int, int>> Scrolls;
  Buffer.OnScrollRows = [&](TAdTerminalBuffer&, int Count, int First, int Last) { Scrolls.emplace_back(Count, First, Last); };
  Buffer.SetCursorPosition(24, 1);
  EXPECT_EQ(LastRow, 24);
  EXPECT_GE(Moves, 1);
  Buffer.DoLineFeed();
  ASSERT_EQ(Scrolls.size(), 1u);
  EXPECT_EQ(Scrolls[0], std::make_tuple(1, -175, 24));
  EXPECT_TRUE(Buffer.GetCursorMoved());
  EXPECT_FALSE(Buffer.GetCursorMoved());
}

TEST(TerminalBuffer, ResetRestoresModesAndClears) {
  TAdTerminalBuffer Buffer;
  Buffer.SetUseInsertMode(true);
  Buffer.SetUseAbsAddress(false);
  Buffer.SetScrollRegion(3, 10);
  Buffer.SetCharAttrs(tcaBold);
  Buffer.WriteString("text");
  Buffer.ClearAllHorzTabStops();
  Buffer.Reset();
  EXPECT_FALSE(Buffer.GetUseInsertMode());
  EXPECT_TRUE(Buffer.GetUseAbsAddress());
  EXPECT_FALSE(Buffer.GetUseScrollRegion());
  EXPECT_EQ(Buffer.GetCharAttrs(), 0);
  EXPECT_EQ(Buffer.GetCharAt(3, 1), ' ');
  EXPECT_TRUE(Buffer.HasHorzTabStop(9));
  EXPECT_EQ(Buffer.GetCursorRow(), 1);
}

TEST(TerminalBuffer, WideCharactersUseTwoByteCells) {
  TAdTerminalBuffer Buffer(true);
  Buffer.WriteChar(0x263A);
  EXPECT_EQ(Buffer.GetCharAt(1, 1), 0x263A);
  EXPECT_EQ(Buffer.GetCharAt(1, 2), 32);
}
