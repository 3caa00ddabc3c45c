// The plain character screen of the TTY console page and of the CPU page's
// register panel. It keeps a 255 x 255 cell array of which the first Rows x
// Columns cells are shown, draws every changed cell into an off-screen image and
// copies the visible part of that image to the window. It has a blinking bar
// cursor, optional line wrap, a scroll region, tab stops, scroll bars when the
// screen is larger than the window, and it hands keys to its owner. It does not
// interpret escape sequences: the TTY parser does that and calls the operations.
#pragma once

#include <QAbstractScrollArea>
#include <QChar>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class TSimpleTerminal;

// A cell colour: an opaque QRgb (0xFFRRGGBB), or one of the two markers of
// TSimpleTerminal (KeepColor, ControlColor), whose alpha bytes no real colour has.
using TSimpleTermColor = uint32_t;

struct TSimpleTermCell {
  uint8_t Attribute;
  uint8_t Character;  // Latin-1
  TSimpleTermColor ForeColor;
  TSimpleTermColor BackColor;
};

// Key is a Qt key code; the owner swallows a key by setting it to 0, after which
// no key press follows for it.
using TSimpleTermKeyEvent = std::function<void(TSimpleTerminal& Sender, int& Key, Qt::KeyboardModifiers Shift)>;
// Key is one typed character (a control character for Return, Tab, Backspace...).
using TSimpleTermKeyPressEvent = std::function<void(TSimpleTerminal& Sender, QChar Key)>;

class TSimpleTerminal : public QAbstractScrollArea {
  Q_OBJECT
  Q_PROPERTY(QColor Color READ GetColor WRITE SetColor)
  Q_PROPERTY(QColor FontColor READ GetFontColor WRITE SetFontColor)

 public:
  static constexpr int MaxRows = 255;
  static constexpr int MaxColumns = 255;
  static constexpr int CursorBarHeight = 4;
  static constexpr int BlinkInterval = 500;  // milliseconds

  // Attribute bits of a cell.
  static constexpr uint8_t AttrBlank = 1;  // background only; ends a field
  static constexpr uint8_t AttrUnderline = 2;
  static constexpr uint8_t AttrBold = 4;
  static constexpr uint8_t AttrReverse = 16;

  // In a cell being stored: keep the colour the cell already has.
  static constexpr TSimpleTermColor KeepColor = 0x1FFFFFFF;
  // In a stored cell: paint in the control's FontColor (fore) or Color (back).
  static constexpr TSimpleTermColor ControlColor = 0x20000000;

  // Takes the focus by click and Tab (StrongFocus); the cursor blinks from the start.
  explicit TSimpleTerminal(QWidget* Parent = nullptr);

  // Family at PixelHeight pixels when the host has it, else the host's fixed
  // font at that height: the TTY page asks for "Lucida Console", which most
  // hosts lack.
  static QFont FixedPitchFont(const QString& Family, int PixelHeight);

  void WriteChar(uint8_t Value);
  void WriteText(std::string_view Text);
  void GotoXY(int Column, int Row);
  void Home() { GotoXY(0, 0); }
  void CursorRight(int Count);
  void CursorLeft(int Count);
  void CursorDown(int Count, bool ToColumn0);
  void CursorUp(int Count, bool ToColumn0);
  void ClearScreen();
  void ClearLine();
  void ClearToEndOfLine();
  void ClearRestOfField();
  void InsertLines(int Count);
  void DeleteLines(int Count);
  // Scrolls the scroll region up by Count rows; a negative Count scrolls down.
  void ScrollUp(int Count);

  int GetRows() const { return FRows; }
  void SetRows(int Value);
  int GetColumns() const { return FColumns; }
  void SetColumns(int Value);
  int GetCursorRow() const { return FCursorRow; }
  int GetCursorColumn() const { return FCursorColumn; }
  // The rows that LF and line wrap scroll; 0..Rows - 1 after every change of
  // Rows. An invalid pair is ignored.
  void SetScrollRegion(int Top, int Bottom);
  int GetScrollTop() const { return FScrollTop; }
  int GetScrollBottom() const { return FScrollBottom; }

  bool GetLineWrap() const { return FLineWrap; }
  void SetLineWrap(bool Value) { FLineWrap = Value; }
  bool GetScrollLock() const { return FScrollLock; }
  void SetScrollLock(bool Value) { FScrollLock = Value; }
  bool GetDisplayCursor() const { return FDisplayCursor; }
  void SetDisplayCursor(bool Value);
  bool GetAutoSize() const { return FAutoSize; }
  void SetAutoSize(bool Value);
  bool GetScrollToCursor() const { return FScrollToCursor; }
  void SetScrollToCursor(bool Value);
  int GetHorzTabSpacing() const { return FHorzTabSpacing; }
  void SetHorzTabSpacing(int Value);
  bool GetWantTabs() const { return FWantTabs; }
  void SetWantTabs(bool Value) { FWantTabs = Value; }
  bool GetWantReturns() const { return FWantReturns; }
  void SetWantReturns(bool Value) { FWantReturns = Value; }
  bool GetWantArrowKeys() const { return FWantArrowKeys; }
  void SetWantArrowKeys(bool Value) { FWantArrowKeys = Value; }

