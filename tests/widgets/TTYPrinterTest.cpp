// The list device as a user sees its paper: each job is printed into a PDF file
// and read back with poppler's pdftotext (positions in points) and pdfinfo.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string_view>
#include <vector>

#include "EmulatorError.h"
#include "Fixtures.h"
#include "TTYPrinter.h"
#include "TempFolder.h"
#include "WidgetTestSupport.h"

// Texts in failure messages as text, not as UTF-16 code units.
inline void PrintTo(const QString& Text, std::ostream* Stream) { *Stream << '"' << Text.toStdString() << '"'; }

namespace {

using korvel_test::TTempFolder;

struct TWord {
  double XMin, YMin, XMax, YMax;
  QString Text;
};

// The words of one printed line, left to right.
struct TLine {
  double YMin, YMax;
  QString Text;  // the words joined by single blanks
  std::vector<TWord> Words;
  double XMin() const { return Words.front().XMin; }
};

struct TPage {
  double Width, Height;
  std::vector<TLine> Lines;  // top to bottom
};

bool HavePoppler() {
  return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty() &&
         !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty();
}

#define REQUIRE_POPPLER()                                                                  \
  if (!HavePoppler())                                                                      \
  GTEST_SKIP() << "pdftotext and pdfinfo (Debian's poppler-utils) are needed to read back " \
                  "the printed PDF"

QString RunTool(const QString& Program, const QStringList& Arguments) {
  QProcess process;
  process.start(Program, Arguments);
  process.waitForFinished(60000);
  return QString::fromUtf8(process.readAllStandardOutput());
}

int PdfPageCount(const std::string& Path) {
  const auto match = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)"))
                         .match(RunTool(QStringLiteral("pdfinfo"), {QString::fromStdString(Path)}));
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Every page with its words grouped into lines (words whose tops agree).
std::vector<TPage> ReadPages(const std::string& Path) {
  const QString xml = RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), QString::fromStdString(Path), "-"});
  static const QRegularExpression pageOrWord(QStringLiteral(
      "<page width=\"([\\d.]+)\" height=\"([\\d.]+)\"|<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" "
      "yMax=\"([\\d.]+)\">([^<]*)</word>"));
  std::vector<TPage> pages;
  std::vector<std::vector<TWord>> words;
  for (auto it = pageOrWord.globalMatch(xml); it.hasNext();) {
    const auto m = it.next();
    if (!m.captured(1).isEmpty()) {
      pages.push_back({m.captured(1).toDouble(), m.captured(2).toDouble(), {}});
      words.emplace_back();
    } else if (!words.empty()) {
      words.back().push_back({m.captured(3).toDouble(), m.captured(4).toDouble(), m.captured(5).toDouble(),
                              m.captured(6).toDouble(), m.captured(7).replace("&amp;", "&")});
    }
  }
  for (size_t p = 0; p < pages.size(); ++p) {
    auto& list = words[p];
    std::sort(list.begin(), list.end(), [](const TWord& A, const TWord& B) {
      return std::abs(A.YMin - B.YMin) > 0.5 ? A.YMin < B.YMin : A.XMin < B.XMin;
    });
    for (const TWord& word : list) {
      auto& lines = pages[p].Lines;
      if (!lines.empty() && std::abs(lines.back().YMin - word.YMin) <= 0.5)
        lines.back().Text += " " + word.Text;
      else
        lines.push_back({word.YMin, word.YMax, word.Text, {}});
      lines.back().Words.push_back(word);
    }
  }
  return pages;
}

QStringList Texts(const TPage& Page) {
  QStringList texts;
  for (const TLine& line : Page.Lines) texts << line.Text;
  return texts;
}

void Feed(TTTYPrinter& Printer, std::string_view Bytes) {
  for (char byte : Bytes) Printer.PrintChar(static_cast<uint8_t>(byte));
}

// Printer pixels in points, the unit of pdftotext's positions.
double Points(const TTTYPrinter& Printer, int Pixels) { return Pixels * 72.0 / Printer.GetDpi(); }

