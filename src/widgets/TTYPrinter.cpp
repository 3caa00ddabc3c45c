#include "TTYPrinter.h"

#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "EmulatorError.h"
#include "HostFixedPitchFont.h"

namespace {

// The text whose height gives the line height: the tallest and deepest glyphs.
const QString HeightSample = QStringLiteral("W!~`'\"\\/*(_+jgyMT0?.,");

// Glyphs collected before they are drawn as one run.
constexpr qsizetype MaxRunLength = 4096;

constexpr uint8_t BS = 8;
constexpr uint8_t TAB = 9;
constexpr uint8_t LF = 10;
constexpr uint8_t FF = 12;
constexpr uint8_t CR = 13;
constexpr uint8_t CtrlZ = 26;

// Nearest integer, ties to even (the default rounding mode).
int RoundHalfEven(double Value) { return static_cast<int>(std::nearbyint(Value)); }

bool IsPrintable(uint8_t Value) { return (Value >= 32 && Value <= 126) || (Value >= 160 && Value <= 254); }

QFont DefaultFont() {
  QFont font = QFontDatabase::families().contains(QStringLiteral("Courier New"))
                   ? QFont(QStringLiteral("Courier New"))
                   : HostFixedPitchFont();
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPointSize(10);
  return font;
}

// The permissions a new file of this user gets: 0666 less the process's umask.
// The umask is read from /proc, since setting it to read it back would give
// files that other threads create meanwhile the wrong permissions; owner-only
// where it cannot be read.
mode_t NewFilePermissions() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line)) {
    if (Line.rfind("Umask:", 0) != 0) continue;
    try {
      return 0666 & ~static_cast<mode_t>(std::stoul(Line.substr(6), nullptr, 8));
    } catch (const std::exception&) {
      break;
    }
  }
  return 0600;
}

// Clamps Value into Low..High; a value that is not a number keeps Current.
double Clamped(double Value, double Low, double High, double Current) {
  if (std::isnan(Value)) return Current;
  return std::clamp(Value, Low, High);
}

}  // namespace

TTTYPrinter::TTTYPrinter() : FPrinter(std::make_unique<QPrinter>(QPrinter::HighResolution)), FFont(DefaultFont()) {
  LookUpHostPrinter();
  ConfigurePrinter();
  ComputeMetrics();
}

TTTYPrinter::~TTTYPrinter() {
  try {
    EjectJob();
  } catch (const std::exception&) {
    // Nobody is left to tell; the job has been closed all the same.
  }
}

// ---------------------------------------------------------------- host side

void TTTYPrinter::LookUpHostPrinter() {
  const QPrinterInfo info =
      FPrinterName.isEmpty() ? QPrinterInfo::defaultPrinter() : QPrinterInfo::printerInfo(FPrinterName);
  FHostPrinterAvailable = !info.isNull();
  FHostPrinterFound = info.printerName();
  if (!FHostPrinterAvailable) return;
  if (!FHostPrinter) FHostPrinter = std::make_unique<QPrinter>(QPrinter::HighResolution);
  FHostPrinter->setPrinterName(FHostPrinterFound);
}

void TTTYPrinter::SetPrinterName(const QString& Value) {
  FPrinterName = Value;
  LookUpHostPrinter();
  if (FPainter) return;
  ConfigurePrinter();
  ComputeMetrics();
}

void TTTYPrinter::SetOutputFileName(const QString& Value) {
  FOutputFileName = Value;
  if (FPainter) return;
  ConfigurePrinter();
  ComputeMetrics();
}

void TTTYPrinter::SetOrientation(QPageLayout::Orientation Value) {
  FOrientation = Value;
  if (FPainter) return;
  ConfigurePrinter();
  ComputeMetrics();
}

void TTTYPrinter::SetPageSize(const QPageSize& Value) {
  FPageSize = Value;
  if (FPainter) return;
  ConfigurePrinter();
  ComputeMetrics();
}

void TTTYPrinter::SetFont(const QFont& Value) {
  FFont = Value;
  if (FPainter) {
    FlushGlyphs();
    FPainter->setFont(FFont);
    LoadGlyphs();
  }
  ComputeMetrics();
}

