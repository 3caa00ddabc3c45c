#include "AdTerminal.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QStyleHints>
#include <QThread>
#include <algorithm>
#include <climits>
#include <deque>
#include <mutex>

#include "AdKeyTable.h"
#include "AdPort.h"
#include "AdTTYEmulator.h"
#include "AdTerminalPainter.h"
#include "AdVT100Emulator.h"
#include "EmulatorError.h"
#include "WakeEvent.h"

namespace {

// The posted request to drain the byte queue; it carries the source of the bytes.
QEvent::Type DrainEventType() {
  static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return Type;
}

class TDrainEvent : public QEvent {
 public:
  explicit TDrainEvent(TAdCharSource Source) : QEvent(DrainEventType()), Source(Source) {}
  TAdCharSource Source;
};

// The posted request to open the linked port and take its data.
QEvent::Type PortOpenEventType() {
  static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return Type;
}

// Hands a port's events to the thread of the Qt event loop, for a port that was given
// no event thread of its own. The work waits in a queue of its own and a wake-up
// descriptor that the event loop watches tells the loop to run it: nothing of Qt's
// crosses threads, and the hand-over is a plain mutex that race checkers see.
class TQtEventThread final : public IMainThread {
 public:
  // Created on the thread that runs the event loop.
  TQtEventThread() { Watch(); }

  void Post(std::function<void()> Work) override {
    {
      std::lock_guard<std::mutex> Guard(FLock);
      FQueue.push_back(std::move(Work));
    }
    FWake.Signal();
  }

 private:
  void Watch() {
    // The watcher goes with the application that owns it.
    QCoreApplication* Application = QCoreApplication::instance();
    if (Application == nullptr || FWatcher != nullptr) return;
    FWatcher = new QSocketNotifier(FWake.Handle(), QSocketNotifier::Read, Application);
    QObject::connect(FWatcher.data(), &QSocketNotifier::activated, FWatcher.data(), [this] { RunPosted(); });
  }
  void RunPosted() {
    FWake.Reset();
    // One at a time, in order, even when a piece of work runs a nested event loop.
    for (;;) {
      std::function<void()> Work;
      {
        std::lock_guard<std::mutex> Guard(FLock);
        if (FQueue.empty()) return;
        Work = std::move(FQueue.front());
        FQueue.pop_front();
      }
      Work();
    }
  }

  TWakeEvent FWake;
  QPointer<QSocketNotifier> FWatcher;
  std::mutex FLock;
  std::deque<std::function<void()>> FQueue;
};

IMainThread& QtEventThread() {
  // Kept for the life of the program: ports may hold it until their end.
  static TQtEventThread* Thread = new TQtEventThread;
  return *Thread;
}

QColor ToQColor(TAdColor Color) {
  return QColor(static_cast<int>(Color & 0xFF), static_cast<int>((Color >> 8) & 0xFF), static_cast<int>((Color >> 16) & 0xFF));
}

TAdColor ToAdColor(const QColor& Color) {
  return static_cast<TAdColor>(Color.red()) | static_cast<TAdColor>(Color.green()) << 8 |
         static_cast<TAdColor>(Color.blue()) << 16;
}

// Every terminal alive, so that an emulator shows on one terminal only.
std::vector<TAdCustomTerminal*>& Terminals() {
  static std::vector<TAdCustomTerminal*> List;
  return List;
}

// The first buffer column a double-width row shows, and the shift of half a cell that
// an even origin column gives it (as the painter lays such rows out).
int DoubleWidthFirstShown(int OriginCol) { return (OriginCol - 1) / 2 + 1; }
int DoubleWidthShift(int OriginCol) { return OriginCol % 2 == 0 ? -1 : 0; }

}  // namespace

// The terminal as a user of its port: told when the port opens and closes.
class TAdCustomTerminal::TPortWindow final : public TApdMessageWindow {
 public:
  explicit TPortWindow(TAdCustomTerminal& Terminal) : FTerminal(Terminal) {}
  void WindowProc(uint32_t Msg, uint32_t, uint32_t) override { FTerminal.PortMessage(Msg); }

 private:
  TAdCustomTerminal& FTerminal;
};

// The terminal's entry in the process-wide list of port links.
class TAdCustomTerminal::TPortLink final : public TApdComPortClient {
 public:
  explicit TPortLink(TAdCustomTerminal& Terminal) : FTerminal(Terminal) {}
  void ComPortRemoved(TApdCustomComPort& Port) override { FTerminal.ComPortRemoved(Port); }

 private:
  TAdCustomTerminal& FTerminal;
};

// What the data handler registered with the port's dispatcher reaches the terminal
// through. The handler may run on the dispatch thread; the terminal cuts the link
// under the lock before it goes.
struct TAdCustomTerminal::TPortFeed {
  std::mutex Lock;
  TAdCustomTerminal* Terminal = nullptr;
};

// ---------------------------------------------------------------- creation

TAdCustomTerminal::TAdCustomTerminal(QWidget* Parent) : QAbstractScrollArea(Parent) {
  Terminals().push_back(this);
  FDefaultEmulator = std::make_unique<TAdTTYEmulator>();
  FEmulator = FDefaultEmulator.get();

  // The control paints every pixel itself: no background erase, no flicker.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAttribute(Qt::WA_NoSystemBackground);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::IBeamCursor);
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  SetBorderStyle(bsSingle);

  FTimer.setInterval(TimerInterval);
  connect(&FTimer, &QTimer::timeout, this, [this] { TimerTick(); });
  FFrameTimer.setSingleShot(true);
  connect(&FFrameTimer, &QTimer::timeout, this, [this] { Frame(); });
  connect(&FCaretTimer, &QTimer::timeout, this, [this] { CaretTick(); });
  connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this](int Action) { VerticalAction(Action); });
  FPortWindow = std::make_unique<TPortWindow>(*this);
  FPortLink = std::make_unique<TPortLink>(*this);
  FPortFeed = std::make_shared<TPortFeed>();
  FPortFeed->Terminal = this;
  FPortRetryTimer.setSingleShot(true);
  connect(&FPortRetryTimer, &QTimer::timeout, this, [this] { FlushPortOutput(); });

  QFont Font(QStringLiteral("Terminal"));
  Font.setPointSize(9);
  setFont(Font);
  AttachEmulator(*FEmulator);
  MeasureFonts();
  resize(300, 200);
  RecalcLayout();
}

TAdCustomTerminal::~TAdCustomTerminal() {
  SetComPort(nullptr);
  {
    std::lock_guard<std::mutex> Guard(FPortFeed->Lock);
    FPortFeed->Terminal = nullptr;
  }
  FTimer.stop();
  FFrameTimer.stop();
  FCaretTimer.stop();
  DetachEmulator(*FEmulator);
  auto& List = Terminals();
  List.erase(std::remove(List.begin(), List.end(), this), List.end());
}

