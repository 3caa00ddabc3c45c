#include "SimpleTerminal.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLayout>
#include <QPainter>
#include <QPaintEvent>
#include <QRegion>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "HostFixedPitchFont.h"

namespace {

// Measuring text: wide and narrow letters, digits, descenders and punctuation,
// so the cell holds every glyph of the font.
constexpr std::string_view MeasureSample = "1234567890ABCDEFGHIJKLMNOP~1!@#$%^&*()_{}[]><?gjq";

constexpr TSimpleTermCell BlankCell{TSimpleTerminal::AttrBlank, ' ', TSimpleTerminal::ControlColor,
                                    TSimpleTerminal::ControlColor};

constexpr uint8_t FontAttributes = TSimpleTerminal::AttrBold | TSimpleTerminal::AttrUnderline;

// The paint colour of a stored cell colour; both markers stand for the control's.
QColor PaintColor(TSimpleTermColor Value, const QColor& ControlColor) {
  if (Value == TSimpleTerminal::KeepColor || Value == TSimpleTerminal::ControlColor) return ControlColor;
  return QColor::fromRgb(static_cast<QRgb>(Value));
}

bool IsPrintable(uint8_t Value) { return (Value >= 32 && Value <= 127) || Value >= 160; }

bool LayoutHolds(const QLayout& Layout, const QWidget& Widget) {
  for (int Index = 0; Index < Layout.count(); ++Index) {
    QLayoutItem* Item = Layout.itemAt(Index);
    if (Item->widget() == &Widget) return true;
    if (Item->layout() && LayoutHolds(*Item->layout(), Widget)) return true;
  }
  return false;
}

// True when a layout of the parent places Widget.
bool PlacedByLayout(const QWidget& Widget) {
  const QWidget* Parent = Widget.parentWidget();
  return Parent && Parent->layout() && LayoutHolds(*Parent->layout(), Widget);
}

}  // namespace

TSimpleTerminal::TCursorHider::TCursorHider(TSimpleTerminal& Terminal) : FTerminal(Terminal) {
  if (FTerminal.FCursorHideDepth++ == 0) FTerminal.HideCursor();
}

// After output the cursor stays on for a whole blink period, so a moving cursor
// is always seen.
TSimpleTerminal::TCursorHider::~TCursorHider() {
  if (--FTerminal.FCursorHideDepth != 0 || !FTerminal.FDisplayCursor) return;
  FTerminal.ShowCursor();
  if (FTerminal.FBlinkTimer.isActive()) FTerminal.FBlinkTimer.start();
}

TSimpleTerminal::TSimpleTerminal(QWidget* Parent)
    : QAbstractScrollArea(Parent), FCells(static_cast<size_t>(MaxRows) * MaxColumns, BlankCell) {
  setFrameShape(QFrame::NoFrame);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAutoFillBackground(false);
  // Until the owner chooses, the colours of an ordinary panel.
  FColor = palette().color(QPalette::Window);
  FFontColor = palette().color(QPalette::WindowText);
  FBlinkTimer.setInterval(BlinkInterval);
  connect(&FBlinkTimer, &QTimer::timeout, this, [this] { Blink(); });
  UpdateTabStops();
  MeasureCells();
  RebuildBitmap(false);
  FBuilt = true;
  if (FDisplayCursor) FBlinkTimer.start();
}

QFont TSimpleTerminal::FixedPitchFont(const QString& Family, int PixelHeight) {
  QFont font = QFontDatabase::families().contains(Family) ? QFont(Family) : HostFixedPitchFont();
  font.setPixelSize(std::max(1, PixelHeight));
  font.setStyleHint(QFont::Monospace);
  return font;
}

// ---- geometry and the off-screen image ------------------------------------------------

QRect TSimpleTerminal::CellRect(int Row, int Column) const {
  return QRect(Column * FCellWidth, Row * FCellHeight, FCellWidth, FCellHeight);
}