// Gives the PDF printer the paper of the chosen output; only while no job is
// open, since a printer cannot change its paper in the middle of a job.
void TTTYPrinter::ConfigurePrinter() {
  FPrinter->setOutputFormat(QPrinter::PdfFormat);
  QPageLayout layout;
  if (FOutputFileName.isEmpty() && FHostPrinterAvailable) {
    // The host printer's paper, with the border it cannot print on.
    if (FPageSize.isValid()) FHostPrinter->setPageSize(FPageSize);
    FHostPrinter->setPageOrientation(FOrientation);
    layout = FHostPrinter->pageLayout();
  } else {
    layout = QPageLayout(FPageSize.isValid() ? FPageSize : FPrinter->pageLayout().pageSize(), FOrientation,
                         QMarginsF());
  }
  FPrinter->setPageLayout(layout);
  // Positions are taken from the paper's corner, so the margins are measured
  // from the paper's edge on every printer.
  FPrinter->setFullPage(true);
}

QString TTTYPrinter::JobTarget() const {
  return FOutputFileName.isEmpty() ? QStringLiteral("the printer \"%1\"").arg(FHostPrinterFound)
                                   : QStringLiteral("the file \"%1\"").arg(FOutputFileName);
}

// ---------------------------------------------------------------- settings

void TTTYPrinter::SetTopMargin(double Value) {
  Value = Clamped(Value, MinMargin, MaxMargin, FTopMargin);
  if (Value == FTopMargin) return;
  FTopMargin = Value;
  ComputeMetrics();
}

void TTTYPrinter::SetBottomMargin(double Value) {
  Value = Clamped(Value, MinMargin, MaxMargin, FBottomMargin);
  if (Value == FBottomMargin) return;
  FBottomMargin = Value;
  ComputeMetrics();
}

void TTTYPrinter::SetLeftMargin(double Value) {
  Value = Clamped(Value, MinMargin, MaxMargin, FLeftMargin);
  if (Value == FLeftMargin) return;
  FLeftMargin = Value;
  ComputeMetrics();
}

void TTTYPrinter::SetRightMargin(double Value) {
  Value = Clamped(Value, MinMargin, MaxMargin, FRightMargin);
  if (Value == FRightMargin) return;
  FRightMargin = Value;
  ComputeMetrics();
}

void TTTYPrinter::SetLineSpacing(double Value) {
  Value = Clamped(Value, MinLineSpacing, MaxLineSpacing, FLineSpacing);
  if (Value == FLineSpacing) return;
  FLineSpacing = Value;
  ComputeMetrics();
}

void TTTYPrinter::SetTabSpacing(int Value) { FTabSpacing = std::clamp(Value, MinTabSpacing, MaxTabSpacing); }

// ---------------------------------------------------------------- metrics

void TTTYPrinter::ComputeMetrics() {
  if (!PrinterAvailable()) return;
  const QFontMetrics metrics(FFont, FPrinter.get());
  // An empty or odd font may measure 0: every step is at least one pixel, so
  // tabs never divide by zero and a line always fills up.
  FCharacterWidth = std::max(1, metrics.horizontalAdvance(QStringLiteral("W0")) / 2);
  const int textHeight = metrics.size(Qt::TextSingleLine, HeightSample).height();
  FTextHeight = std::max(1, textHeight);
  FLineHeight = std::max(1, RoundHalfEven(textHeight * FLineSpacing));
  FAscent = metrics.ascent();

  FDpi = FPrinter->logicalDpiY();
  FPageWidth = FPrinter->width();
  FPageHeight = FPrinter->height();
  // The paper's unprintable border (none for a PDF file) bounds the margins.
  QPageLayout layout = FPrinter->pageLayout();
  layout.setUnits(QPageLayout::Inch);
  const QMarginsF border = layout.minimumMargins();
  const auto edge = [this](double Margin, double Border) {
    return std::max(RoundHalfEven(Margin * FDpi), static_cast<int>(std::ceil(Border * FDpi)));
  };
  FLeftEdge = edge(FLeftMargin, border.left());
  FTopEdge = edge(FTopMargin, border.top());
  FRightLimit = FPageWidth - edge(FRightMargin, border.right());
  FBottomLimit = FPageHeight - edge(FBottomMargin, border.bottom());
}

int TTTYPrinter::LinesPerPage() const {
  if (FBottomLimit - FTopEdge < FTextHeight) return 1;
  return (FBottomLimit - FTopEdge - FTextHeight) / FLineHeight + 1;
}

// ---------------------------------------------------------------- the job

bool TTTYPrinter::PrinterAvailable() const {
  return FPainter || !FOutputFileName.isEmpty() || FHostPrinterAvailable;
}

bool TTTYPrinter::IsPrinting() const { return FPainter != nullptr; }

int TTTYPrinter::PageCount() const { return FPainter ? FPageCount : 0; }