void TAdCustomTerminal::AttachEmulator(TAdTerminalEmulator& Emulator) {
  TAdTerminalBuffer& Target = Emulator.GetBuffer();
  FChainedScrollHook = Target.OnScrollRows;
  Target.OnScrollRows = [this](TAdTerminalBuffer& Sender, int Count, int FirstRow, int LastRow) {
    if (FChainedScrollHook) FChainedScrollHook(Sender, Count, FirstRow, LastRow);
    SelectionScrolled(Count, FirstRow, LastRow);
  };
  Emulator.SetTerminal(this);
}

void TAdCustomTerminal::DetachEmulator(TAdTerminalEmulator& Emulator) {
  Emulator.GetBuffer().OnScrollRows = std::move(FChainedScrollHook);
  FChainedScrollHook = nullptr;
  Emulator.SetTerminal(nullptr);
}

TAdTerminalEmulator* TAdCustomTerminal::GetEmulator() const {
  return FEmulator == FDefaultEmulator.get() ? nullptr : FEmulator;
}

void TAdCustomTerminal::SetEmulator(TAdTerminalEmulator* Value) {
  TAdTerminalEmulator* New = Value != nullptr ? Value : FDefaultEmulator.get();
  if (New == FEmulator) return;
  // An emulator shows on one terminal: another terminal using it lets it go.
  if (Value != nullptr)
    for (TAdCustomTerminal* Other : std::vector<TAdCustomTerminal*>(Terminals()))
      if (Other != this && Other->FEmulator == New) Other->SetEmulator(nullptr);
  const bool Running = FTimer.isActive();
  FTimer.stop();
  CancelMode();
  const TAdTerminalBuffer& Old = Buffer();
  const int ScrollbackRows = Old.GetSVRowCount();
  const int Rows = Old.GetRowCount();
  const int Columns = Old.GetColCount();
  DetachEmulator(*FEmulator);
  FEmulator = New;
  // The new buffer takes over the shape of the old one.
  TAdTerminalBuffer& Target = Buffer();
  Target.tbSetSVRowCount(ScrollbackRows);
  Target.tbSetRowCount(Rows);
  Target.tbSetColCount(Columns);
  AttachEmulator(*New);
  FBlinkOn = true;
  MeasureFonts();
  RecalcLayout();
  RepaintAll();
  RequestPaintStep();
  if (Running) FTimer.start();
}

// ---------------------------------------------------------------- output

void TAdCustomTerminal::WriteChar(uint8_t Ch) {
  FQueue.Put(&Ch, 1);
  PostDrain();
}

void TAdCustomTerminal::WriteString(std::string_view Text) {
  if (Text.empty()) return;
  FQueue.Put(Text.data(), Text.size());
  PostDrain();
}

void TAdCustomTerminal::ClearScreen() { FEmulator->ClearScreen(); }

void TAdCustomTerminal::PostDrain(TAdCharSource Source) {
  // One drain takes everything queued so far: one pending request per source is
  // enough (the first to run takes the bytes of both, as its own).
  bool& Posted = FDrainPosted[Source & 3];
  if (Posted) return;
  Posted = true;
  QCoreApplication::postEvent(this, new TDrainEvent(Source));
}

bool TAdCustomTerminal::event(QEvent* Event) {
  if (Event->type() == DrainEventType()) {
    const TAdCharSource Source = static_cast<TDrainEvent*>(Event)->Source;
    FDrainPosted[Source & 3] = false;
    DrainQueue(Source);
    return true;
  }
  if (Event->type() == PortOpenEventType()) {
    OpenPortNow();
    return true;
  }
  return QAbstractScrollArea::event(Event);
}

void TAdCustomTerminal::DrainQueue(TAdCharSource Source) {
  const std::size_t Count = FQueue.Count();
  if (Count == 0) return;
  // The batch leaves the queue first: bytes written while the emulator works (by a
  // handler of one of its events) queue behind it without moving it.
  std::vector<uint8_t> Batch = std::move(FDrainScratch);
  const uint8_t* Bytes = FQueue.Peek(Count);
  Batch.assign(Bytes, Bytes + Count);
  if (FQueue.Count() == Count)
    FQueue.Clear();
  else
    FQueue.Remove(Count);
  if (FCapture == cmOn && FCaptureStream.isOpen()) {
    FCaptureStream.write(reinterpret_cast<const char*>(Batch.data()), static_cast<qint64>(Count));
    FCaptureStream.flush();
  }
  FEmulator->ProcessBlock(Batch.data(), Count, Source);
  if (!FUseLazyDisplay && FEmulator->NeedsUpdate()) RequestPaintStep();
  FBytesSincePaint = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(FBytesSincePaint) + Count, INT_MAX));
  FDrainScratch = std::move(Batch);
  if (FQueue.Count() > 0) PostDrain(Source);
}

// ---------------------------------------------------------------- timers

void TAdCustomTerminal::TimerTick() {
  if (FSelecting) AutoScrollSelection();
  if (FBlinkTime > 0) {
    FBlinkClock += TimerInterval;
    if (FBlinkClock > FBlinkTime) {
      FBlinkOn = !FBlinkOn;
      if (FEmulator->HasBlinkingText()) {
        FEmulator->BlinkPaint(FBlinkOn);
        FlushRunBounds();
      }
      FBlinkClock = 0;
    }
  }
  if (FUseLazyDisplay) {
    FTimeSincePaint = std::min(FTimeSincePaint + TimerInterval, INT_MAX - TimerInterval);
    if (FEmulator->NeedsUpdate() && (FTimeSincePaint > FLazyTimeDelay || FBytesSincePaint > FLazyByteDelay)) {
      PaintStep();
      FTimeSincePaint = 0;
      FBytesSincePaint = 0;
    }
  }
}

void TAdCustomTerminal::CaretTick() {
  FCaretPhaseOn = !FCaretPhaseOn;
  UpdateCaret();
}

void TAdCustomTerminal::SetBlinkTime(int Value) {
  if (Value < 1)
    Value = 0;
  else if (Value <= 250)
    Value = 250;
  FBlinkTime = Value;
  if (Value == 0 && !FBlinkOn) {
    // Blinking stops with the text shown.
    FBlinkOn = true;
    RepaintAll();
  }
}

void TAdCustomTerminal::SetLazyByteDelay(int Value) {
  if (Value >= 1 && Value <= 1024) FLazyByteDelay = Value;
}

void TAdCustomTerminal::SetLazyTimeDelay(int Value) {
  if (Value >= 1 && Value <= 1000) FLazyTimeDelay = Value;
}

// ---------------------------------------------------------------- capture

void TAdCustomTerminal::OpenCapture(bool Append) {
  if (FCaptureFile.empty()) FCaptureFile = DefaultCaptureFile;
  FCaptureStream.close();
  FCaptureStream.setFileName(QString::fromStdString(FCaptureFile));
  const QIODevice::OpenMode Mode = Append ? QIODevice::ReadWrite : QIODevice::WriteOnly | QIODevice::Truncate;
  if (!FCaptureStream.open(Mode))
    throw EEmulatorError(std::string(Append ? "Cannot open file \"" : "Cannot create file \"") + FCaptureFile + "\". " +
                         FCaptureStream.errorString().toStdString());
  if (Append) FCaptureStream.seek(FCaptureStream.size());
}

