// The machine in its window, on the offscreen platform:
//  - cold start: from creating the main window to its CRT page on screen (the
//    first window of the process, and the best of the windows after it);
//  - "Boot CPM System" to the CCP's prompt on the CRT page, best and median;
//  - ZEXDOC under CP/M, typed at the prompt and run by the window's own run
//    loop while the window paints: millions of instructions per second, to set
//    beside machine_bench's figure for the same count without a window;
//  - the same run with the CPU page in front (its register display, listing and
//    memory grid refreshed by the run loop), and with the "Z80 Registers"
//    dialog open as well, taking turns with the CRT page: the speed the CPU
//    page keeps, as a share of the CRT page's.
//   ui_mainwindow_bench [zexdoc-instructions]   (default 2,000,000,000 for each view)
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CpmDiskDrive.h"
#include "DiskStream.h"
#include "Z80RegistersDlg.h"
#include "frmKorvel.h"

namespace {

std::filesystem::path Fixture(const std::string& Relative) { return std::filesystem::path(KORVEL_FIXTURES_DIR) / Relative; }

// Messages go to the console: a benchmark has nobody to click OK.
class TConsoleDialogs final : public IMainDialogs {
 public:
  std::optional<std::string> OpenFileName(QWidget*, const TMainFileRequest&) override { return std::nullopt; }
  std::optional<std::string> SaveFileName(QWidget*, const TMainFileRequest&) override { return std::nullopt; }
  std::optional<QFont> ChooseFont(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<std::string> InputText(QWidget*, const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  void ShowMessage(QWidget*, TMachineMessageKind, const std::string& Text) override {
    std::fprintf(stderr, "message: %s\n", Text.c_str());
  }
};

bool HasPrompt(const std::string& Text) {
  for (size_t At = Text.find('>'); At != std::string::npos; At = Text.find('>', At + 1))
    if (At > 0 && std::toupper(static_cast<unsigned char>(Text[At - 1])) == 'A') return true;
  return false;
}

// Runs the event loop until Done holds (checked after every round of events).
template <class TDone>
bool RunUntil(TDone Done, int LimitMs) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Done()) {
    if (Clock.elapsed() > LimitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  return true;
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

// A window shown and painted on its CRT page; returns milliseconds.
double StartWindow(std::unique_ptr<TMainOrvanta>& Window, TConsoleDialogs& Dialogs) {
  QElapsedTimer Clock;
  Clock.start();
  Window = std::make_unique<TMainOrvanta>(&Dialogs);
  Window->show();
  RunUntil([&] { return Window->windowHandle() != nullptr && Window->windowHandle()->isExposed(); }, 5000);
  QCoreApplication::processEvents();
  if (Window->PageControl1->currentIndex() != TMainOrvanta::CrtPageIndex) std::fprintf(stderr, "not on the CRT page\n");
  return static_cast<double>(Clock.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path Cpm = Fixture("cpm22/cpm22.hex");
  const std::filesystem::path Zexdoc = Fixture("z80tests/zexdoc.com");
  if (!std::filesystem::exists(Cpm) || !std::filesystem::exists(Zexdoc)) {
    std::fprintf(stderr, "ui_mainwindow_bench: the shared fixtures are absent; place ../shared/fixtures beside the checkout\n");
    return 1;
  }
  const uint64_t Limit = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000'000ull;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string Public = (std::filesystem::temp_directory_path() / "korvel-bench-XXXXXX").string();
  if (::mkdtemp(Public.data()) == nullptr) return 1;
  ::setenv("PUBLIC", Public.c_str(), 1);

  int Result = 0;
  {
    QApplication Application(argc, argv);
    TConsoleDialogs Dialogs;
    std::unique_ptr<TMainOrvanta> Window;

    // Cold start.
    const double First = StartWindow(Window, Dialogs);
    std::vector<double> Later;
    for (int Start = 0; Start < 5; ++Start) {
      Window.reset();
      Later.push_back(StartWindow(Window, Dialogs));
    }
    std::printf("cold start to the CRT page: first window %.1f ms, later windows best %.1f ms, median %.1f ms\n", First,
                *std::min_element(Later.begin(), Later.end()), Median(Later));

    // ZEXDOC on drive A, the shared CP/M image in its edit.
    {
      std::ifstream In(Zexdoc, std::ios::binary);
      std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
      TCpmDiskDrive Drive(Window->WorkFolder() + "DiskA.cpmdsk");
      TMemoryStream Stream(Bytes);
      int Index = -1;
      Drive.ImportFile("ZEXDOC.COM", Stream, static_cast<int64_t>(Bytes.size()), Index, 0, 0x1A);
    }
    Window->C_CpmSourceFile->setText(QString::fromStdString(Cpm.string()));
    TMachine& Machine = Window->Machine();

    // "Boot CPM System" to the prompt.
    std::vector<double> Boots;
    for (int Boot = 0; Boot < 21; ++Boot) {
      Window->ClearCrtAct->trigger();
      QElapsedTimer Clock;
      Clock.start();
      Window->ResetCPMAct->trigger();
      if (!RunUntil([&] { return HasPrompt(Machine.CrtScreenText()); }, 10000)) {
        std::fprintf(stderr, "ui_mainwindow_bench: no prompt after the cold boot\n");
        return 1;
      }
      Boots.push_back(static_cast<double>(Clock.nsecsElapsed()) / 1e6);
    }
    std::printf("Boot CPM System to the prompt: best %.2f ms, median %.2f ms, worst %.2f ms (%zu boots)\n",
                *std::min_element(Boots.begin(), Boots.end()), Median(Boots), *std::max_element(Boots.begin(), Boots.end()),
                Boots.size());

    // ZEXDOC through the window's run loop, the window painting its CRT page.
    Machine.TypeCrtKeys("ZEXDOC\r");
    RunUntil([&] { return Machine.CrtScreenText().find("Z80doc") != std::string::npos ||
                          Machine.CrtScreenText().find("zexdoc") != std::string::npos ||
                          Machine.Cpu().InstructionCount > 20'000'000; },
             10000);
    // The three views take turns in slices of the same run, so each sees the
    // same mix of ZEXDOC's tests: the CRT page, the CPU page, and the CPU page
    // with the registers dialog open. Each gets Limit instructions in all.
    struct TView {
      const char* What;
      uint64_t Executed = 0;
      double Seconds = 0;
    };
    TView Views[] = {{"CRT page"}, {"CPU page"}, {"CPU page and registers dialog"}};
    const uint64_t Slice = std::max<uint64_t>(Limit / 10, 1);
    const auto Show = [&](int View) {
      Window->ShowPage(View == 0 ? TMainOrvanta::CrtPageIndex : TMainOrvanta::CpuPageIndex);
      if (View == 2)
        Window->ShowCPUWindowAct->trigger();
      else
        Window->Z80RegistersDlg->hide();
      QCoreApplication::processEvents();
    };
    const auto RunSlice = [&](TView& View) {
      const uint64_t Start = Machine.Cpu().InstructionCount;
      QElapsedTimer Clock;
      Clock.start();
      QEventLoop Loop;
      QTimer Check;
      QObject::connect(&Check, &QTimer::timeout, [&] {
        if (Machine.Cpu().InstructionCount - Start >= Slice || !Machine.GetRunCpu()) Loop.quit();
      });
      Check.start(5);
      Loop.exec();
      View.Seconds += static_cast<double>(Clock.nsecsElapsed()) / 1e9;
      View.Executed += Machine.Cpu().InstructionCount - Start;
    };
    while (Views[0].Executed < Limit && Machine.GetRunCpu())
      for (int View = 0; View < 3; ++View) {
        Show(View);
        RunSlice(Views[View]);
      }
    if (!Machine.GetRunCpu()) {
      std::fprintf(stderr, "ui_mainwindow_bench: the machine stopped\n");
      Result = 1;
    }
    double Mips[3] = {};
    for (int View = 0; View < 3; ++View) {
      Mips[View] = static_cast<double>(Views[View].Executed) / Views[View].Seconds / 1e6;
      std::printf("ZEXDOC under CP/M in the window, %s: %llu instructions in %.3f s, %.1f million instructions per "
                  "second\n",
                  Views[View].What, static_cast<unsigned long long>(Views[View].Executed), Views[View].Seconds,
                  Mips[View]);
    }
    std::printf("the CPU page keeps %.1f%% of the CRT page's speed, %.1f%% with the registers dialog open as well\n",
                100 * Mips[1] / Mips[0], 100 * Mips[2] / Mips[0]);
    Window.reset();
  }
  std::error_code Ignored;
  std::filesystem::current_path(std::filesystem::temp_directory_path(), Ignored);
  std::filesystem::remove_all(Public, Ignored);
  return Result;
}