TEST(TTYPrinter, LaysOutLinesAtTheMarginsWithTabStopsAndLineSpacing) {
  REQUIRE_POPPLER();
  TTempFolder folder;
  const std::string path = folder.File("text.pdf");
  TTTYPrinter printer;
  printer.SetOutputFileName(QString::fromStdString(path));
  printer.SetLeftMargin(1.0);
  printer.SetTopMargin(0.5);
  Feed(printer, "FIRST LINE\r\nSECOND\r\n\tA\r\nABC\tB\r\nABCDEFGH\tC\r\nX\x7f\xffY\x01Z\r\ncaf\xe9 \xa9\r\n");
  Feed(printer, "OVER\rSTRIKE\r\n\r\nSHORT\x08\x08\x08\x08\x08\x08\x08\x08LONGER");
  EXPECT_TRUE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 1);
  printer.EjectJob();
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 0);

  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  const auto& lines = pages[0].Lines;
  // Bytes 127, 255 and 1 print nothing; 0xE9 and 0xA9 are Latin-1.
  ASSERT_EQ(lines.size(), 9u) << Texts(pages[0]).join('|').toStdString();
  EXPECT_EQ(Texts(pages[0]).mid(0, 7),
            QStringList({"FIRST LINE", "SECOND", "A", "ABC B", "ABCDEFGH C", "XYZ", QString::fromUtf8("café ©")}));

  const double left = 72.0, top = 36.0, cell = Points(printer, printer.GetCharacterWidth());
  EXPECT_NEAR(lines[0].XMin(), left, 0.3);
  EXPECT_NEAR(lines[0].YMin, top, 0.5);
  EXPECT_NEAR(lines[2].XMin(), left + 8 * cell, 0.3) << "a tab at the left edge moves 8 columns";
  // CR overstrikes; backspaces stop at the left margin.
  for (const size_t overstruck : {7u, 8u}) {
    ASSERT_EQ(lines[overstruck].Words.size(), 2u);
    EXPECT_NEAR(lines[overstruck].Words[0].XMin, left, 0.3);
    EXPECT_NEAR(lines[overstruck].Words[1].XMin, left, 0.3);
  }
  EXPECT_TRUE(lines[7].Text == "OVER STRIKE" || lines[7].Text == "STRIKE OVER");
  EXPECT_TRUE(lines[8].Text == "SHORT LONGER" || lines[8].Text == "LONGER SHORT");
  const double pitch = Points(printer, printer.GetLineHeight());
  for (size_t i = 1; i < lines.size(); ++i) {
    const double expectedGap = i == 8 ? 2 * pitch : pitch;  // one empty line before the last
    EXPECT_NEAR(lines[i].YMin - lines[i - 1].YMin, expectedGap, 0.2) << "line " << i;
  }

  // The same text with double line spacing and tab stops every 4 columns.
  const std::string spaced = folder.File("spaced.pdf");
  printer.SetOutputFileName(QString::fromStdString(spaced));
  printer.SetLineSpacing(2.0);
  printer.SetTabSpacing(4);
  Feed(printer, "ONE\r\nTWO\tT\r\nABCDE\tF\x1a");
  const auto spacedPages = ReadPages(spaced);
  ASSERT_EQ(spacedPages.size(), 1u);
  const auto& spacedLines = spacedPages[0].Lines;
  ASSERT_EQ(spacedLines.size(), 3u);
  const double widePitch = spacedLines[1].YMin - spacedLines[0].YMin;
  EXPECT_NEAR(widePitch, Points(printer, printer.GetLineHeight()), 0.2);
  EXPECT_GT(widePitch, pitch * 1.7);
  EXPECT_NEAR(spacedLines[2].YMin - spacedLines[1].YMin, widePitch, 0.2);

  // The second words show the tab stops.
  EXPECT_NEAR(lines[3].Words.at(1).XMin, left + 8 * cell, 0.3) << "ABC then a tab: column 8";
  EXPECT_NEAR(lines[4].Words.at(1).XMin, left + 16 * cell, 0.3) << "a tab right at a stop moves a whole step";
  EXPECT_NEAR(spacedLines[1].Words.at(1).XMin, left + 4 * cell, 0.3) << "TabSpacing 4";
  EXPECT_NEAR(spacedLines[2].Words.at(1).XMin, left + 8 * cell, 0.3) << "TabSpacing 4, from column 5";

  // A picture of the first page for a reviewer.
  const QString prefix = QString::fromStdString(folder.File("page"));
  RunTool("pdftoppm", {"-png", "-r", "50", "-singlefile", "-f", "1", "-l", "1", QString::fromStdString(path), prefix});
  const QImage image(prefix + ".png");
  if (!image.isNull()) korvel_test::SaveScreenshot(image, "tty_printer_page");
}