void TAdCustomTerminal::SetCapture(TAdCaptureMode Value) {
  if (Value == FCapture) return;
  if (FCapture == cmOn && Value == cmAppend) return;
  if (Value == cmOff) {
    FCaptureStream.close();
    FCapture = cmOff;
    return;
  }
  OpenCapture(Value == cmAppend);
  FCapture = cmOn;
}

void TAdCustomTerminal::SetCaptureFile(const std::string& Value) {
  if (Value == FCaptureFile) return;
  if (FCapture != cmOn) {
    FCaptureFile = Value;
    return;
  }
  FCaptureStream.close();
  FCapture = cmOff;
  FCaptureFile = Value;
  SetCapture(cmOn);
}

// ---------------------------------------------------------------- properties

int TAdCustomTerminal::GetColumns() const { return Buffer().GetColCount(); }
int TAdCustomTerminal::GetRows() const { return Buffer().GetRowCount(); }
int TAdCustomTerminal::GetScrollbackRows() const { return Buffer().GetSVRowCount(); }

void TAdCustomTerminal::SetColumns(int Value) {
  if (Value < 2 || Value == GetColumns()) return;
  Buffer().tbSetColCount(Value);
  ColumnsChanged(Value);
}

void TAdCustomTerminal::SetRows(int Value) {
  if (Value < 2 || Value == GetRows()) return;
  Buffer().tbSetRowCount(Value);
  updateGeometry();
  RecalcLayout();
  RepaintAll();
  RequestPaintStep();
}

void TAdCustomTerminal::SetScrollbackRows(int Value) {
  if (Value < 2 || Value == GetScrollbackRows()) return;
  Buffer().tbSetSVRowCount(Value);
  RecalcLayout();
  RepaintAll();
  RequestPaintStep();
}

void TAdCustomTerminal::SetCursorType(TAdCursorType Value) {
  if (Value == FCursorType) return;
  FCursorType = Value;
  UpdateCaret();
}

void TAdCustomTerminal::SetBorderStyle(TAdBorderStyle Value) {
  FBorderStyle = Value;
  setFrameStyle(Value == bsSingle ? QFrame::StyledPanel | QFrame::Sunken : QFrame::NoFrame);
}

void TAdCustomTerminal::SetFollowCursor(bool Value) {
  FFollowCursor = Value;
  if (Value) ScrollToCursor();
}

void TAdCustomTerminal::SetScrollback(bool Value) {
  if (Value == FScrollback) return;
  FScrollback = Value;
  RecalcLayout();
}

void TAdCustomTerminal::SetAutoScrollback(bool Value) {
  FAutoScrollback = Value;
  RecalcLayout();
}

void TAdCustomTerminal::SetHideScrollbars(bool Value) {
  FHideScrollbars = Value;
  if (!Value) FHorzBarForced = FVertBarForced = false;
  RecalcLayout();
}

void TAdCustomTerminal::SetMouseSelect(bool Value) {
  FSelecting = false;
  FMouseSelect = Value;
  if (!Value) UnmarkSelection();
}

void TAdCustomTerminal::SetColor(const QColor& Value) {
  if (Value == FColor) return;
  FColor = Value;
  RequestPaintStep();
  RepaintAll();
}

void TAdCustomTerminal::SetFontColor(const QColor& Value) {
  if (Value == FFontColor) return;
  FFontColor = Value;
  RequestPaintStep();
  RepaintAll();
}

void TAdCustomTerminal::SetCellSpacing(int Horizontal, int Vertical) {
  FExtraHorzSpacing = Horizontal;
  FExtraVertSpacing = Vertical;
  MeasureFonts();
}

QSize TAdCustomTerminal::sizeHint() const {
  const int Frame = 2 * frameWidth();
  return QSize(FCellWidth * GetColumns() + Frame, FCellHeight * GetRows() + Frame);
}

// ---------------------------------------------------------------- the emulator's requests

void TAdCustomTerminal::KeyboardData(TAdTerminalEmulator& Sender, uint8_t Data) {
  if (OnKeyboardData) OnKeyboardData(Sender, Data);
}

void TAdCustomTerminal::Beep() { QApplication::beep(); }

void TAdCustomTerminal::ColumnsChanged(int) {
  FOriginCol = 1;
  FOriginRow = 1;
  updateGeometry();
  RecalcLayout();
  RepaintAll();
  RequestPaintStep();
}

void TAdCustomTerminal::CursorMoved(int Row, int Col) {
  if (!FUseLazyDisplay) RequestPaintStep();
  if (FFollowCursor) ScrollToCursor();
  if (FHideScrollbars) CheckForcedBars();
  if (OnCursorMoved) OnCursorMoved(*this, Row, Col);
}

void TAdCustomTerminal::DisplayChanged() {
  if (!FUseLazyDisplay) RequestPaintStep();
}

void TAdCustomTerminal::SetTerminalForeColor(TAdColor Color) { SetFontColor(ToQColor(Color)); }
void TAdCustomTerminal::SetTerminalBackColor(TAdColor Color) { SetColor(ToQColor(Color)); }
TAdColor TAdCustomTerminal::GetTerminalForeColor() const { return ToAdColor(FFontColor); }
TAdColor TAdCustomTerminal::GetTerminalBackColor() const { return ToAdColor(FColor); }

TAdViewGeometry TAdCustomTerminal::GetViewGeometry() const {
  TAdViewGeometry View;
  View.OriginRow = FOriginRow;
  View.OriginCol = FOriginCol;
  View.VisibleRows = FVisibleRows;
  View.VisibleCols = FVisibleCols;
  return View;
}

// ---------------------------------------------------------------- painting

void TAdCustomTerminal::RequestPaintStep() {
  FPaintStepPending = true;
  StartFrameTimer();
}

void TAdCustomTerminal::PaintStep() {
  // The emulator hands over the runs that changed; outside a paint event they only
  // mark their cells for the next repaint.
  FEmulator->LazyPaint();
  FlushRunBounds();
  UpdateCaret();
}

void TAdCustomTerminal::ScheduleRepaint(const QRect& Rect) {
  if (Rect.isEmpty()) return;
  FDirty += Rect;
  StartFrameTimer();
}

void TAdCustomTerminal::FlushRunBounds() {
  if (FRunBounds.isEmpty()) return;
  const QRect Bounds = FRunBounds;
  FRunBounds = QRect();
  ScheduleRepaint(Bounds);
}

void TAdCustomTerminal::StartFrameTimer() {
  if (FInFrame || FFrameTimer.isActive()) return;
  qint64 Delay = 0;
  if (FLastFrame.isValid()) Delay = std::max<qint64>(0, FrameInterval - FLastFrame.elapsed());
  FFrameTimer.start(static_cast<int>(Delay));
}

void TAdCustomTerminal::Frame() {
  FInFrame = true;
  if (FPaintStepPending) {
    FPaintStepPending = false;
    PaintStep();
  }
  FlushRunBounds();
  if (!FDirty.isEmpty()) {
    viewport()->update(FDirty);
    FDirty = QRegion();
  }
  FLastFrame.restart();
  FInFrame = false;
}

