// The terminal control of the CRT page. It shows the screen buffer of its emulator,
// hands the emulator every byte written to it in batches (one posted drain for all
// bytes queued so far) and every key, and paints what the emulator hands back as runs
// of cells. Repaints go through update() of the changed cells at the display's pace,
// so a flood of output costs a few paints a second, not one per byte. Around that: a
// caret drawn by the control, text blinking and lazy display on a 100 ms timer, a
// capture file, a view with scroll bars over the buffer and its scroll-back, mouse
// selection, copy and paste.
//
// A COM port component may be linked (SetComPort): the terminal then takes what the
// port receives (source csPort), sends typed keys, the emulator's replies and, with
// PasteToPort, pasted text to the port, and follows the port as it opens and closes.
// While Active the terminal opens the port as soon as the event loop runs (when the
// port's AutoOpen allows) and takes its data; inactive it leaves the data alone.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QElapsedTimer>
#include <QFile>
#include <QRegion>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ADTrmEmu.h"
#include "AdTerminalFonts.h"
#include "AdTerminalHost.h"
#include "AdTerminalQueue.h"
#include "OoMisc.h"

class TAdTTYEmulator;
class TApdBaseDispatcher;
class TApdCustomComPort;

enum TAdCaptureMode : uint8_t { cmOff, cmOn, cmAppend };
enum TAdBorderStyle : uint8_t { bsNone, bsSingle };

class TAdCustomTerminal : public QAbstractScrollArea, public TAdTerminalHost, public TApdBaseWinControl {
  Q_OBJECT

 public:
  using TAdKeyboardDataEvent = std::function<void(TAdTerminalEmulator& Sender, uint8_t Data)>;
  using TAdTerminalCursorMovedEvent = std::function<void(TAdCustomTerminal& aSender, int aRow, int aCol)>;
  using TAdPortErrorEvent = std::function<void(TAdCustomTerminal& Sender, const std::string& Message)>;

  // The capture file used when capture starts without a name (in the current folder).
  static constexpr const char* DefaultCaptureFile = "korvel.cap";
  static constexpr int TimerInterval = 100;
  // Changed cells are repainted at most once per frame of this many milliseconds.
  static constexpr int FrameInterval = 16;
  // How often bytes for the port that did not fit its transmit buffer are offered again.
  static constexpr int PortRetryInterval = 10;

  explicit TAdCustomTerminal(QWidget* Parent = nullptr);
  ~TAdCustomTerminal() override;

  // ---- output
  // Queues the byte for the emulator; the queue is drained once the event loop runs.
  void WriteChar(uint8_t Ch);
  void WriteString(std::string_view Text);
  void ClearScreen();

  // ---- the emulator; null reads back while the terminal's own TTY emulator is used.
  // An emulator must be detached (SetEmulator(nullptr)) before it is destroyed.
  TAdTerminalEmulator* GetEmulator() const;
  void SetEmulator(TAdTerminalEmulator* Value);
  // The emulator in use, the terminal's own when none is set.
  TAdTerminalEmulator& CurrentEmulator() const { return *FEmulator; }