TEST(TTYPrinter, WrapsLongLinesOrCutsThemAtTheRightMargin) {
  REQUIRE_POPPLER();
  TTempFolder folder;
  std::string longLine;
  for (int i = 0; i < 20; ++i) longLine += "0123456789";
  const std::string text = longLine + "\r\nEND\r\n" + std::string(30, '\t') + "Z\r\nLAST";
  for (const bool wrap : {true, false}) {
    SCOPED_TRACE(wrap ? "wrap" : "cut");
    const std::string path = folder.File(wrap ? "wrap.pdf" : "cut.pdf");
    TTTYPrinter printer;
    printer.SetOutputFileName(QString::fromStdString(path));
    printer.SetRightMargin(1.5);
    printer.SetAutoLineWrap(wrap);
    Feed(printer, text);
    const int columns = (printer.GetRightLimit() - printer.GetLeftEdge()) / printer.GetCharacterWidth();
    const double rightLimit = Points(printer, printer.GetRightLimit());
    ASSERT_LT(columns, 100);
    printer.EjectJob();

    const auto pages = ReadPages(path);
    ASSERT_EQ(pages.size(), 1u);
    QStringList expected;
    if (wrap) {
      for (size_t from = 0; from < longLine.size(); from += static_cast<size_t>(columns))
        expected << QString::fromStdString(longLine.substr(from, static_cast<size_t>(columns)));
      expected << "END" << "Z" << "LAST";  // the tab past the margin starts a line
    } else {
      expected << QString::fromStdString(longLine.substr(0, static_cast<size_t>(columns))) << "END" << "LAST";
    }
    EXPECT_EQ(Texts(pages[0]), expected) << Texts(pages[0]).join('|').toStdString();
    for (const TLine& line : pages[0].Lines) EXPECT_NEAR(line.XMin(), 18.0, 0.3) << line.Text.toStdString();
    EXPECT_EQ(pages[0].Lines[0].Text.size(), columns);
    EXPECT_LE(pages[0].Lines[0].Words.back().XMax, rightLimit + 0.01) << "nothing passes the right margin";
    EXPECT_NEAR(rightLimit, pages[0].Width - 108.0, 0.1);
  }
}