QSize TSimpleTerminal::BitmapSize() const { return QSize(FColumns * FCellWidth, FRows * FCellHeight); }

QImage TSimpleTerminal::NewBitmap(QSize LogicalSize) const {
  const qreal ratio = devicePixelRatioF();
  QImage image(static_cast<int>(std::ceil(LogicalSize.width() * ratio)),
               static_cast<int>(std::ceil(LogicalSize.height() * ratio)), QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  // Point-sized fonts get the same pixel size in the image as on the screen.
  image.setDotsPerMeterX(qRound(logicalDpiX() / 0.0254));
  image.setDotsPerMeterY(qRound(logicalDpiY() / 0.0254));
  return image;
}

bool TSimpleTerminal::BitmapMatchesScreen() const {
  return FBitmap.devicePixelRatio() == devicePixelRatioF() &&
         FBitmap.dotsPerMeterY() == qRound(logicalDpiY() / 0.0254);
}

void TSimpleTerminal::MeasureCells() {
  const QImage probe = NewBitmap(QSize(1, 1));
  const QFontMetrics metrics(font(), &probe);
  const int length = static_cast<int>(MeasureSample.size());
  const int textWidth = std::max(0, metrics.horizontalAdvance(QString::fromLatin1(MeasureSample)));
  // An empty or broken font may measure 0 or less: a cell is at least one pixel,
  // so that nothing that divides by the cell size or steps by it stalls.
  FCellHeight = std::max(1, metrics.height() + 2);
  FCellWidth = std::max(1, (textWidth + length - 1) / length + 2);
  FCellFontAscent = metrics.ascent();
  for (size_t style = 0; style < FCellFonts.size(); ++style) {
    QFont cellFont = font();
    cellFont.setBold((style & AttrBold) != 0);
    cellFont.setUnderline((style & AttrUnderline) != 0);
    FCellFonts[style] = cellFont;
  }
}

void TSimpleTerminal::RebuildBitmap(bool KeepContents) {
  FBitmap = NewBitmap(BitmapSize());
  FBitmap.fill(FColor);
  FCursorShown = false;
  if (KeepContents)
    DrawRows(0, FRows - 1);
  else
    std::fill(FCells.begin(), FCells.end(), BlankCell);
  if (FAutoSize) ApplyAutoSize();
  updateGeometry();
  UpdateScrollBars();
  viewport()->update();
}

void TSimpleTerminal::RedrawAll() {
  FBitmap.fill(FColor);
  FCursorShown = false;
  DrawRows(0, FRows - 1);
  viewport()->update();
}

void TSimpleTerminal::DrawRows(int First, int Last) {
  if (First > Last) return;
  QPainter painter(&FBitmap);
  painter.fillRect(QRect(0, First * FCellHeight, FColumns * FCellWidth, (Last - First + 1) * FCellHeight), FColor);
  for (int row = First; row <= Last; ++row)
    for (int column = 0; column < FColumns; ++column)
      if (!(Cell(row, column).Attribute & AttrBlank)) PaintCell(painter, row, column);
}

void TSimpleTerminal::PaintCell(QPainter& Painter, int Row, int Column) {
  const TSimpleTermCell& cell = Cell(Row, Column);
  const QRect rect = CellRect(Row, Column);
  if (cell.Attribute & AttrBlank) {
    Painter.fillRect(rect, FColor);
    return;
  }
  QColor fore = PaintColor(cell.ForeColor, FFontColor);
  QColor back = PaintColor(cell.BackColor, FColor);
  if (cell.Attribute & AttrReverse) std::swap(fore, back);
  Painter.fillRect(rect, back);
  if (cell.Character == ' ' && !(cell.Attribute & AttrUnderline)) return;
  // Clipped to the cell, so a bold glyph's overhang never survives in the
  // neighbour when that one is redrawn on its own.
  Painter.save();
  Painter.setClipRect(rect);
  Painter.setFont(FCellFonts[cell.Attribute & FontAttributes]);
  Painter.setPen(fore);
  Painter.drawText(rect.left(), rect.top() + FCellFontAscent, QString(QChar::fromLatin1(static_cast<char>(cell.Character))));
  Painter.restore();
}

void TSimpleTerminal::StoreCell(QPainter& Painter, int Row, int Column, const TSimpleTermCell& Value) {
  if (Row < 0 || Row >= FRows || Column < 0 || Column >= FColumns) return;
  TSimpleTermCell& cell = Cell(Row, Column);
  TSimpleTermCell stored = Value;
  if (stored.ForeColor == KeepColor) stored.ForeColor = cell.ForeColor;
  if (stored.BackColor == KeepColor) stored.BackColor = cell.BackColor;
  cell = stored;
  PaintCell(Painter, Row, Column);
  if (FCursorShown && FShownCursorRow == Row && FShownCursorColumn == Column) FCursorShown = false;
  InvalidateBitmapRect(CellRect(Row, Column));
}

void TSimpleTerminal::BlankCells(int Row, int FirstColumn, int LastColumn) {
  QPainter painter(&FBitmap);
  for (int column = FirstColumn; column <= LastColumn; ++column) StoreCell(painter, Row, column, BlankCell);
}

void TSimpleTerminal::InvalidateBitmapRect(const QRect& Rect) {
  viewport()->update(Rect.translated(-horizontalScrollBar()->value(), -verticalScrollBar()->value()));
}

// ---- writing --------------------------------------------------------------------------

void TSimpleTerminal::WriteChar(uint8_t Value) {
  const bool printable = IsPrintable(Value);
  if (!printable && Value != 8 && Value != 9 && Value != 10 && Value != 13) return;
  TCursorHider hider(*this);
  switch (Value) {
    case 13:
      FCursorColumn = 0;
      break;
    case 8:
      if (FCursorColumn >= 1) --FCursorColumn;
      break;
    case 9:
      for (int column = FCursorColumn + 1; column < FColumns; ++column)
        if (FTabStops[column]) {
          FCursorColumn = column;
          break;
        }
      break;
    case 10:
      NextRowOrScroll();
      break;
    default: {
      QPainter painter(&FBitmap);
      StoreCell(painter, FCursorRow, FCursorColumn,
                {static_cast<uint8_t>(FAttribute & ~AttrBlank), Value, FCurrentForeColor, FCurrentBackColor});
      painter.end();
      if (++FCursorColumn >= FColumns) {
        if (FLineWrap) {
          FCursorColumn = 0;
          NextRowOrScroll();
        } else {
          FCursorColumn = FColumns - 1;
        }
      }
    }
  }
  MakeCursorVisible();
}

// The row below the cursor: on the scroll region's bottom row the region scrolls
// (unless ScrollLock); below the region the cursor moves down until the last row
// and never jumps back into the region.
void TSimpleTerminal::NextRowOrScroll() {
  if (FCursorRow == FScrollBottom) {
    if (!FScrollLock) ScrollRows(FScrollTop, FScrollBottom, 1, true);
  } else if (FCursorRow < FRows - 1) {
    ++FCursorRow;
  }
}

void TSimpleTerminal::WriteText(std::string_view Text) {
  TCursorHider hider(*this);
  for (const char character : Text) WriteChar(static_cast<uint8_t>(character));
}

// ---- cursor movement ------------------------------------------------------------------

void TSimpleTerminal::GotoXY(int Column, int Row) {
  if (Row < 0 || Row >= FRows || Column < 0 || Column >= FColumns) return;
  if (Row == FCursorRow && Column == FCursorColumn) return;
  TCursorHider hider(*this);
  FCursorRow = Row;
  FCursorColumn = Column;
  MakeCursorVisible();
}

void TSimpleTerminal::CursorRight(int Count) {
  if (Count <= 0) return;
  TCursorHider hider(*this);
  FCursorColumn = std::min(FCursorColumn + std::min(Count, MaxColumns), FColumns - 1);
  MakeCursorVisible();
}

void TSimpleTerminal::CursorLeft(int Count) {
  if (Count <= 0) return;
  TCursorHider hider(*this);
  FCursorColumn = std::max(FCursorColumn - std::min(Count, MaxColumns), 0);
  MakeCursorVisible();
}

void TSimpleTerminal::CursorDown(int Count, bool ToColumn0) {
  if (Count <= 0) return;
  TCursorHider hider(*this);
  if (ToColumn0) FCursorColumn = 0;
  FCursorRow = std::min(FCursorRow + std::min(Count, MaxRows), FRows - 1);
  MakeCursorVisible();
}

void TSimpleTerminal::CursorUp(int Count, bool ToColumn0) {
  if (Count <= 0) return;
  TCursorHider hider(*this);
  if (ToColumn0) FCursorColumn = 0;
  FCursorRow = std::max(FCursorRow - std::min(Count, MaxRows), 0);
  MakeCursorVisible();
}

// ---- clearing and scrolling -----------------------------------------------------------

void TSimpleTerminal::ClearScreen() {
  TCursorHider hider(*this);
  std::fill(FCells.begin(), FCells.end(), BlankCell);
  FBitmap.fill(FColor);
  FCursorShown = false;
  viewport()->update();
}

void TSimpleTerminal::ClearLine() {
  TCursorHider hider(*this);
  BlankCells(FCursorRow, 0, FColumns - 1);
}

void TSimpleTerminal::ClearToEndOfLine() {
  TCursorHider hider(*this);
  BlankCells(FCursorRow, FCursorColumn, FColumns - 1);
}

void TSimpleTerminal::ClearRestOfField() {
  TCursorHider hider(*this);
  QPainter painter(&FBitmap);
  for (int column = FCursorColumn; column < FColumns && !(Cell(FCursorRow, column).Attribute & AttrBlank); ++column)
    StoreCell(painter, FCursorRow, column, BlankCell);
}

void TSimpleTerminal::InsertLines(int Count) {
  if (FCursorRow < FScrollTop || FCursorRow > FScrollBottom) return;
  ScrollRows(FCursorRow, FScrollBottom, Count, false);
}

void TSimpleTerminal::DeleteLines(int Count) {
  if (FCursorRow < FScrollTop || FCursorRow > FScrollBottom) return;
  ScrollRows(FCursorRow, FScrollBottom, Count, true);
}

void TSimpleTerminal::ScrollUp(int Count) {
  if (Count > 0)
    ScrollRows(FScrollTop, FScrollBottom, Count, true);
  else if (Count < 0)
    ScrollRows(FScrollTop, FScrollBottom, Count < -MaxRows ? MaxRows : -Count, false);
}

void TSimpleTerminal::SetScrollRegion(int Top, int Bottom) {
  if (Top < 0 || Top > Bottom || Bottom >= FRows) return;
  FScrollTop = Top;
  FScrollBottom = Bottom;
}

// Whole rows of the cell array move; the image's band of the moved rows is copied
// rather than drawn again, and the freed rows are blank.
void TSimpleTerminal::ScrollRows(int First, int Last, int Count, bool Up) {
  First = std::clamp(First, 0, FRows - 1);
  Last = std::clamp(Last, 0, FRows - 1);
  if (Count < 1 || First > Last) return;
  TCursorHider hider(*this);
  const int range = Last - First + 1;
  const int shift = std::min(Count, range);
  const int moved = range - shift;
  auto rowBegin = [this](int Row) { return FCells.begin() + static_cast<ptrdiff_t>(Row) * MaxColumns; };
  if (Up) {
    std::copy(rowBegin(First + shift), rowBegin(Last + 1), rowBegin(First));
    std::fill(rowBegin(Last + 1 - shift), rowBegin(Last + 1), BlankCell);
    MoveBitmapRows(First + shift, First, moved);
    FillBitmapRows(Last + 1 - shift, shift);
  } else {
    std::copy_backward(rowBegin(First), rowBegin(First + moved), rowBegin(Last + 1));
    std::fill(rowBegin(First), rowBegin(First + shift), BlankCell);
    MoveBitmapRows(First, First + shift, moved);
    FillBitmapRows(First, shift);
  }
  viewport()->update();
}

void TSimpleTerminal::MoveBitmapRows(int From, int To, int Count) {
  if (Count <= 0) return;
  const qreal rowPixels = FCellHeight * FBitmap.devicePixelRatio();
  if (rowPixels != std::floor(rowPixels)) {
    // A fractional scale puts row borders between device pixels: draw the rows anew.
    DrawRows(To, To + Count - 1);
    return;
  }
  const qsizetype line = FBitmap.bytesPerLine();
  const int pixelsPerRow = static_cast<int>(rowPixels);
  std::memmove(FBitmap.scanLine(To * pixelsPerRow), FBitmap.constScanLine(From * pixelsPerRow),
               static_cast<size_t>(line) * Count * pixelsPerRow);
}

void TSimpleTerminal::FillBitmapRows(int First, int Count) {
  if (Count <= 0) return;
  QPainter painter(&FBitmap);
  painter.fillRect(QRect(0, First * FCellHeight, FColumns * FCellWidth, Count * FCellHeight), FColor);
}

// ---- properties -----------------------------------------------------------------------

void TSimpleTerminal::SetRows(int Value) {
  if (Value < 1 || Value > MaxRows || Value == FRows) return;
  TCursorHider hider(*this);
  FRows = Value;
  FScrollTop = 0;
  FScrollBottom = Value - 1;
  if (FCursorRow >= Value) FCursorRow = Value - 1;
  RebuildBitmap(true);
}

void TSimpleTerminal::SetColumns(int Value) {
  if (Value < 1 || Value > MaxColumns || Value == FColumns) return;
  TCursorHider hider(*this);
  FColumns = Value;
  if (FCursorColumn >= Value) FCursorColumn = Value - 1;
  RebuildBitmap(true);
}

void TSimpleTerminal::SetHorzTabSpacing(int Value) {
  if (Value >= 256) Value = 254;
  if (Value < 0) Value = 0;
  FHorzTabSpacing = Value;
  UpdateTabStops();
}

void TSimpleTerminal::UpdateTabStops() {
  for (int column = 0; column < MaxColumns; ++column)
    FTabStops[column] = FHorzTabSpacing >= 1 && column % FHorzTabSpacing == 0;
}

void TSimpleTerminal::SetDisplayCursor(bool Value) {
  if (Value == FDisplayCursor) return;
  FDisplayCursor = Value;
  if (Value) {
    FBlinkTimer.start();
    if (FCursorHideDepth == 0) ShowCursor();
  } else {
    FBlinkTimer.stop();
    HideCursor();
  }
}

void TSimpleTerminal::SetAutoSize(bool Value) {
  FAutoSize = Value;
  if (Value) ApplyAutoSize();
  updateGeometry();
  UpdateScrollBars();
}

// A control placed by a layout (the TTY page's) keeps the size the layout gives
// it and tells the layout its new size hint instead: taking the bitmap's size for
// a moment would empty the scroll bars and throw the view back to the top.
void TSimpleTerminal::ApplyAutoSize() {
  if (PlacedByLayout(*this)) return;
  const int frame = 2 * frameWidth();
  resize(BitmapSize() + QSize(frame, frame));
}

QSize TSimpleTerminal::sizeHint() const {
  const int frame = 2 * frameWidth();
  return BitmapSize() + QSize(frame, frame);
}

void TSimpleTerminal::SetScrollToCursor(bool Value) {
  const bool turnedOn = Value && !FScrollToCursor;
  FScrollToCursor = Value;
  if (turnedOn) MakeCursorVisible();
}

void TSimpleTerminal::SetColor(const QColor& Value) {
  if (Value == FColor) return;
  TCursorHider hider(*this);
  FColor = Value;
  RedrawAll();
}

void TSimpleTerminal::SetFontColor(const QColor& Value) {
  if (Value == FFontColor) return;
  TCursorHider hider(*this);
  FFontColor = Value;
  RedrawAll();
}

TSimpleTermCell TSimpleTerminal::GetCell(int Row, int Column) const {
  if (Row < 0 || Row >= MaxRows || Column < 0 || Column >= MaxColumns) return BlankCell;
  return Cell(Row, Column);
}

// ---- cursor ---------------------------------------------------------------------------

void TSimpleTerminal::ShowCursor() {
  if (FCursorShown || !FDisplayCursor) return;
  if (FCursorRow >= FRows || FCursorColumn >= FColumns) return;
  const QRect cell = CellRect(FCursorRow, FCursorColumn);
  const int height = std::min(CursorBarHeight, FCellHeight);
  const QRect bar(cell.left(), cell.top() + cell.height() - height, cell.width(), height);
  {
    // Inverts the bar's pixels; the alpha byte stays as it is.
    QPainter painter(&FBitmap);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.fillRect(bar, QColor(255, 255, 255));
  }
  FCursorShown = true;
  FShownCursorRow = FCursorRow;
  FShownCursorColumn = FCursorColumn;
  InvalidateBitmapRect(cell);
}

void TSimpleTerminal::HideCursor() {
  if (!FCursorShown) return;
  FCursorShown = false;
  if (FShownCursorRow >= FRows || FShownCursorColumn >= FColumns) return;
  QPainter painter(&FBitmap);
  PaintCell(painter, FShownCursorRow, FShownCursorColumn);
  InvalidateBitmapRect(CellRect(FShownCursorRow, FShownCursorColumn));
}

void TSimpleTerminal::Blink() {
  if (FCursorHideDepth > 0 || !FDisplayCursor) return;
  if (FCursorShown)
    HideCursor();
  else
    ShowCursor();
}

// Shifts the bars by the least amount that shows the whole cursor cell in the
// view as the bars lay it out (the viewport follows a bar shown or hidden later).
void TSimpleTerminal::MakeCursorVisible() {
  if (!FScrollToCursor) return;
  QScrollBar* horizontal = horizontalScrollBar();
  QScrollBar* vertical = verticalScrollBar();
  if (horizontal->maximum() == 0 && vertical->maximum() == 0) return;
  const QRect cell = CellRect(FCursorRow, FCursorColumn);
  const QSize view = FViewSize;
  if (cell.left() < horizontal->value())
    horizontal->setValue(cell.left());
  else if (cell.left() + cell.width() > horizontal->value() + view.width())
    horizontal->setValue(cell.left() + cell.width() - view.width());
  if (cell.top() < vertical->value())
    vertical->setValue(cell.top());
  else if (cell.top() + cell.height() > vertical->value() + view.height())
    vertical->setValue(cell.top() + cell.height() - view.height());
}

bool TSimpleTerminal::CursorInSight() const {
  if (!FScrollToCursor) return false;
  const QRect view(QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value()), FViewSize);
  return view.contains(CellRect(FCursorRow, FCursorColumn));
}