QRect TAdCustomTerminal::RunRect(const TAdPaintRun& Run) const {
  const int Factor = std::max(Run.CellWidthFactor, 1);
  return QRect(Run.ViewCol * FCellWidth, Run.ViewRow * FCellHeight, Run.CellCount * Factor * FCellWidth, FCellHeight);
}

void TAdCustomTerminal::PaintRun(const TAdPaintRun& Run) {
  if (FPainter != nullptr) {
    DrawRun(*FPainter, Run);
    return;
  }
  FRunBounds |= RunRect(Run);
  StartFrameTimer();
}

bool TAdCustomTerminal::CellSelected(int Row, int Col) const {
  if (!FMarked) return false;
  const TCell Cell{Row, Col};
  return FSelStart <= Cell && Cell <= FSelEnd;
}

void TAdCustomTerminal::DrawRun(QPainter& Painter, const TAdPaintRun& Run) {
  const int Count = std::min(Run.CellCount, static_cast<int>(Run.Text.size()));
  if (Count <= 0) return;
  const TAdTerminalFace& Face = FFonts.Face(Run.FontName);
  if (!FMarked) {
    DrawRunPart(Painter, Run, Face, 0, Count, false);
    return;
  }
  // Selected cells show reversed: the run is drawn in pieces of equal selection.
  const int Row = Run.ViewRow + FOriginRow;
  const int FirstCol = Run.CellWidthFactor <= 1
                           ? Run.ViewCol + FOriginCol
                           : (Run.ViewCol - DoubleWidthShift(FOriginCol)) / 2 + DoubleWidthFirstShown(FOriginCol);
  int First = 0;
  while (First < Count) {
    const bool Selected = CellSelected(Row, FirstCol + First);
    int End = First + 1;
    while (End < Count && CellSelected(Row, FirstCol + End) == Selected) ++End;
    DrawRunPart(Painter, Run, Face, First, End - First, Selected);
    First = End;
  }
}

void TAdCustomTerminal::DrawRunPart(QPainter& Painter, const TAdPaintRun& Run, const TAdTerminalFace& Face, int First,
                                    int Count, bool Selected) {
  const int Factor = std::max(Run.CellWidthFactor, 1);
  const int Advance = FCellWidth * Factor;
  const QRect Rect(Run.ViewCol * FCellWidth + First * Advance, Run.ViewRow * FCellHeight, Count * Advance, FCellHeight);
  QColor Fill = ToQColor(Run.FillColor);
  QColor Text = ToQColor(Run.TextColor);
  if (Selected && Run.TextShown) std::swap(Fill, Text);
  Painter.fillRect(Rect, Fill);
  if (!Run.TextShown) return;
  if (Text != Fill) {
    Painter.setPen(Text);
    const char* Codes = Run.Text.data() + First;
    if (Factor == 1 && Run.LineAttr == laNormal) {
      Face.DrawText(Painter, Rect.left(), Rect.top() + Face.GetAscent(), FCellWidth, Codes, Count);
    } else {
      // Double width stretches the glyphs across two cells; double height draws them
      // twice as high, the top half on the upper row and the bottom half on the lower.
      const bool DoubleHeight = Run.LineAttr == laDoubleHeightTop || Run.LineAttr == laDoubleHeightBottom;
      Painter.save();
      Painter.setClipRect(Rect, Qt::IntersectClip);
      Painter.translate(Rect.left(), Run.LineAttr == laDoubleHeightBottom ? Rect.top() - FCellHeight : Rect.top());
      Painter.scale(Factor, DoubleHeight ? 2 : 1);
      Face.DrawText(Painter, 0, Face.GetAscent(), FCellWidth, Codes, Count);
      Painter.restore();
    }
  }
  if (Run.Underline) Painter.fillRect(QRect(Rect.left(), Rect.top() + std::max(FCellHeight - 2, 0), Rect.width(), 1), Text);
  if (Run.Strikethrough) Painter.fillRect(QRect(Rect.left(), Rect.top() + FCellHeight / 2, Rect.width(), 1), Text);
}

void TAdCustomTerminal::paintEvent(QPaintEvent* Event) {
  QPainter Painter(viewport());
  const QRegion& Region = Event->region();
  const QRect Grid(0, 0, FCellWidth * FVisibleCols, FCellHeight * FVisibleRows);
  // The margins right of and below the character grid.
  for (const QRect& Margin : QRegion(viewport()->rect()).subtracted(Grid).intersected(Region))
    Painter.fillRect(Margin, FColor);
  const QRegion Cells = Region.intersected(Grid);
  if (!Cells.isEmpty()) {
    FPainter = &Painter;
    struct TResetPainter {
      QPainter*& Target;
      ~TResetPainter() { Target = nullptr; }
    } Reset{FPainter};
    for (const QRect& Rect : Cells) {
      Painter.fillRect(Rect, FColor);
      FEmulator->Paint(Rect.top() / FCellHeight + FOriginRow, Rect.bottom() / FCellHeight + FOriginRow,
                       Rect.left() / FCellWidth + FOriginCol, Rect.right() / FCellWidth + FOriginCol);
    }
    if (!FBlinkOn && FEmulator->HasBlinkingText()) FEmulator->BlinkPaint(false);
  }
  // The caret inverts the cell (or its bottom two pixel rows) it stands on.
  const QRect Caret = CaretRect();
  if (!Caret.isEmpty() && Region.intersects(Caret)) {
    Painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    Painter.fillRect(Caret, Qt::white);
    Painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }
  if (Caret != FCaretShown) {
    ScheduleRepaint(FCaretShown);
    ScheduleRepaint(Caret);
    FCaretShown = Caret;
  }
}

int TAdCustomTerminal::LineWidthFactor(int Row) const {
  if (auto* VT100 = dynamic_cast<TAdVT100Emulator*>(FEmulator)) return VT100->GetLineAttr(Row) != laNormal ? 2 : 1;
  return 1;
}

QRect TAdCustomTerminal::CaretRect() const {
  if (!FCaretCreated || FCursorType == ctNone || !FCaretPhaseOn) return {};
  const TAdTerminalBuffer& B = Buffer();
  const int Row = B.GetCursorScreenRow();
  const int Col = B.GetCursorCol();
  const int Factor = LineWidthFactor(Row);
  const int ViewCol = Factor == 1 ? Col - FOriginCol
                                  : (Col - DoubleWidthFirstShown(FOriginCol)) * 2 + DoubleWidthShift(FOriginCol);
  const QPoint Corner(ViewCol * FCellWidth, (Row - FOriginRow) * FCellHeight);
  if (!viewport()->rect().contains(Corner)) return {};
  const int Width = FCellWidth * Factor;
  if (FCursorType == ctUnderline) {
    const int Height = std::min(2, FCellHeight);
    return QRect(Corner.x(), Corner.y() + FCellHeight - Height, Width, Height);
  }
  return QRect(Corner.x(), Corner.y(), Width, FCellHeight);
}