TEST(TTYPrinter, BreaksPagesAtTheBottomMarginAndOnFormFeedsAndCountsThem) {
  REQUIRE_POPPLER();
  TTempFolder folder;
  const std::string path = folder.File("long.pdf");
  TTTYPrinter printer;
  printer.SetOutputFileName(QString::fromStdString(path));
  printer.SetBottomMargin(1.0);
  const int perPage = printer.LinesPerPage();
  ASSERT_GT(perPage, 10);
  const int expectedPages = (100 + perPage - 1) / perPage;
  for (int line = 1; line <= 100; ++line) {
    Feed(printer, QStringLiteral("LINE %1\r\n").arg(line, 3, 10, QLatin1Char('0')).toStdString());
    if (line == perPage || line == perPage + 1) {
      EXPECT_EQ(printer.PageCount(), line == perPage ? 1 : 2);
    }
  }
  EXPECT_EQ(printer.PageCount(), expectedPages) << "while printing";
  printer.EjectJob();
  EXPECT_EQ(printer.LastJobPageCount(), expectedPages);
  EXPECT_EQ(PdfPageCount(path), expectedPages);
  const auto pages = ReadPages(path);
  ASSERT_EQ(static_cast<int>(pages.size()), expectedPages);
  ASSERT_EQ(static_cast<int>(pages[0].Lines.size()), perPage);
  EXPECT_EQ(pages[0].Lines.back().Text, QStringLiteral("LINE %1").arg(perPage, 3, 10, QLatin1Char('0')));
  EXPECT_LE(pages[0].Lines.back().YMax, pages[0].Height - 72.0) << "the last line stays above the bottom margin";
  EXPECT_EQ(pages[1].Lines.front().Text, QStringLiteral("LINE %1").arg(perPage + 1, 3, 10, QLatin1Char('0')));
  EXPECT_NEAR(pages[1].Lines.front().YMin, 18.0, 0.5);
  EXPECT_EQ(pages.back().Lines.back().Text, "LINE 100");

  // A form feed starts a page, but not on a fresh one; a trailing one leaves no
  // blank sheet. Ignored, it does nothing at all.
  const std::string feeds = folder.File("feeds.pdf");
  printer.SetOutputFileName(QString::fromStdString(feeds));
  Feed(printer, "\fA\fB\f\fC\r\n\f");
  EXPECT_EQ(printer.PageCount(), 3);
  printer.EjectJob();
  EXPECT_EQ(PdfPageCount(feeds), 3);
  EXPECT_EQ(printer.LastJobPageCount(), 3);
  const auto feedPages = ReadPages(feeds);
  ASSERT_EQ(feedPages.size(), 3u);
  EXPECT_EQ(Texts(feedPages[0]) + Texts(feedPages[1]) + Texts(feedPages[2]), QStringList({"A", "B", "C"}));
  EXPECT_NEAR(feedPages[1].Lines[0].XMin(), 18.0, 0.3);
  EXPECT_NEAR(feedPages[1].Lines[0].YMin, 18.0, 0.5);

  const std::string ignored = folder.File("ignored.pdf");
  printer.SetOutputFileName(QString::fromStdString(ignored));
  printer.SetIgnoreFormFeed(true);
  Feed(printer, "A\fB\x1a");
  EXPECT_EQ(PdfPageCount(ignored), 1);
  ASSERT_EQ(ReadPages(ignored).size(), 1u);
  EXPECT_EQ(Texts(ReadPages(ignored)[0]), QStringList({"AB"}));
}

TEST(TTYPrinter, CtrlZEjectsAbortDiscardsAndTheNextCharacterOpensTheNextJob) {
  REQUIRE_POPPLER();
  TTempFolder folder;
  const std::string path = folder.File("jobs.pdf");
  const auto firstLines = [&path] {
    const auto pages = ReadPages(path);
    return pages.empty() ? QStringList() : Texts(pages[0]);
  };
  TTTYPrinter printer;
  printer.SetOutputFileName(QString::fromStdString(path));
  Feed(printer, "ONE\x1a");
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(firstLines(), QStringList({"ONE"}));

  // Bytes that print nothing open no job: a lone ^Z, line ends and form feeds
  // leave the last printout as it was.
  const auto first = korvel_test::ReadFile(path);
  Feed(printer, "\x1a\r\n\f\x1a\x1a");
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(korvel_test::ReadFile(path), first);
  EXPECT_EQ(printer.LastJobPageCount(), 1);

  Feed(printer, "TWO");
  EXPECT_TRUE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 1);
  printer.AbortJob();
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 0);
  EXPECT_EQ(printer.LastJobPageCount(), 0);
  EXPECT_EQ(firstLines(), QStringList({"ONE"})) << "the aborted job leaves the earlier file alone";

  printer.SetEjectOnCtrlZ(false);
  Feed(printer, "THREE\x1a" "FOUR");
  EXPECT_TRUE(printer.IsPrinting());
  printer.EjectJob();
  EXPECT_EQ(firstLines(), QStringList({"THREEFOUR"}));

  // Aborted before any file existed: none is left, nor any temporary one.
  const std::string fresh = folder.File("aborted.pdf");
  printer.SetOutputFileName(QString::fromStdString(fresh));
  Feed(printer, "LOST\fLOST");
  printer.AbortJob();
  EXPECT_FALSE(std::filesystem::exists(fresh));
  const QStringList left = QDir(QString::fromStdString(folder.Path().string())).entryList(QDir::Files);
  EXPECT_EQ(left, QStringList({"jobs.pdf"}));

  // Destroying the printer ejects the running job.
  {
    TTTYPrinter last;
    last.SetOutputFileName(QString::fromStdString(fresh));
    Feed(last, "KEPT");
  }
  EXPECT_EQ(PdfPageCount(fresh), 1);
}