// ---- window ---------------------------------------------------------------------------

// A bar shows when the client area is smaller than the screen image, counting the
// room the other bar takes when that one shows; it ranges over the hidden pixels.
void TSimpleTerminal::UpdateScrollBars() {
  const QSize image = BitmapSize();
  const QSize area = maximumViewportSize();
  const int barWidth = verticalScrollBar()->sizeHint().width();
  const int barHeight = horizontalScrollBar()->sizeHint().height();
  bool needHorizontal = area.width() < image.width();
  bool needVertical = area.height() < image.height();
  if (needHorizontal && !needVertical) needVertical = area.height() - barHeight < image.height();
  if (needVertical && !needHorizontal) needHorizontal = area.width() - barWidth < image.width();
  const int viewWidth = area.width() - (needVertical ? barWidth : 0);
  const int viewHeight = area.height() - (needHorizontal ? barHeight : 0);
  FViewSize = QSize(std::max(0, viewWidth), std::max(0, viewHeight));
  QScrollBar* horizontal = horizontalScrollBar();
  horizontal->setRange(0, needHorizontal ? std::max(0, image.width() - viewWidth) : 0);
  horizontal->setSingleStep(FCellWidth / 4 + 1);
  horizontal->setPageStep(FCellWidth);
  QScrollBar* vertical = verticalScrollBar();
  vertical->setRange(0, needVertical ? std::max(0, image.height() - viewHeight) : 0);
  vertical->setSingleStep(FCellHeight / 4 + 1);
  vertical->setPageStep(FCellHeight);
}

