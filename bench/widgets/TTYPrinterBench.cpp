// Speed of the list device: 100 full pages of 80-column text laid out byte by
// byte into a PDF file, from the first byte to the ejected file (target: under
// 2 s).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <string>

#include "TTYPrinter.h"

namespace {

void BM_HundredPagesIntoPdf(benchmark::State& State) {
  QTemporaryDir folder;
  const QString path = QDir(folder.path()).filePath(QStringLiteral("bench.pdf"));
  TTTYPrinter printer;
  printer.SetOutputFileName(path);
  std::string text;
  const int lines = 100 * printer.LinesPerPage();
  for (int line = 0; line < lines; ++line) {
    for (int column = 0; column < 80; ++column) text += static_cast<char>(33 + (line + column) % 94);
    text += "\r\n";
  }
  for (auto _ : State) {
    for (char byte : text) printer.PrintChar(static_cast<uint8_t>(byte));
    printer.EjectJob();
    if (printer.LastJobPageCount() != 100) State.SkipWithError("the job did not fill exactly 100 pages");
  }
  State.counters["pages"] = printer.LastJobPageCount();
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_HundredPagesIntoPdf)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