void TAdCustomTerminal::UpdateCaret() {
  // A caret that moves shows at once and starts its blinking afresh.
  const TAdTerminalBuffer& B = Buffer();
  const TCell Cell{B.GetCursorScreenRow(), B.GetCursorCol()};
  if (Cell != FCaretCell) {
    FCaretCell = Cell;
    if (FCaretCreated && !FCaretPhaseOn) {
      FCaretPhaseOn = true;
      if (FCaretTimer.isActive()) FCaretTimer.start();
    }
  }
  const QRect Caret = CaretRect();
  if (Caret == FCaretShown) return;
  ScheduleRepaint(FCaretShown);
  ScheduleRepaint(Caret);
  FCaretShown = Caret;
}

// ---------------------------------------------------------------- fonts and the view

void TAdCustomTerminal::MeasureFonts() {
  std::vector<std::string> Names;
  if (TAdCharSetMapping* Map = FEmulator->GetCharSetMapping()) Map->GetFontNames(Names);
  FFonts.SetBase(font(), FExtraHorzSpacing, FExtraVertSpacing);
  FFonts.Measure(Names);
  // Whether the cursor's row is in sight is asked of the view as it was laid out
  // for the old cells.
  const bool KeepCursor = CursorKeptInSight();
  FCellWidth = FFonts.GetCellWidth();
  FCellHeight = FFonts.GetCellHeight();
  updateGeometry();
  RecalcLayout();
  if (KeepCursor) ScrollToCursor();
  RepaintAll();
}

int TAdCustomTerminal::ClientCols() const { return std::max(viewport()->width(), 0) / FCellWidth; }
int TAdCustomTerminal::ClientRows() const { return std::max(viewport()->height(), 0) / FCellHeight; }

int TAdCustomTerminal::MinOriginRow() const { return FScrollback ? GetRows() - GetScrollbackRows() + 1 : 1; }

void TAdCustomTerminal::ComputeVisible() {
  const int Width = std::max(viewport()->width(), 0);
  const int Height = std::max(viewport()->height(), 0);
  const int ColsLeft = std::max(GetColumns() - FOriginCol + 1, 0);
  const int RowsLeft = std::max(GetRows() - FOriginRow + 1, 0);
  FVisibleCols = std::min((Width + FCellWidth - 1) / FCellWidth, ColsLeft);
  FWholeCols = std::min(Width / FCellWidth, ColsLeft);
  FVisibleRows = std::min((Height + FCellHeight - 1) / FCellHeight, RowsLeft);
  FWholeRows = std::min(Height / FCellHeight, RowsLeft);
}

bool TAdCustomTerminal::ClampOrigins() {
  const int MaxCol = std::max(1, GetColumns() - ClientCols() + 1);
  const int MaxRow = std::max(1, GetRows() - ClientRows() + 1);
  const int Col = std::clamp(FOriginCol, 1, MaxCol);
  const int Row = std::clamp(FOriginRow, std::min(MinOriginRow(), MaxRow), MaxRow);
  if (Col == FOriginCol && Row == FOriginRow) return false;
  FOriginCol = Col;
  FOriginRow = Row;
  return true;
}

void TAdCustomTerminal::RecalcLayout() {
  // Showing a bar resizes the view, which calls back here: the outer call finishes.
  if (FInLayout) return;
  FInLayout = true;
  UpdateScrollBars();
  ComputeVisible();
  if (ClampOrigins()) {
    ComputeVisible();
    RepaintAll();
  }
  FHorzBarNeeded = GetColumns() > FWholeCols;
  FVertBarNeeded = GetRows() > FWholeRows;
  FUpdatingBars = true;
  QScrollBar* Horz = horizontalScrollBar();
  Horz->setRange(0, std::max(0, GetColumns() - ClientCols()));
  Horz->setPageStep(std::max(1, ClientCols()));
  Horz->setSingleStep(1);
  Horz->setValue(FOriginCol - 1);
  QScrollBar* Vert = verticalScrollBar();
  const int VertMin = FScrollback ? GetRows() - GetScrollbackRows() : 0;
  Vert->setRange(std::min(VertMin, 0), std::max(0, GetRows() - ClientRows()));
  Vert->setPageStep(std::max(1, ClientRows()));
  Vert->setSingleStep(1);
  Vert->setValue(FOriginRow - 1);
  FUpdatingBars = false;
  FInLayout = false;
}