  // Attribute of written characters; bit 1 (blank) is never written.
  uint8_t GetAttribute() const { return FAttribute; }
  void SetAttribute(uint8_t Value) { FAttribute = Value; }
  // Colours of written characters; KeepColor by default.
  TSimpleTermColor GetCurrentForeColor() const { return FCurrentForeColor; }
  void SetCurrentForeColor(TSimpleTermColor Value) { FCurrentForeColor = Value; }
  TSimpleTermColor GetCurrentBackColor() const { return FCurrentBackColor; }
  void SetCurrentBackColor(TSimpleTermColor Value) { FCurrentBackColor = Value; }

  // Background of the screen and of blank cells.
  QColor GetColor() const { return FColor; }
  void SetColor(const QColor& Value);
  // Text colour of cells that use the control's colours.
  QColor GetFontColor() const { return FFontColor; }
  void SetFontColor(const QColor& Value);

  // Measured from the font, in logical pixels; never below 1.
  int GetCellWidth() const { return FCellWidth; }
  int GetCellHeight() const { return FCellHeight; }
  // Any cell of the 255 x 255 array; outside it a blank cell.
  TSimpleTermCell GetCell(int Row, int Column) const;
  bool IsCursorShown() const { return FCursorShown; }

  QSize sizeHint() const override;

  TSimpleTermKeyEvent OnKeyDown;
  TSimpleTermKeyPressEvent OnKeyPress;
  TSimpleTermKeyEvent OnKeyUp;

 protected:
  bool event(QEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void scrollContentsBy(int Dx, int Dy) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void keyReleaseEvent(QKeyEvent* Event) override;

 private:
  // Hides the cursor for the lifetime of the guard and shows it again at the
  // (new) cursor position when the outermost guard ends, if DisplayCursor.
  class TCursorHider {
   public:
    explicit TCursorHider(TSimpleTerminal& Terminal);
    ~TCursorHider();
    TCursorHider(const TCursorHider&) = delete;
    TCursorHider& operator=(const TCursorHider&) = delete;

   private:
    TSimpleTerminal& FTerminal;
  };

  TSimpleTermCell& Cell(int Row, int Column) { return FCells[Row * MaxColumns + Column]; }
  const TSimpleTermCell& Cell(int Row, int Column) const { return FCells[Row * MaxColumns + Column]; }
  QRect CellRect(int Row, int Column) const;
  QSize BitmapSize() const;
  QImage NewBitmap(QSize LogicalSize) const;
  bool BitmapMatchesScreen() const;

  void MeasureCells();
  void RebuildBitmap(bool KeepContents);
  void RedrawAll();
  void DrawRows(int First, int Last);
  void PaintCell(QPainter& Painter, int Row, int Column);
  void StoreCell(QPainter& Painter, int Row, int Column, const TSimpleTermCell& Value);
  void BlankCells(int Row, int FirstColumn, int LastColumn);
  void ScrollRows(int First, int Last, int Count, bool Up);
  void MoveBitmapRows(int From, int To, int Count);
  void FillBitmapRows(int First, int Count);
  void NextRowOrScroll();

  void ShowCursor();
  void HideCursor();
  void Blink();
  void MakeCursorVisible();
  // With ScrollToCursor, a change of the cells (font, screen density) or of the
  // view's size keeps the cursor's cell in sight when it was in sight before; a
  // view scrolled elsewhere stays where it is. True when the cursor's cell lies
  // wholly in the view as last laid out.
  bool CursorInSight() const;
  // Measures the cells and draws the screen anew, contents kept.
  void Remeasure();
  void InvalidateBitmapRect(const QRect& Rect);
  void UpdateScrollBars();
  void ApplyAutoSize();
  void UpdateTabStops();
  bool WantsKey(int Key) const;

  std::vector<TSimpleTermCell> FCells;
  QImage FBitmap;
  std::array<QFont, 8> FCellFonts;  // by the bold and underline bits of an attribute
  int FCellFontAscent = 0;
  QTimer FBlinkTimer;

  bool FAutoSize = true;
  int FCursorRow = 0;
  int FCursorColumn = 0;
  int FRows = 24;
  int FColumns = 80;
  int FCellHeight = 10;
  int FCellWidth = 10;
  bool FLineWrap = true;
  bool FScrollLock = false;
  bool FDisplayCursor = true;
  int FShownCursorColumn = 0;
  int FShownCursorRow = 0;
  bool FCursorShown = false;
  int FCursorHideDepth = 0;
  bool FWantTabs = true;
  bool FWantReturns = true;
  bool FWantArrowKeys = true;
  uint8_t FAttribute = 0;
  bool FScrollToCursor = true;
  TSimpleTermColor FCurrentForeColor = KeepColor;
  TSimpleTermColor FCurrentBackColor = KeepColor;
  std::array<bool, MaxColumns> FTabStops{};
  int FHorzTabSpacing = 8;
  int FScrollTop = 0;
  int FScrollBottom = 23;
  QColor FColor;
  QColor FFontColor;
  QSize FViewSize;  // the view's size as the bars lay it out
  bool FBuilt = false;
  bool FRebuildPending = false;
};