TEST(TTYPrinter, FailuresLeaveThePrinterOffAndSettingsStayInRange) {
  REQUIRE_POPPLER();
  TTempFolder folder;
  TTTYPrinter printer;
  printer.SetPrinterName("korvel-no-such-printer");
  EXPECT_FALSE(printer.PrinterAvailable());
  Feed(printer, "LOST\r\n");
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 0);
  printer.EjectJob();
  printer.AbortJob();

  // A PDF in a folder that does not exist: reported, and the printer stays off.
  const std::string missing = (folder / "missing" / "out.pdf").string();
  printer.SetOutputFileName(QString::fromStdString(missing));
  EXPECT_TRUE(printer.PrinterAvailable());
  try {
    printer.PrintChar('A');
    ADD_FAILURE() << "no error for an unwritable file";
  } catch (const EEmulatorError& Error) {
    EXPECT_NE(std::string(Error.what()).find(missing), std::string::npos) << Error.what();
  }
  EXPECT_FALSE(printer.IsPrinting());
  EXPECT_EQ(printer.PageCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));

  // Out-of-range settings are clamped; a value that is not a number is ignored.
  printer.SetTopMargin(0.1);
  printer.SetBottomMargin(3.0);
  printer.SetLeftMargin(std::nan(""));
  printer.SetRightMargin(2.5);
  printer.SetLineSpacing(0.5);
  printer.SetTabSpacing(0);
  EXPECT_EQ(printer.GetTopMargin(), 0.25);
  EXPECT_EQ(printer.GetBottomMargin(), 2.5);
  EXPECT_EQ(printer.GetLeftMargin(), 0.25);
  EXPECT_EQ(printer.GetRightMargin(), 2.5);
  EXPECT_EQ(printer.GetLineSpacing(), 1.0);
  EXPECT_EQ(printer.GetTabSpacing(), 1);
  printer.SetLineSpacing(9.0);
  printer.SetTabSpacing(40);
  EXPECT_EQ(printer.GetLineSpacing(), 3.0);
  EXPECT_EQ(printer.GetTabSpacing(), 16);

  // Fonts that measure no width (or less): every step is still a pixel, so tabs
  // and wrapping end, and the job is printed.
  QFont tiny = printer.GetFont();
  tiny.setPointSizeF(0.01);
  QFont squeezed = printer.GetFont();
  squeezed.setLetterSpacing(QFont::AbsoluteSpacing, -200);
  for (const QFont& font : {tiny, squeezed}) {
    const std::string path = folder.File("odd.pdf");
    printer.SetOutputFileName(QString::fromStdString(path));
    printer.SetFont(font);
    EXPECT_EQ(printer.GetCharacterWidth(), 1);
    std::string text = "\tA\t\tB\r\n";
    for (int i = 0; i < 20000; ++i) text += i % 80 == 79 ? '\t' : 'W';
    Feed(printer, text);
    EXPECT_TRUE(printer.IsPrinting());
    printer.EjectJob();
    EXPECT_EQ(PdfPageCount(path), 1);
  }
}

}  // namespace