void TAdCustomTerminal::UpdateScrollBars() {
  // Which bars show, decided on the whole area inside the frame: a bar is needed when
  // the grid does not fit beside the other bar. Adding a bar only takes room away, so
  // a few rounds settle it.
  const QSize Area = contentsRect().size();
  const int BarWidth = verticalScrollBar()->sizeHint().width();
  const int BarHeight = horizontalScrollBar()->sizeHint().height();
  const bool ScrollbackShown = FScrollback && GetScrollbackRows() > GetRows();
  bool ShowHorz = false;
  bool ShowVert = ScrollbackShown;
  for (int Round = 0; Round < 3; ++Round) {
    const int Width = std::max(Area.width() - (ShowVert ? BarWidth : 0), 0);
    const int Height = std::max(Area.height() - (ShowHorz ? BarHeight : 0), 0);
    const bool Horz = GetColumns() > Width / FCellWidth && (!FHideScrollbars || FHorzBarForced);
    const bool Vert = (GetRows() > Height / FCellHeight && (!FHideScrollbars || FVertBarForced)) || ScrollbackShown;
    if (Horz == ShowHorz && Vert == ShowVert) break;
    ShowHorz = Horz;
    ShowVert = Vert;
  }
  FUpdatingBars = true;
  // Set even when unchanged: a policy chosen while the control was hidden is laid out
  // only by a call made while it is shown.
  setHorizontalScrollBarPolicy(ShowHorz ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(ShowVert ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  FUpdatingBars = false;
}

void TAdCustomTerminal::SetOriginCol(int Value) {
  Value = std::clamp(Value, 1, std::max(1, GetColumns() - ClientCols() + 1));
  if (Value == FOriginCol) return;
  FOriginCol = Value;
  ComputeVisible();
  FUpdatingBars = true;
  horizontalScrollBar()->setValue(Value - 1);
  FUpdatingBars = false;
  RepaintAll();
}

void TAdCustomTerminal::SetOriginRow(int Value) {
  const int MaxRow = std::max(1, GetRows() - ClientRows() + 1);
  Value = std::clamp(Value, std::min(MinOriginRow(), MaxRow), MaxRow);
  if (Value == FOriginRow) return;
  FOriginRow = Value;
  ComputeVisible();
  FUpdatingBars = true;
  verticalScrollBar()->setValue(Value - 1);
  FUpdatingBars = false;
  RepaintAll();
}

void TAdCustomTerminal::scrollContentsBy(int, int) {
  if (FUpdatingBars) return;
  SetOriginCol(horizontalScrollBar()->value() + 1);
  SetOriginRow(verticalScrollBar()->value() + 1);
}

void TAdCustomTerminal::VerticalAction(int Action) {
  if (FUpdatingBars || !FAutoScrollback || !FVertBarNeeded) return;
  if (!FScrollback && Action == QAbstractSlider::SliderSingleStepSub && FOriginRow == 1) {
    // A line up at the top of the screen goes on into the scroll-back.
    SetScrollback(true);
    verticalScrollBar()->setSliderPosition(FOriginRow - 2);
  } else if (FScrollback && FOriginRow >= 2) {
    SetScrollback(false);
  }
}

void TAdCustomTerminal::ScrollToCursor() {
  const TAdTerminalBuffer& B = Buffer();
  const int Row = B.GetCursorScreenRow();
  const int Col = B.GetCursorCol();
  const int Cols = std::max(ClientCols(), 1);
  const int Rows = std::max(ClientRows(), 1);
  int OriginCol = FOriginCol;
  int OriginRow = FOriginRow;
  // The cursor's cell is kept wholly in view.
  if (Col < OriginCol)
    OriginCol = Col;
  else if (Col >= OriginCol + Cols)
    OriginCol = Col - Cols + 1;
  if (Row < OriginRow)
    OriginRow = Row;
  else if (Row >= OriginRow + Rows)
    OriginRow = Row - Rows + 1;
  SetOriginCol(OriginCol);
  SetOriginRow(OriginRow);
}

bool TAdCustomTerminal::CursorKeptInSight() const {
  if (!FFollowCursor || FInLayout) return false;
  const int Row = Buffer().GetCursorScreenRow();
  return Row >= FOriginRow && Row < FOriginRow + FWholeRows;
}

void TAdCustomTerminal::RecalcLayoutKeepingCursor() {
  const bool KeepCursor = CursorKeptInSight();
  RecalcLayout();
  if (KeepCursor) ScrollToCursor();
}

void TAdCustomTerminal::CheckForcedBars() {
  const TAdTerminalBuffer& B = Buffer();
  const bool Horz = B.GetCursorCol() > FOriginCol + FWholeCols - 1;
  const bool Vert = B.GetCursorScreenRow() > FOriginRow + FWholeRows - 1;
  if (Horz == FHorzBarForced && Vert == FVertBarForced) return;
  FHorzBarForced = Horz;
  FVertBarForced = Vert;
  RecalcLayout();
}

void TAdCustomTerminal::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  RecalcLayoutKeepingCursor();
}

void TAdCustomTerminal::showEvent(QShowEvent* Event) {
  QAbstractScrollArea::showEvent(Event);
  if (!FTimer.isActive()) FTimer.start();
  // Scroll bars chosen while hidden (a font changed on another page) take their
  // room only now.
  RecalcLayoutKeepingCursor();
}

void TAdCustomTerminal::changeEvent(QEvent* Event) {
  QAbstractScrollArea::changeEvent(Event);
  if (Event->type() == QEvent::FontChange) MeasureFonts();
}

// ---------------------------------------------------------------- keys and focus

void TAdCustomTerminal::keyPressEvent(QKeyEvent* Event) {
  const Qt::KeyboardModifiers Modifiers =
      Event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (FSelecting && Event->key() == Qt::Key_Escape) {
    CancelMode();
    Event->accept();
    return;
  }
  if (FSelectionPresent && Modifiers == Qt::ControlModifier &&
      (Event->key() == Qt::Key_C || Event->key() == Qt::Key_Insert)) {
    CopyToClipboard();
    Event->accept();
    return;
  }
  const TAdTerminalKey Key = TranslateKeyEvent(*Event);
  bool Taken = false;
  if (Key.Key != 0) {
    uint16_t Code = Key.Key;
    FEmulator->KeyDown(Code, Key.Shift);
    Taken = Code == 0;
  }
  if (!Taken)
    for (char Character : Key.Characters) {
      if (Character == 0) continue;
      FEmulator->KeyPress(Character);
      Taken = true;
    }
  if (!Taken) {
    Event->ignore();
    return;
  }
  Event->accept();
  if (!FUseLazyDisplay && FEmulator->NeedsUpdate()) RequestPaintStep();
  if (FCaretCreated && !FCaretPhaseOn) {
    FCaretPhaseOn = true;
    if (FCaretTimer.isActive()) FCaretTimer.start();
    UpdateCaret();
  }
}

bool TAdCustomTerminal::focusNextPrevChild(bool Next) {
  // Tab belongs to the terminal while it wants all keys.
  if (FWantAllKeys) return false;
  return QAbstractScrollArea::focusNextPrevChild(Next);
}

void TAdCustomTerminal::focusInEvent(QFocusEvent*) {
  FCaretCreated = true;
  FCaretPhaseOn = true;
  const int FlashTime = QGuiApplication::styleHints()->cursorFlashTime();
  if (FlashTime > 0)
    FCaretTimer.start(FlashTime / 2);
  else
    FCaretTimer.stop();
  UpdateCaret();
}

void TAdCustomTerminal::focusOutEvent(QFocusEvent*) {
  FCaretCreated = false;
  FCaretTimer.stop();
  UpdateCaret();
  if (FSelecting) CancelMode();
}

// ---------------------------------------------------------------- selection

TAdCustomTerminal::TCell TAdCustomTerminal::CellAt(QPoint Point) const {
  return {Point.y() / FCellHeight + FOriginRow, Point.x() / FCellWidth + FOriginCol};
}

QPoint TAdCustomTerminal::ClampToGrid(QPoint Point) const {
  return {std::clamp(Point.x(), 0, std::max(FCellWidth * FVisibleCols - 1, 0)),
          std::clamp(Point.y(), 0, std::max(FCellHeight * FVisibleRows - 1, 0))};
}

void TAdCustomTerminal::RepaintSelectionRows(TCell OldStart, TCell OldEnd, bool OldMarked) {
  // The columns of a row that a selection marks; {1, 0} when none.
  auto Span = [](int Row, TCell Start, TCell End, bool Marked) -> std::pair<int, int> {
    if (!Marked || Row < Start.Row || Row > End.Row) return {1, 0};
    return {Row == Start.Row ? Start.Col : INT_MIN, Row == End.Row ? End.Col : INT_MAX};
  };
  // Only rows on view can need a repaint, however far the selection reaches.
  for (int Row = FOriginRow; Row < FOriginRow + FVisibleRows; ++Row)
    if (Span(Row, OldStart, OldEnd, OldMarked) != Span(Row, FSelStart, FSelEnd, FMarked))
      ScheduleRepaint(QRect(0, (Row - FOriginRow) * FCellHeight, viewport()->width(), FCellHeight));
}

void TAdCustomTerminal::ExtendSelectionTo(TCell Cell) {
  const TCell OldStart = FSelStart;
  const TCell OldEnd = FSelEnd;
  const bool OldMarked = FMarked;
  FSelStart = std::min(FAnchor, Cell);
  FSelEnd = std::max(FAnchor, Cell);
  FMarked = true;
  FSelectionPresent = true;
  RepaintSelectionRows(OldStart, OldEnd, OldMarked);
}

void TAdCustomTerminal::UnmarkSelection() {
  if (!FMarked) return;
  FMarked = false;
  FSelectionPresent = false;
  RepaintSelectionRows(FSelStart, FSelEnd, true);
}

void TAdCustomTerminal::SetSelection(int StartRow, int StartCol, int EndRow, int EndCol) {
  const TCell OldStart = FSelStart;
  const TCell OldEnd = FSelEnd;
  const bool OldMarked = FMarked;
  const TCell A{StartRow, StartCol};
  const TCell B{EndRow, EndCol};
  FSelStart = std::min(A, B);
  FSelEnd = std::max(A, B);
  FAnchor = FSelStart;
  FMarked = true;
  FSelectionPresent = true;
  RepaintSelectionRows(OldStart, OldEnd, OldMarked);
}

void TAdCustomTerminal::CancelMode() {
  FSelecting = false;
  UnmarkSelection();
  FAnchor = FSelStart = FSelEnd = TCell{};
}

void TAdCustomTerminal::SelectionScrolled(int Count, int FirstRow, int LastRow) {
  if (!FMarked || Count == 0) return;
  if (FSelEnd.Row < FirstRow || FSelStart.Row > LastRow) return;  // not in the rows that moved
  const TCell OldStart = FSelStart;
  const TCell OldEnd = FSelEnd;
  // The marks travel with their cells; a selection the move cuts or pushes out of the
  // moving rows is dropped.
  const bool Inside = FSelStart.Row >= FirstRow && FSelEnd.Row <= LastRow;
  if (Inside && FSelStart.Row - Count >= FirstRow && FSelEnd.Row - Count <= LastRow) {
    FSelStart.Row -= Count;
    FSelEnd.Row -= Count;
    FAnchor.Row -= Count;
  } else {
    FMarked = false;
    FSelectionPresent = false;
    FSelecting = false;
  }
  RepaintSelectionRows(OldStart, OldEnd, true);
}

char16_t TAdCustomTerminal::ShownCharacter(int Row, int Col) const {
  const TAdTerminalBuffer& B = Buffer();
  const uint8_t Code = static_cast<uint8_t>(B.GetCharAt(Row, Col));
  char16_t Shown = 0;
  std::string Font;
  uint8_t Glyph = 0;
  TAdCharSetMapping* Map = FEmulator->GetCharSetMapping();
  if (Map != nullptr && Map->Find(VT100CharSetName(B.GetCharSetAt(Row, Col)), Code, Font, Glyph))
    Shown = FFonts.Face(Font).CharacterOf(Glyph);
  else
    Shown = FFonts.Face(TAdCharSetMapping::DefaultFontName).CharacterOf(Code);
  return Shown == 0 || Shown == 0xA0 ? u' ' : Shown;
}

QString TAdCustomTerminal::GetSelectedText() const {
  if (!FMarked) return {};
  const TAdTerminalBuffer& B = Buffer();
  // Only rows and columns the buffer has are read, whatever the selection's corners.
  const int TopRow = B.GetRowCount() - B.GetSVRowCount() + 1;
  const int BottomRow = B.GetRowCount();
  const int Columns = B.GetColCount();
  TCell Start = FSelStart;
  TCell End = FSelEnd;
  if (End.Row < TopRow || Start.Row > BottomRow) return {};
  if (Start.Row < TopRow) Start = {TopRow, 1};
  if (End.Row > BottomRow) End = {BottomRow, Columns};
  QString Text;
  for (int Row = Start.Row; Row <= End.Row; ++Row) {
    const int From = std::max(Row == Start.Row ? Start.Col : 1, 1);
    const int To = std::min(Row == End.Row ? End.Col : Columns, Columns);
    for (int Col = From; Col <= To; ++Col) Text.append(QChar(ShownCharacter(Row, Col)));
    Text += QStringLiteral("\r\n");
  }
  return Text;
}

void TAdCustomTerminal::CopyToClipboard() {
  if (!FMarked) return;
  QGuiApplication::clipboard()->setText(GetSelectedText());
}

void TAdCustomTerminal::PasteFromClipboard() {
  const QString Text = QGuiApplication::clipboard()->text();
  if (Text.isEmpty()) return;
  if (FPasteToPort && HasPort()) {
    // Each line ends as Enter ends it: with one CR.
    std::string Bytes;
    Bytes.reserve(static_cast<std::size_t>(Text.size()));
    for (qsizetype I = 0; I < Text.size(); ++I) {
      const char16_t C = Text[I].unicode();
      if (C == u'\n') {
        if (I == 0 || Text[I - 1] != u'\r') Bytes.push_back('\r');
      } else if (C <= 0xFF) {
        Bytes.push_back(static_cast<char>(C));
      }
    }
    PortSend(Bytes);
  }
  if (!FPasteToScreen) return;
  std::string Bytes;
  Bytes.reserve(static_cast<std::size_t>(Text.size()) + 16);
  for (qsizetype I = 0; I < Text.size(); ++I) {
    const char16_t C = Text[I].unicode();
    // Lines end with CR LF on the terminal's screen.
    if (C == u'\n' && (I == 0 || Text[I - 1] != u'\r')) Bytes.push_back('\r');
    if (C <= 0xFF) Bytes.push_back(static_cast<char>(C));
  }
  WriteString(Bytes);
}

void TAdCustomTerminal::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) {
    Event->ignore();
    return;
  }
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  FSelecting = true;
  FLastMousePos = Event->position().toPoint();
  if (FMouseSelect) {
    UnmarkSelection();
    FAnchor = CellAt(ClampToGrid(FLastMousePos));
    FSelStart = FSelEnd = FAnchor;
    FMarked = true;
    RepaintSelectionRows(FAnchor, FAnchor, false);
  }
  Event->accept();
}

