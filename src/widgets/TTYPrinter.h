// The emulated machine's list device: the bytes that the machine sends to the
// printer port arrive one at a time and are laid out as plain text, like on a
// teletype printer. The printer keeps a print position in printer pixels, wraps
// or clips at the right margin, breaks pages at the bottom margin, expands tabs,
// and opens and closes its print job by itself. A job opens with the first
// character it draws: bytes that print nothing (line ends, form feeds, ^Z)
// open none, so they never cost a sheet.
//
// The pages go to the host's default printer, to a host printer chosen by name,
// or into a PDF file (the user's choice where the host has no printer). Every
// job is drawn into a temporary PDF file first (beside the chosen PDF file, or
// among the host's temporary files for a printer), readable by its owner only
// while it is open, and only a job that ends normally goes on: renamed over the
// chosen PDF file, which then gets the permissions of any new file of the user,
// or handed as a whole to the host printer's print queue (HostPrintQueue.h). An
// aborted job leaves nothing behind. A crash in the middle of a job leaves its
// temporary file ("name.pdf.XXXXXX" beside the PDF file, "korvel-print-XXXXXX"
// among the temporary files), but the previous PDF file stays as it was.
//
// Failures to open, continue or finish a job (a print queue that refuses it
// among them) are thrown as EEmulatorError with a message for the user; the
// printer is then off (no job open) and the next byte tries again.
#pragma once

#include <QFont>
#include <QList>
#include <QPageLayout>
#include <QPageSize>
#include <QPointF>
#include <QRawFont>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>

#include "HostPrintQueue.h"
#include "MachinePrinter.h"

class QPainter;
class QPrinter;

class TTTYPrinter final : public IMachinePrinter {
 public:
  static constexpr double MinMargin = 0.25;
  static constexpr double MaxMargin = 2.5;
  static constexpr double MinLineSpacing = 1.0;
  static constexpr double MaxLineSpacing = 3.0;
  static constexpr int MinTabSpacing = 1;
  static constexpr int MaxTabSpacing = 16;

  // Prints to the host's default printer, with a fixed-pitch font of 10 points.
  TTTYPrinter();
  // Ejects a running job; a failure to finish it is lost here.
  ~TTTYPrinter() override;
  TTTYPrinter(const TTTYPrinter&) = delete;
  TTTYPrinter& operator=(const TTTYPrinter&) = delete;

  // Where the pages go. These take effect with the next job (the font at once).
  // An empty printer name means the host's default printer; an output file name
  // (a PDF file) takes precedence over any host printer.
  QString GetPrinterName() const { return FPrinterName; }
  void SetPrinterName(const QString& Value);
  QString GetOutputFileName() const { return FOutputFileName; }
  void SetOutputFileName(const QString& Value);
  QPageLayout::Orientation GetOrientation() const { return FOrientation; }
  void SetOrientation(QPageLayout::Orientation Value);
  // An invalid page size keeps the printer's own paper.
  QPageSize GetPageSize() const { return FPageSize; }
  void SetPageSize(const QPageSize& Value);
  QFont GetFont() const { return FFont; }
  void SetFont(const QFont& Value);
  // The name of each job in the host's print queue.
  QString GetJobName() const { return FJobName; }
  void SetJobName(const QString& Value) { FJobName = Value; }
  // Options of each job for a host printer besides its paper and orientation
  // (copies, two-sided printing, ...; see PrintJobOptionsOf).
  const TPrintJobOptions& GetJobOptions() const { return FJobOptions; }
  void SetJobOptions(const TPrintJobOptions& Value) { FJobOptions = Value; }

  // Margins in inches, kept within MinMargin..MaxMargin; measured from the
  // paper's edge, but never inside the printer's unprintable border.
  double GetTopMargin() const { return FTopMargin; }
  void SetTopMargin(double Value);
  double GetBottomMargin() const { return FBottomMargin; }
  void SetBottomMargin(double Value);
  double GetLeftMargin() const { return FLeftMargin; }
  void SetLeftMargin(double Value);
  double GetRightMargin() const { return FRightMargin; }
  void SetRightMargin(double Value);
  // Factor on the text height, kept within MinLineSpacing..MaxLineSpacing.
  double GetLineSpacing() const { return FLineSpacing; }
  void SetLineSpacing(double Value);
  // Columns between tab stops, kept within MinTabSpacing..MaxTabSpacing.
  int GetTabSpacing() const { return FTabSpacing; }
  void SetTabSpacing(int Value);
  // True: a character past the right limit starts a new line; false: it is dropped.
  bool GetAutoLineWrap() const { return FAutoLineWrap; }
  void SetAutoLineWrap(bool Value) { FAutoLineWrap = Value; }
  bool GetIgnoreFormFeed() const { return FIgnoreFormFeed; }
  void SetIgnoreFormFeed(bool Value) { FIgnoreFormFeed = Value; }
  // True: byte 26 (^Z, end of stream) ejects the job.
  bool GetEjectOnCtrlZ() const { return FEjectOnCtrlZ; }
  void SetEjectOnCtrlZ(bool Value) { FEjectOnCtrlZ = Value; }

