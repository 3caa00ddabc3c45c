// Speed of the CRT terminal on the offscreen platform:
// - 10 MiB of mixed VT100 output (text, cursor addressing, scrolling, scroll regions,
//   colours and attributes) written in chunks, the event loop running after each chunk
//   as it does between passes of the machine's run loop, so the terminal drains and
//   repaints at its own pace; the target is under 1 s for the whole 10 MiB;
// - one full repaint of an 80 x 24 screen of coloured text into an image; the target is
//   under 2 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QImage>
#include <string>

#include "AdTerminal.h"
#include "AdVT100Emulator.h"

namespace {

std::string MixedStream(std::size_t Size) {
  std::string S;
  S.reserve(Size + 256);
  int Line = 0;
  while (S.size() < Size) {
    switch (Line % 10) {
      case 0:
        S += "\x1B[" + std::to_string(Line % 24 + 1) + ";1H\x1B[K";
        break;
      case 1:
        S += "\x1B[1;33mWARNING\x1B[0m \x1B[32mok\x1B[m ";
        break;
      case 2:
        S += "\x1B[5;20r\x1B[20;1H\n\x1B[r\x1B[24;1H";
        break;
      case 3:
        S += "\x1B[7;1H\x1B[2L\x1B[3M\x1B[24;1H";
        break;
      case 4:
        S += "\x1B[7m status \x1B[m\t\x1B[4munder\x1B[24m ";
        break;
      case 5:
        S += "\x1B[44;37m blue \x1B[41m red \x1B[m";
        break;
      default:
        break;
    }
    S += "The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ.\r\n";
    ++Line;
  }
  S.resize(Size);
  return S;
}

// The CRT page's terminal, shown at 80 x 24 cells.
struct TCrtTerminal {
  TAdVT100Emulator Emulator;
  TAdTerminal Terminal;

  TCrtTerminal() {
    QFont Font(QStringLiteral("DejaVu Sans Mono"));
    Font.setPixelSize(15);
    Terminal.setFont(Font);
    Terminal.SetEmulator(&Emulator);
    Terminal.SetUseLazyDisplay(false);
    Terminal.SetCursorType(ctUnderline);
    const int Frame = 2 * Terminal.frameWidth();
    Terminal.resize(Terminal.GetCellWidth() * 80 + Frame, Terminal.GetCellHeight() * 24 + Frame);
    Terminal.show();
    Idle(50);
  }
  // Runs the event loop for a while: the last drain and the last frame.
  static void Idle(int Milliseconds) {
    QElapsedTimer Clock;
    Clock.start();
    while (Clock.elapsed() < Milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
};

// Counts the view's paints.
class TPaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

constexpr std::size_t FloodSize = 10u << 20;

// The flood in chunks, the event loop turning once after each: given to WriteString
// whole, or byte by byte through WriteChar as the machine's output port does.
template <bool ByteByByte>
void Flood(benchmark::State& State) {
  const std::string Stream = MixedStream(FloodSize);
  const std::size_t Chunk = static_cast<std::size_t>(State.range(0));
  TCrtTerminal Crt;
  TPaintCounter Counter;
  Crt.Terminal.viewport()->installEventFilter(&Counter);
  for (auto _ : State) {
    for (std::size_t At = 0; At < Stream.size(); At += Chunk) {
      const std::string_view Piece = std::string_view(Stream).substr(At, Chunk);
      if (ByteByByte)
        for (const char Byte : Piece) Crt.Terminal.WriteChar(static_cast<uint8_t>(Byte));
      else
        Crt.Terminal.WriteString(Piece);
      QCoreApplication::processEvents();
    }
    QCoreApplication::sendPostedEvents();
  }
  TCrtTerminal::Idle(30);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Stream.size()));
  State.counters["paints"] = benchmark::Counter(Counter.Paints, benchmark::Counter::kAvgIterations);
}

void FloodOutput(benchmark::State& State) { Flood<false>(State); }
void FloodOutputByteByByte(benchmark::State& State) { Flood<true>(State); }

// One full repaint of a screen of coloured text, reverse video and a double-width line.
void FullRepaint(benchmark::State& State) {
  TCrtTerminal Crt;
  std::string Screen = "\x1B[2J\x1B[H";
  for (int Row = 1; Row <= 24; ++Row) {
    Screen += "\x1B[" + std::to_string(Row) + ";1H";
    if (Row == 3) Screen += "\x1B#6";
    for (int Word = 0; Word < 8; ++Word)
      Screen += "\x1B[" + std::to_string(31 + (Row + Word) % 7) + (Word % 3 == 0 ? ";7m" : "m") + "word" +
                std::to_string(Word) + "\x1B[m ";
    Screen += "\x1B(0lqqk\x1B(B";
  }
  Crt.Terminal.WriteString(Screen);
  TCrtTerminal::Idle(50);
  QImage Image(Crt.Terminal.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
  for (auto _ : State) {
    Crt.Terminal.viewport()->render(&Image);
    benchmark::DoNotOptimize(Image.constBits());
  }
}

}  // namespace

BENCHMARK(FloodOutput)->Arg(256)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(FloodOutputByteByByte)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(FullRepaint)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication Application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