void TTTYPrinter::BeginJob() {
  ConfigurePrinter();
  // The job goes into a file of its own: beside the chosen PDF file, which it
  // replaces at once when it is ejected, or among the temporary files until it
  // is handed to the host printer's queue.
  QTemporaryFile file(FOutputFileName.isEmpty()
                          ? QDir(QDir::tempPath()).filePath(QStringLiteral("korvel-print-XXXXXX"))
                          : QFileInfo(FOutputFileName).absoluteFilePath() + QStringLiteral(".XXXXXX"));
  file.setAutoRemove(false);
  if (!file.open()) {
    const QString target =
        FOutputFileName.isEmpty() ? QStringLiteral("a print file for %1").arg(JobTarget())
                                  : QStringLiteral("the print file \"%1\"").arg(FOutputFileName);
    throw EEmulatorError(QStringLiteral("Cannot create %1: %2").arg(target, file.errorString()).toStdString());
  }
  // A job in progress is the user's own business: other local users can list a
  // temporary folder, but they cannot read what is being printed.
  file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  FJobFileName = file.fileName();
  file.close();
  FPrinter->setOutputFileName(FJobFileName);
  auto painter = std::make_unique<QPainter>();
  if (!painter->begin(FPrinter.get())) {
    if (!FJobFileName.isEmpty()) QFile::remove(FJobFileName);
    FJobFileName.clear();
    throw EEmulatorError(QStringLiteral("Cannot start a print job on %1.").arg(JobTarget()).toStdString());
  }
  FPainter = std::move(painter);
  FPainter->setFont(FFont);
  LoadGlyphs();
  FPageCount = 1;
}

void TTTYPrinter::CloseJob(bool Discard) {
  // Bytes that drew nothing leave nothing to close: no sheet, no file.
  FPositionSet = false;
  if (!FPainter) {
    FNewPagePending = false;
    FPageFresh = true;
    return;
  }
  if (Discard) {
    FRunGlyphs.clear();
    FRunPositions.clear();
    FPrinter->abort();
  } else {
    FlushGlyphs();
  }
  const bool ended = FPainter->end();
  FPainter.reset();
  FLastJobPageCount = Discard ? 0 : FPageCount;
  FPageCount = 0;
  FNewPagePending = false;
  FPageFresh = true;
  const QString jobFile = std::exchange(FJobFileName, QString());
  if (Discard || !ended) {
    QFile::remove(jobFile);
    if (Discard) return;
    FLastJobPageCount = 0;
    throw EEmulatorError(QStringLiteral("The print job on %1 could not be finished.").arg(JobTarget()).toStdString());
  }
  try {
    DeliverJob(jobFile);
  } catch (...) {
    FLastJobPageCount = 0;
    throw;
  }
}

void TTTYPrinter::DeliverJob(const QString& JobFile) {
  if (!FOutputFileName.isEmpty()) {
    // The finished PDF file is like any new file of the user's: the job file was
    // private only while it was written. A failure leaves it private.
    ::chmod(QFile::encodeName(JobFile).constData(), NewFilePermissions());
    if (std::rename(QFile::encodeName(JobFile).constData(), QFile::encodeName(FOutputFileName).constData()) == 0)
      return;
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    QFile::remove(JobFile);
    throw EEmulatorError(
        QStringLiteral("Cannot write the print file \"%1\": %2").arg(FOutputFileName, reason).toStdString());
  }
  // The paper and orientation as the job was drawn, as Qt's own print engine
  // names them, then what the user chose in the printer-setup dialog.
  const QPageLayout layout = FPrinter->pageLayout();
  TPrintJobOptions options{{"media", layout.pageSize().key().toStdString()}};
  if (layout.orientation() == QPageLayout::Landscape) options.push_back({"landscape", ""});
  options.insert(options.end(), FJobOptions.begin(), FJobOptions.end());
  try {
    SubmitPrintJob(FHostPrinterFound.toStdString(), QFile::encodeName(JobFile).toStdString(), FJobName.toStdString(),
                   options);
  } catch (...) {
    QFile::remove(JobFile);
    throw;
  }
  QFile::remove(JobFile);
}

void TTTYPrinter::EjectJob() { CloseJob(false); }

void TTTYPrinter::AbortJob() { CloseJob(true); }

void TTTYPrinter::StartPage() {
  if (!PrinterAvailable()) return;
  NewPage();
  FPageFresh = true;
  FPositionSet = true;
  ComputeMetrics();
  FX = FLeftEdge;
  FY = FTopEdge;
}