  // The layout in printer pixels, as last computed from the printer and its font.
  int GetDpi() const { return FDpi; }
  int GetCharacterWidth() const { return FCharacterWidth; }
  int GetLineHeight() const { return FLineHeight; }
  int GetTextHeight() const { return FTextHeight; }
  int GetPageWidth() const { return FPageWidth; }
  int GetPageHeight() const { return FPageHeight; }
  int GetLeftEdge() const { return FLeftEdge; }
  int GetRightLimit() const { return FRightLimit; }
  int GetTopEdge() const { return FTopEdge; }
  int GetBottomLimit() const { return FBottomLimit; }
  int GetX() const { return FX; }
  int GetY() const { return FY; }
  // Lines that fit on one page between the top edge and the bottom limit.
  int LinesPerPage() const;

  // Moves on to a new page unless the current one is still empty (the first
  // page of a job that has not drawn anything yet is always empty); then the
  // print position goes to the top left.
  void StartPage();

  void PrintChar(uint8_t Value) override;
  // A PDF file is chosen, or the chosen host printer exists (looked up when it is
  // chosen), or a job is open.
  bool PrinterAvailable() const override;
  bool IsPrinting() const override;
  // Pages the running job has produced so far (at least 1); 0 without a job.
  int PageCount() const override;
  void EjectJob() override;
  // Throws the job away: nothing of it reaches a file or a print queue.
  void AbortJob() override;
  // Pages of the last job that was ejected; 0 after an aborted one.
  int LastJobPageCount() const { return FLastJobPageCount; }

 private:
  void LookUpHostPrinter();
  void ConfigurePrinter();
  void ComputeMetrics();
  void BeginJob();
  void CloseJob(bool Discard);
  // Renames the finished job file over the chosen PDF file, or hands it to the host printer's queue.
  void DeliverJob(const QString& JobFile);
  QString JobTarget() const;
  // Lets the next drawn character start a new sheet (a page break that is never
  // followed by text leaves no blank sheet).
  void NewPage();
  void LineFeed();
  void DrawChar(uint8_t Value);
  void StartPendingPage();
  void LoadGlyphs();
  void FlushGlyphs();

  // Draws every job into a PDF file.
  std::unique_ptr<QPrinter> FPrinter;
  std::unique_ptr<QPainter> FPainter;  // set while a job is open
  QString FPrinterName;
  bool FHostPrinterAvailable = false;
  QString FHostPrinterFound;  // the name of the host printer that was found
  // The host printer as the host describes it: its paper, and the border it
  // cannot print on. It prints nothing itself.
  std::unique_ptr<QPrinter> FHostPrinter;
  QString FOutputFileName;
  QString FJobFileName;  // the temporary file of the running job
  QString FJobName;
  TPrintJobOptions FJobOptions;
  QPageLayout::Orientation FOrientation = QPageLayout::Portrait;
  QPageSize FPageSize;
  QFont FFont;

  int FX = 0;
  int FY = 0;
  int FPageWidth = 0;
  int FPageHeight = 0;
  int FLineHeight = 1;
  int FTextHeight = 1;
  int FAscent = 0;
  int FLeftEdge = 0;
  int FRightLimit = 0;
  int FTopEdge = 0;
  int FBottomLimit = 0;
  int FCharacterWidth = 1;
  int FDpi = 0;
  double FTopMargin = MinMargin;
  double FBottomMargin = MinMargin;
  double FLeftMargin = MinMargin;
  double FRightMargin = MinMargin;
  double FLineSpacing = 1.1;
  bool FAutoLineWrap = true;
  int FTabSpacing = 8;
  bool FIgnoreFormFeed = false;
  bool FPageFresh = true;
  // Bytes of a job have set the print position, but no job is open yet.
  bool FPositionSet = false;
  bool FNewPagePending = false;
  int FPageCount = 0;
  int FLastJobPageCount = 0;
  bool FEjectOnCtrlZ = true;

  // Characters are collected into one glyph run per page (or per few thousand
  // characters), each glyph at its own cell, and drawn at once: far faster
  // than one text layout per character. Bytes the font has no glyph for are
  // drawn as text, so the host's font fallback finds one.
  QRawFont FRawFont;
  std::array<quint32, 256> FGlyphs{};
  QList<quint32> FRunGlyphs;
  QList<QPointF> FRunPositions;
};