void TSimpleTerminal::paintEvent(QPaintEvent* Event) {
  if (!BitmapMatchesScreen() && !FRebuildPending) {
    // Moved to a screen of another scale or density: measure and draw anew at the
    // new density once this paint is over; until then the old image is scaled.
    FRebuildPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          FRebuildPending = false;
          Remeasure();
        },
        Qt::QueuedConnection);
  }
  QPainter painter(viewport());
  const QRect image(QPoint(-horizontalScrollBar()->value(), -verticalScrollBar()->value()), BitmapSize());
  painter.drawImage(image.topLeft(), FBitmap);
  const QRegion outside = QRegion(Event->rect()) - QRegion(image);
  for (const QRect& rect : outside) painter.fillRect(rect, FColor);
}

// Also called for the viewport's own resizes, when a bar shows or hides.
void TSimpleTerminal::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  const bool keepCursor = CursorInSight();
  UpdateScrollBars();
  if (keepCursor) MakeCursorVisible();
}

void TSimpleTerminal::scrollContentsBy(int, int) { viewport()->update(); }

void TSimpleTerminal::changeEvent(QEvent* Event) {
  QAbstractScrollArea::changeEvent(Event);
  if (Event->type() == QEvent::FontChange && FBuilt) Remeasure();
}

void TSimpleTerminal::Remeasure() {
  TCursorHider hider(*this);
  // Asked of the view as it was laid out for the old cells.
  const bool keepCursor = CursorInSight();
  MeasureCells();
  RebuildBitmap(true);
  if (keepCursor) MakeCursorVisible();
}