void TAdCustomTerminal::mouseMoveEvent(QMouseEvent* Event) {
  FLastMousePos = Event->position().toPoint();
  if (FSelecting && FMouseSelect) ExtendSelectionTo(CellAt(ClampToGrid(FLastMousePos)));
  Event->accept();
}

void TAdCustomTerminal::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton || !FSelecting) {
    Event->ignore();
    return;
  }
  FLastMousePos = Event->position().toPoint();
  if (FMouseSelect && FAutoCopy) CopyToClipboard();
  FSelecting = false;
  Event->accept();
}

void TAdCustomTerminal::AutoScrollSelection() {
  const QPoint Point = FLastMousePos;
  const QRect Client = viewport()->rect();
  if (FHorzBarNeeded) {
    if (Point.x() < Client.left())
      SetOriginCol(FOriginCol - 1);
    else if (Point.x() > Client.right())
      SetOriginCol(FOriginCol + 1);
  }
  if (Point.y() < Client.top())
    SetOriginRow(FOriginRow - 1);
  else if (Point.y() > Client.bottom())
    SetOriginRow(FOriginRow + 1);
  if (FMouseSelect) ExtendSelectionTo(CellAt(ClampToGrid(Point)));
}

// ---------------------------------------------------------------- the serial port

void TAdCustomTerminal::SetComPort(TApdCustomComPort* Value) {
  if (Value == FComPort) return;
  if (FComPort != nullptr) {
    ReleasePortTrigger();
    FComPort->RemovePortUser(FPortWindow.get());
    UnlinkComPort(*FPortLink);
    FPortPending.clear();
    FPortRetryTimer.stop();
  }
  FComPort = Value;
  if (Value == nullptr) return;
  LinkComPort(*FPortLink, *Value);
  // The port's events must reach this thread: a port without an event thread of its
  // own gets the event loop's.
  if (Value->GetEventThread() == nullptr) Value->SetEventThread(&QtEventThread());
  Value->AddPortUser(FPortWindow.get());
  if (FActive) PostPortOpen();
}