void TTTYPrinter::NewPage() {
  if (FPageFresh) return;
  FNewPagePending = true;
  FPageFresh = true;
}

void TTTYPrinter::StartPendingPage() {
  if (!FNewPagePending) return;
  FlushGlyphs();
  if (!FPrinter->newPage()) {
    const QString target = JobTarget();
    CloseJob(true);
    throw EEmulatorError(QStringLiteral("%1 did not accept a new page; the print job has been discarded.")
                             .arg(target.left(1).toUpper() + target.mid(1))
                             .toStdString());
  }
  FNewPagePending = false;
  ++FPageCount;
}

void TTTYPrinter::LineFeed() {
  // The next line must fit above the bottom limit as a whole.
  if (FY + FLineHeight + FTextHeight <= FBottomLimit) {
    FY += FLineHeight;
  } else {
    FY = FTopEdge;
    NewPage();
  }
}

void TTTYPrinter::PrintChar(uint8_t Value) {
  if (!PrinterAvailable()) return;
  if (!FPainter && !FPositionSet) StartPage();
  switch (Value) {
    case CR:
      FX = FLeftEdge;
      break;
    case BS:
      FX = std::max(FX - FCharacterWidth, FLeftEdge);
      break;
    case TAB: {
      const int step = FTabSpacing * FCharacterWidth;
      int offset = (FX - FLeftEdge) % step;
      if (offset < 0) offset += step;  // a left margin widened in mid-line
      const int stop = FX + step - offset;
      if (stop <= FRightLimit) {
        FX = stop;
      } else if (FAutoLineWrap) {
        LineFeed();
        FX = FLeftEdge;
        FPageFresh = false;
      } else {
        FX = FRightLimit;
      }
      break;
    }
    case LF:
      LineFeed();
      break;
    case FF:
      if (FIgnoreFormFeed) break;
      NewPage();
      FY = FTopEdge;
      FX = FLeftEdge;
      break;
    case CtrlZ:
      if (FEjectOnCtrlZ) EjectJob();
      break;
    default:
      if (!IsPrintable(Value)) break;
      if (FX + FCharacterWidth > FRightLimit) {
        if (!FAutoLineWrap) break;
        LineFeed();
        FX = FLeftEdge;
      }
      DrawChar(Value);
      FX += FCharacterWidth;
      FPageFresh = false;
      break;
  }
}

// ---------------------------------------------------------------- drawing

void TTTYPrinter::LoadGlyphs() {
  FRawFont = QRawFont::fromFont(QFont(FFont, FPrinter.get()));
  FGlyphs.fill(0);
  // A glyph run would underline or strike out across its whole extent, over
  // several lines: a font with such effects is drawn character by character.
  if (!FRawFont.isValid() || FFont.underline() || FFont.strikeOut() || FFont.overline()) return;
  for (int value = 32; value < 256; ++value) {
    if (!IsPrintable(static_cast<uint8_t>(value))) continue;
    const QChar character(static_cast<char16_t>(value));  // bytes 160..254 are Latin-1
    if (!FRawFont.supportsCharacter(character)) continue;
    const QList<quint32> indexes = FRawFont.glyphIndexesForString(QString(character));
    if (indexes.size() == 1) FGlyphs[static_cast<size_t>(value)] = indexes.front();
  }
}

void TTTYPrinter::DrawChar(uint8_t Value) {
  if (!FPainter) {
    try {
      BeginJob();
    } catch (...) {
      FPositionSet = false;  // the next try starts on a fresh page
      throw;
    }
  }
  StartPendingPage();
  const QPointF baseline(FX, FY + FAscent);
  const quint32 glyph = FGlyphs[Value];
  if (glyph == 0) {
    FlushGlyphs();  // keeps the order in which overstruck characters are drawn
    FPainter->drawText(baseline, QString(QChar(static_cast<char16_t>(Value))));
    return;
  }
  FRunGlyphs.append(glyph);
  FRunPositions.append(baseline);
  if (FRunGlyphs.size() >= MaxRunLength) FlushGlyphs();
}

void TTTYPrinter::FlushGlyphs() {
  if (FRunGlyphs.isEmpty()) return;
  QGlyphRun run;
  run.setRawFont(FRawFont);
  run.setGlyphIndexes(FRunGlyphs);
  run.setPositions(FRunPositions);
  FPainter->drawGlyphRun(QPointF(0, 0), run);
  FRunGlyphs.clear();
  FRunPositions.clear();
}