  // ---- properties
  bool GetActive() const { return FActive; }
  // With a port: on opens it (as the port's AutoOpen allows) and takes its data, off
  // leaves its data alone. Without a port only remembered.
  void SetActive(bool Value);
  bool GetAutoCopy() const { return FAutoCopy; }
  void SetAutoCopy(bool Value) { FAutoCopy = Value; }
  bool GetAutoScrollback() const { return FAutoScrollback; }
  void SetAutoScrollback(bool Value);
  int GetBlinkTime() const { return FBlinkTime; }
  // Below 1: no blinking; 1 to 250 become 250.
  void SetBlinkTime(int Value);
  TAdBorderStyle GetBorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TAdBorderStyle Value);
  TAdCaptureMode GetCapture() const { return FCapture; }
  // cmOn creates (empties) the capture file, cmAppend adds to its end and then reads
  // back as cmOn, cmOff closes it. Raises EEmulatorError when the file cannot be opened.
  void SetCapture(TAdCaptureMode Value);
  const std::string& GetCaptureFile() const { return FCaptureFile; }
  // While capturing, the old file is closed and capture starts afresh in the new one.
  void SetCaptureFile(const std::string& Value);
  int GetColumns() const;
  // Below 2 is ignored (the buffer needs two); a new value puts both origins at 1.
  void SetColumns(int Value);
  int GetRows() const;
  void SetRows(int Value);
  int GetScrollbackRows() const;
  void SetScrollbackRows(int Value);
  TAdCursorType GetCursorType() const { return FCursorType; }
  void SetCursorType(TAdCursorType Value) override;
  bool GetFollowCursor() const { return FFollowCursor; }
  void SetFollowCursor(bool Value);
  // Kept as set: changed cells are repainted where the view shows them either way.
  bool GetFreezeScrollBack() const { return FFreezeScrollBack; }
  void SetFreezeScrollBack(bool Value) { FFreezeScrollBack = Value; }
  bool GetHalfDuplex() const override { return FHalfDuplex; }
  void SetHalfDuplex(bool Value) { FHalfDuplex = Value; }
  bool GetHideScrollbars() const { return FHideScrollbars; }
  void SetHideScrollbars(bool Value);
  int GetLazyByteDelay() const { return FLazyByteDelay; }
  // Taken only from 1 to 1024.
  void SetLazyByteDelay(int Value);
  int GetLazyTimeDelay() const { return FLazyTimeDelay; }
  // Taken only from 1 to 1000.
  void SetLazyTimeDelay(int Value);
  bool GetMouseSelect() const { return FMouseSelect; }
  void SetMouseSelect(bool Value);
  bool GetPasteToPort() const { return FPasteToPort; }
  void SetPasteToPort(bool Value) { FPasteToPort = Value; }
  bool GetPasteToScreen() const { return FPasteToScreen; }
  void SetPasteToScreen(bool Value) { FPasteToScreen = Value; }
  bool GetScrollback() const { return FScrollback; }
  void SetScrollback(bool Value);
  bool GetUseLazyDisplay() const { return FUseLazyDisplay; }
  void SetUseLazyDisplay(bool Value) { FUseLazyDisplay = Value; }
  bool GetWantAllKeys() const { return FWantAllKeys; }
  void SetWantAllKeys(bool Value) { FWantAllKeys = Value; }
  // The terminal's own colours: the background and the font colour.
  QColor GetColor() const { return FColor; }
  void SetColor(const QColor& Value);
  QColor GetFontColor() const { return FFontColor; }
  void SetFontColor(const QColor& Value);
  // Extra pixels between cells, across and down.
  void SetCellSpacing(int Horizontal, int Vertical);

  // ---- the view
  int GetCellWidth() const { return FCellWidth; }
  int GetCellHeight() const { return FCellHeight; }
  // The buffer cell at the top left of the view, 1-based; rows below 1 are scroll-back.
  int GetOriginCol() const { return FOriginCol; }
  int GetOriginRow() const { return FOriginRow; }
  void SetOriginCol(int Value);
  void SetOriginRow(int Value);
  // Cells at least partly in the view, and cells wholly in it.
  int GetVisibleCols() const { return FVisibleCols; }
  int GetVisibleRows() const { return FVisibleRows; }
  int GetWholeCols() const { return FWholeCols; }
  int GetWholeRows() const { return FWholeRows; }
  // Moves the view so that the cursor's cell is wholly in it.
  void ScrollToCursor();

  // ---- selection and clipboard
  bool HasSelection() const { return FSelectionPresent; }
  // Marks the cells from (StartRow, StartCol) to (EndRow, EndCol) in reading order,
  // corners in either order; rows below 1 are scroll-back.
  void SetSelection(int StartRow, int StartCol, int EndRow, int EndCol);
  // The selected text as shown, as a copy puts it on the clipboard: each row from the
  // selection's start column (first row) or column 1 to the buffer's last column (the
  // last row to the selection's end column), blanks included, each followed by CR LF.
  // Only cells that exist in the buffer are read.
  QString GetSelectedText() const;
  void CopyToClipboard();
  // Writes the clipboard's text to the screen when PasteToScreen is on, and sends it to
  // the port (each line ending as one CR, as Enter types it) when PasteToPort is on.
  void PasteFromClipboard();
  // Ends selecting and unmarks the selection.
  void CancelMode();

  // ---- the serial port (not owned). The link is dropped when either side goes away;
  // removing the port also turns Active off.
  TApdCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TApdCustomComPort* Value);

  TAdKeyboardDataEvent OnKeyboardData;
  TAdTerminalCursorMovedEvent OnCursorMoved;
  // The port refused to open or to take bytes (the message as the port raised it).
  TAdPortErrorEvent OnPortError;

  QSize sizeHint() const override;

  // ---- what the emulator asks of the control
  void KeyboardData(TAdTerminalEmulator& Sender, uint8_t Data) override;
  void Beep() override;
  void ColumnsChanged(int Columns) override;
  void CursorMoved(int Row, int Col) override;
  void DisplayChanged() override;
  void SetTerminalForeColor(TAdColor Color) override;
  void SetTerminalBackColor(TAdColor Color) override;
  TAdColor GetTerminalForeColor() const override;
  TAdColor GetTerminalBackColor() const override;
  // Qt cannot set the keyboard's Num Lock state: there is nothing to undo.
  void RestoreNumLock() override {}
  TAdViewGeometry GetViewGeometry() const override;
  void PaintRun(const TAdPaintRun& Run) override;
  // The port is linked, open and answers to this terminal (the one linked to it last).
  bool HasPort() const override;
  // Queued behind what the port could not take yet; never raises.
  void PortSend(const std::string& Data) override;
  TAdPortSettings GetPortSettings() const override;

 protected:
  bool event(QEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void focusInEvent(QFocusEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;
  bool focusNextPrevChild(bool Next) override;
  void scrollContentsBy(int DeltaX, int DeltaY) override;

 private:
  struct TCell {
    int Row = 1;
    int Col = 1;
    auto operator<=>(const TCell&) const = default;
  };

  class TPortWindow;
  class TPortLink;
  struct TPortFeed;

  TAdTerminalBuffer& Buffer() const { return FEmulator->GetBuffer(); }
  void AttachEmulator(TAdTerminalEmulator& Emulator);
  void DetachEmulator(TAdTerminalEmulator& Emulator);
  void PostDrain(TAdCharSource Source = csWriteChar);
  void DrainQueue(TAdCharSource Source);

  // The port.
  void ComPortRemoved(TApdCustomComPort& Port);
  void PortMessage(uint32_t Msg);
  void PostPortOpen();
  void OpenPortNow();
  void ArmPortTrigger();
  void ReleasePortTrigger();
  void PortDataArrived(const uint8_t* Data, std::size_t Count);
  void FlushPortOutput();
  void ReportPortError(const std::string& Message);
  void TimerTick();
  void CaretTick();

  // Painting: the paint step asks the emulator for what changed and repaints it.
  void RequestPaintStep();
  void PaintStep();
  void ScheduleRepaint(const QRect& Rect);
  void RepaintAll() { ScheduleRepaint(viewport()->rect()); }
  void StartFrameTimer();
  void Frame();
  void FlushRunBounds();
  QRect RunRect(const TAdPaintRun& Run) const;
  void DrawRun(QPainter& Painter, const TAdPaintRun& Run);
  void DrawRunPart(QPainter& Painter, const TAdPaintRun& Run, const TAdTerminalFace& Face, int First, int Count,
                   bool Selected);
  bool CellSelected(int Row, int Col) const;
  int LineWidthFactor(int Row) const;
  // Where the caret is drawn now; empty when it is not shown.
  QRect CaretRect() const;
  void UpdateCaret();

  // The view.
  void MeasureFonts();
  void RecalcLayout();
  // While the view follows the cursor, a change of its cells or its size keeps
  // the cursor's row in sight when it was in sight before (a view scrolled
  // elsewhere stays where it is). True when the layout should do so now.
  bool CursorKeptInSight() const;
  void RecalcLayoutKeepingCursor();
  void ComputeVisible();
  bool ClampOrigins();
  void UpdateScrollBars();
  int ClientCols() const;
  int ClientRows() const;
  int MinOriginRow() const;
  void VerticalAction(int Action);
  void CheckForcedBars();

  // Selection.
  TCell CellAt(QPoint Point) const;
  QPoint ClampToGrid(QPoint Point) const;
  void ExtendSelectionTo(TCell Cell);
  void UnmarkSelection();
  void RepaintSelectionRows(TCell OldStart, TCell OldEnd, bool OldMarked);
  void AutoScrollSelection();
  void SelectionScrolled(int Count, int FirstRow, int LastRow);
  char16_t ShownCharacter(int Row, int Col) const;

  void OpenCapture(bool Append);

  // Bytes and emulators.
  TaaByteQueue FQueue;
  std::vector<uint8_t> FDrainScratch;
  bool FDrainPosted[4] = {false, false, false, false};  // by source
  std::unique_ptr<TAdTTYEmulator> FDefaultEmulator;
  TAdTerminalEmulator* FEmulator = nullptr;
  // The emulator's own scroll hook, called before the selection follows the rows.
  TAdScrollRowsEvent FChainedScrollHook;

  // Properties.
  bool FActive = true;
  bool FAutoCopy = true;
  bool FAutoScrollback = true;
  int FBlinkTime = 500;
  TAdBorderStyle FBorderStyle = bsSingle;
  TAdCaptureMode FCapture = cmOff;
  std::string FCaptureFile = DefaultCaptureFile;
  QFile FCaptureStream;
  TAdCursorType FCursorType = ctBlock;
  bool FFollowCursor = true;
  bool FFreezeScrollBack = true;
  bool FHalfDuplex = false;
  bool FHideScrollbars = false;
  int FLazyByteDelay = 200;
  int FLazyTimeDelay = 100;
  bool FMouseSelect = true;
  bool FPasteToPort = false;
  bool FPasteToScreen = false;
  bool FScrollback = false;
  bool FUseLazyDisplay = true;
  bool FWantAllKeys = true;
  QColor FColor{0, 0, 0};
  QColor FFontColor{0xC0, 0xC0, 0xC0};
  int FExtraHorzSpacing = 0;
  int FExtraVertSpacing = 0;

  // The port: the link, its user window, the data handler registered with its
  // dispatcher, and bytes waiting for room in its transmit buffer.
  TApdCustomComPort* FComPort = nullptr;
  std::unique_ptr<TPortWindow> FPortWindow;
  std::unique_ptr<TPortLink> FPortLink;
  std::shared_ptr<TPortFeed> FPortFeed;
  TApdBaseDispatcher* FTriggerDispatcher = nullptr;
  int32_t FTriggerHandler = 0;
  bool FPortOpenPosted = false;
  std::string FPortPending;
  QTimer FPortRetryTimer;

  // Timers: blinking, lazy display and selection scrolling every 100 ms.
  QTimer FTimer;
  int FBlinkClock = 0;
  bool FBlinkOn = true;
  int FBytesSincePaint = 0;
  int FTimeSincePaint = 0;

  // Painting.
  mutable TAdTerminalFonts FFonts;
  int FCellWidth = 1;
  int FCellHeight = 1;
  QTimer FFrameTimer;
  QElapsedTimer FLastFrame;
  bool FInFrame = false;
  bool FPaintStepPending = false;
  QRegion FDirty;
  QRect FRunBounds;
  QPainter* FPainter = nullptr;

  // The caret: there while the control has the focus, blinking at the desktop's rate.
  bool FCaretCreated = false;
  bool FCaretPhaseOn = true;
  QTimer FCaretTimer;
  QRect FCaretShown;
  TCell FCaretCell{0, 0};

  // The view.
  int FOriginCol = 1;
  int FOriginRow = 1;
  int FVisibleCols = 0;
  int FVisibleRows = 0;
  int FWholeCols = 0;
  int FWholeRows = 0;
  bool FHorzBarNeeded = false;
  bool FVertBarNeeded = false;
  bool FHorzBarForced = false;
  bool FVertBarForced = false;
  bool FInLayout = false;
  bool FUpdatingBars = false;

  // Selection, in buffer cells.
  bool FSelecting = false;
  bool FSelectionPresent = false;
  bool FMarked = false;
  TCell FAnchor;
  TCell FSelStart;
  TCell FSelEnd;
  QPoint FLastMousePos;
};

// The terminal as the CRT page uses it.
class TAdTerminal : public TAdCustomTerminal {
  Q_OBJECT

 public:
  explicit TAdTerminal(QWidget* Parent = nullptr) : TAdCustomTerminal(Parent) {}
};