void TAdCustomTerminal::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (FComPort == nullptr) return;
  if (Value)
    PostPortOpen();
  else
    ReleasePortTrigger();
}

void TAdCustomTerminal::ComPortRemoved(TApdCustomComPort& Port) {
  if (&Port != FComPort) return;
  // The port has closed already (this terminal heard it as a user) and drops the
  // link itself; what is left here only refers to it.
  FTriggerDispatcher = nullptr;
  FTriggerHandler = 0;
  FComPort = nullptr;
  FActive = false;
  FPortPending.clear();
  FPortRetryTimer.stop();
}

void TAdCustomTerminal::PostPortOpen() {
  if (FPortOpenPosted) return;
  FPortOpenPosted = true;
  QCoreApplication::postEvent(this, new QEvent(PortOpenEventType()));
}

void TAdCustomTerminal::OpenPortNow() {
  FPortOpenPosted = false;
  if (FComPort == nullptr || !FActive) return;
  try {
    // Reading the dispatcher opens a closed port when its AutoOpen is on.
    FComPort->GetDispatcher();
  } catch (const std::exception& Error) {
    ReportPortError(Error.what());
    return;
  }
  ArmPortTrigger();
}

void TAdCustomTerminal::PortMessage(uint32_t Msg) {
  switch (Msg) {
    case ApwPortOpen: ArmPortTrigger(); break;
    case ApwClosePending:
    case ApwPortClose:
      ReleasePortTrigger();
      FPortPending.clear();
      FPortRetryTimer.stop();
      break;
    default: break;
  }
}

void TAdCustomTerminal::ArmPortTrigger() {
  if (FComPort == nullptr || !FActive || FTriggerDispatcher != nullptr || FComPort->GetState() != psOpen) return;
  TApdBaseDispatcher* Dispatcher = FComPort->CurrentDispatcher();
  if (Dispatcher == nullptr) return;
  // The terminal wants every arrival.
  if (FComPort->GetLengthTrigger() == 0) FComPort->SetLengthTrigger(1);
  // A synchronised handler runs on the port's event thread, which is this one
  // unless the port was opened without one; then the bytes are handed over.
  FTriggerHandler = Dispatcher->RegisterEventHandler(
      [Feed = FPortFeed, Dispatcher](uint32_t Msg, uint32_t Param, uint32_t) {
        if (Msg != ApwTriggerAvail && Msg != ApwTriggerData) return;
        std::lock_guard<std::mutex> Guard(Feed->Lock);
        TAdCustomTerminal* Terminal = Feed->Terminal;
        if (Terminal == nullptr) return;
        // Data available offers its count; a match offers whatever this handler sees.
        const uint32_t Count = Msg == ApwTriggerAvail ? Param : Dispatcher->InputUsed();
        if (Count == 0) return;
        std::vector<uint8_t> Bytes(Count);
        if (Dispatcher->GetBlock(Bytes.data(), Count) != static_cast<int32_t>(Count)) return;
        if (QThread::currentThread() == Terminal->thread()) {
          Terminal->PortDataArrived(Bytes.data(), Bytes.size());
          return;
        }
        QMetaObject::invokeMethod(
            Terminal, [Terminal, Bytes = std::move(Bytes)] { Terminal->PortDataArrived(Bytes.data(), Bytes.size()); },
            Qt::QueuedConnection);
      },
      true);
  FTriggerDispatcher = Dispatcher;
  // What came before the terminal listened is shown too.
  if (const uint32_t Waiting = Dispatcher->InputUsed(); Waiting > 0) {
    std::vector<uint8_t> Bytes(Waiting);
    if (Dispatcher->GetBlock(Bytes.data(), Waiting) == static_cast<int32_t>(Waiting))
      PortDataArrived(Bytes.data(), Bytes.size());
  }
}

void TAdCustomTerminal::ReleasePortTrigger() {
  // Only a dispatcher the port still has is told: one it let go of is gone.
  if (FTriggerDispatcher != nullptr && FComPort != nullptr && FComPort->CurrentDispatcher() == FTriggerDispatcher)
    FTriggerDispatcher->DeregisterEventHandler(FTriggerHandler);
  FTriggerDispatcher = nullptr;
  FTriggerHandler = 0;
}

void TAdCustomTerminal::PortDataArrived(const uint8_t* Data, std::size_t Count) {
  if (Count == 0) return;
  FQueue.Put(Data, Count);
  PostDrain(csPort);
}

bool TAdCustomTerminal::HasPort() const {
  return FComPort != nullptr && FComPort->GetState() == psOpen &&
         ComPortTerminalLink(*FComPort) == FPortLink.get();
}

void TAdCustomTerminal::PortSend(const std::string& Data) {
  if (Data.empty() || !HasPort()) return;
  FPortPending += Data;
  FlushPortOutput();
}

void TAdCustomTerminal::FlushPortOutput() {
  FPortRetryTimer.stop();
  if (FPortPending.empty()) return;
  TApdBaseDispatcher* Dispatcher = HasPort() ? FComPort->CurrentDispatcher() : nullptr;
  if (Dispatcher == nullptr) {
    FPortPending.clear();
    return;
  }
  // As much as the transmit buffer takes now; the rest waits for room. A device that
  // refuses output is asked anyway, so that its refusal is reported.
  const std::size_t Count = Dispatcher->OutputError() != 0
                                ? FPortPending.size()
                                : std::min<std::size_t>(Dispatcher->OutputFree(), FPortPending.size());
  if (Count > 0) {
    try {
      FComPort->PutString(FPortPending.substr(0, Count));
    } catch (const std::exception& Error) {
      FPortPending.clear();
      ReportPortError(Error.what());
      return;
    }
    FPortPending.erase(0, Count);
  }
  if (!FPortPending.empty()) FPortRetryTimer.start(PortRetryInterval);
}

TAdPortSettings TAdCustomTerminal::GetPortSettings() const {
  TAdPortSettings Settings;
  if (FComPort == nullptr) return Settings;
  Settings.BaudRate = static_cast<int>(FComPort->GetBaud());
  Settings.Parity = static_cast<TAdParity>(std::min<uint8_t>(FComPort->GetParity(), apSpace));
  Settings.DataBits = FComPort->GetDataBits();
  return Settings;
}

void TAdCustomTerminal::ReportPortError(const std::string& Message) {
  if (OnPortError) OnPortError(*this, Message);
}