// ---- keys -----------------------------------------------------------------------------

bool TSimpleTerminal::WantsKey(int Key) const {
  switch (Key) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return FWantTabs;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return FWantReturns;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
      return FWantArrowKeys;
    default:
      return true;
  }
}

bool TSimpleTerminal::event(QEvent* Event) {
  // Tab moves the focus before a widget sees it as a key; a terminal that wants
  // tabs takes it first.
  if (Event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(Event);
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && FWantTabs) {
      keyPressEvent(key);
      return true;
    }
  }
  return QAbstractScrollArea::event(Event);
}

// Keys go to the owner; a key the control does not want (Tab, Return, arrows when
// their Want... is off) is left to the window, as a dialog would use it.
void TSimpleTerminal::keyPressEvent(QKeyEvent* Event) {
  if (!WantsKey(Event->key())) {
    Event->ignore();
    return;
  }
  Event->accept();
  int key = Event->key();
  if (OnKeyDown) OnKeyDown(*this, key, Event->modifiers());
  if (key == 0 || !OnKeyPress) return;
  for (QChar character : Event->text()) OnKeyPress(*this, character);
}

void TSimpleTerminal::keyReleaseEvent(QKeyEvent* Event) {
  if (!WantsKey(Event->key())) {
    Event->ignore();
    return;
  }
  Event->accept();
  // A held key repeats key downs only, as the owner's key map expects.
  if (Event->isAutoRepeat()) return;
  int key = Event->key();
  if (OnKeyUp) OnKeyUp(*this, key, Event->modifiers());
}
