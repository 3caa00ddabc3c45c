// The disk manager in its window, on the offscreen platform:
//  - opening a full disk (all 256 directory entries used) until its lines are
//    on the page and painted, and "Refresh Display" on it;
//  - switching between the disks of a 128-disk pack by its list, each disk
//    with 64 files, until the new lines are painted;
//  - importing 1 MiB of host files (16 files of 64 KiB, eight onto each of two
//    disks, since one disk holds 1008 KiB) through "Import Binary", and 960 KiB
//    onto one disk in one import; and 960 KiB of text with LF line ends onto
//    one disk through "Import Text", which gives each line its CR.
// Each figure is the median and the worst of its runs, in milliseconds.
//   ui_diskmanager_bench [runs]   (default 20)
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTabWidget>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CpmDiskDrive.h"
#include "DiskManagerPage.h"
#include "DiskPack.h"
#include "DiskStream.h"
#include "frmKorvel.h"

namespace {

// The dialogs answer from a queue; messages go to the console.
class TBenchDialogs final : public IMainDialogs {
 public:
  std::deque<std::string> Files;
  std::deque<std::vector<std::string>> FileSets;
  int Messages = 0;

  std::optional<std::string> OpenFileName(QWidget*, const TMainFileRequest&) override {
    if (Files.empty()) return std::nullopt;
    std::string File = Files.front();
    Files.pop_front();
    return File;
  }
  std::optional<std::string> SaveFileName(QWidget*, const TMainFileRequest&) override { return std::nullopt; }
  std::optional<QFont> ChooseFont(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<std::string> InputText(QWidget*, const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  void ShowMessage(QWidget*, TMachineMessageKind, const std::string& Text) override {
    ++Messages;
    std::fprintf(stderr, "message: %s\n", Text.c_str());
  }
  std::optional<std::vector<std::string>> OpenFileNames(QWidget*, const TMainFileRequest&) override {
    if (FileSets.empty()) return std::nullopt;
    std::vector<std::string> Set = FileSets.front();
    FileSets.pop_front();
    return Set;
  }
};

struct TFigure {
  std::vector<double> Ms;
  void Add(const QElapsedTimer& Clock) { Ms.push_back(static_cast<double>(Clock.nsecsElapsed()) / 1e6); }
  double Median() const {
    std::vector<double> Sorted = Ms;
    std::sort(Sorted.begin(), Sorted.end());
    return Sorted[Sorted.size() / 2];
  }
  double Worst() const { return *std::max_element(Ms.begin(), Ms.end()); }
};

void Report(const char* What, const TFigure& Figure, double Limit) {
  std::printf("%-58s median %7.2f ms  worst %7.2f ms  (%zu runs, limit %.0f ms)\n", What, Figure.Median(),
              Figure.Worst(), Figure.Ms.size(), Limit);
}

// Everything posted and due, painting included.
void Paint() {
  QApplication::sendPostedEvents();
  QApplication::processEvents();
}

// Prefix followed by the number, then Suffix.
std::string Numbered(const char* Prefix, int Number, const char* Suffix = "") {
  return std::string(Prefix).append(std::to_string(Number)).append(Suffix);
}

void Import(const std::filesystem::path& Disk, int DiskIndex, const std::string& Name, size_t Size, uint8_t Seed) {
  TCpmDiskDrive Drive(Disk, DiskIndex);
  TMemoryStream In(std::vector<uint8_t>(Size, Seed));
  int Index = -1;
  Drive.ImportFile(Name, In, static_cast<int64_t>(Size), Index, Seed % 16, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int Runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
  std::string Pattern = (std::filesystem::temp_directory_path() / "korvel-dmbench-XXXXXX").string();
  if (::mkdtemp(Pattern.data()) == nullptr) return 1;
  const std::filesystem::path Folder = Pattern;
  ::setenv("PUBLIC", Folder.c_str(), 1);
  QApplication Application(argc, argv);
  int Failures = 0;
  {
    TBenchDialogs Dialogs;
    TMainOrvanta Window(&Dialogs, "dmbench");
    Window.show();
    Window.ShowPage(TMainOrvanta::DiskManagerPageIndex);
    for (int Round = 0; Round < 10; ++Round) Paint();
    TDiskManagerPage& Page = *Window.DiskManager;

    // A full directory: 256 files, 254 of one block and 2 empty.
    const std::filesystem::path Full = Folder / "full.cpmdsk";
    TDiskDrive::FormatDriveFile(Full);
    for (int File = 0; File < 256; ++File)
      Import(Full, -1, Numbered("F", File, ".DAT"), File < 254 ? 1500 : 0, static_cast<uint8_t>(File));
    TFigure OpenFull;
    for (int Run = 0; Run < Runs; ++Run) {
      Window.DM_EjectDiskAct->trigger();
      Paint();
      QElapsedTimer Clock;
      Clock.start();
      Dialogs.Files.push_back(Full.string());
      Window.DM_SelectDiskFileAct->trigger();
      Paint();
      OpenFull.Add(Clock);
      if (Page.DiskFileList->count() != 256) ++Failures;
    }
    TFigure RefreshFull;
    for (int Run = 0; Run < Runs; ++Run) {
      Page.DiskFileList->setCurrentRow(Run * 7 % 256);
      QElapsedTimer Clock;
      Clock.start();
      Window.DM_RefreshDisplayAct->trigger();
      Paint();
      RefreshFull.Add(Clock);
    }

    // A pack of 128 disks, 64 files on each.
    const std::filesystem::path Pack = Folder / "big.cdp";
    TDiskPack::CreatePackFile(Pack, 128);
    for (int Disk = 0; Disk < 128; ++Disk)
      for (int File = 0; File < 64; ++File)
        Import(Pack, Disk, Numbered("D", Disk).append(Numbered("F", File)), 700, static_cast<uint8_t>(File));
    Dialogs.Files.push_back(Pack.string());
    Window.DM_SelectDiskFileAct->trigger();
    Paint();
    TFigure Switch;
    for (int Run = 0; Run < std::max(Runs, 128); ++Run) {
      const int Disk = (Run * 37 + 1) % 128;
      QElapsedTimer Clock;
      Clock.start();
      Page.DiskManagerDiskPackNames->setCurrentRow(Disk);
      Paint();
      Switch.Add(Clock);
      if (Window.DiskManagerPackIndex != Disk || Page.DiskFileList->count() != 64) ++Failures;
    }

    // 1 MiB of host files.
    std::vector<std::string> Host;
    for (int File = 0; File < 16; ++File) {
      const std::filesystem::path Path = Folder / Numbered("host", File, ".bin");
      std::ofstream(Path, std::ios::binary) << std::string(65536, static_cast<char>('a' + File));
      Host.push_back(Path.string());
    }
    // 960 KiB of host text, lines of 63 characters and an LF: 1,024 CRs more
    // per file on the disk.
    std::string Lines;
    while (Lines.size() < 65536) Lines += std::string(63, 'x') + "\n";
    std::vector<std::string> Texts;
    for (int File = 0; File < 15; ++File) {
      const std::filesystem::path Path = Folder / Numbered("text", File, ".txt");
      std::ofstream(Path, std::ios::binary) << Lines;
      Texts.push_back(Path.string());
    }
    TFigure OneMiB;
    TFigure OneDisk;
    TFigure OneDiskText;
    for (int Run = 0; Run < std::max(3, Runs / 4); ++Run) {
      const std::filesystem::path First = Folder / "first.cpmdsk";
      const std::filesystem::path Second = Folder / "second.cpmdsk";
      TDiskDrive::FormatDriveFile(First);
      TDiskDrive::FormatDriveFile(Second);
      Dialogs.Files.push_back(First.string());
      Window.DM_SelectDiskFileAct->trigger();
      Paint();
      QElapsedTimer Clock;
      Clock.start();
      Dialogs.FileSets.push_back(std::vector<std::string>(Host.begin(), Host.begin() + 8));
      Window.DM_ImportBinaryFileAct->trigger();
      Dialogs.Files.push_back(Second.string());
      Window.DM_SelectDiskFileAct->trigger();
      Dialogs.FileSets.push_back(std::vector<std::string>(Host.begin() + 8, Host.end()));
      Window.DM_ImportBinaryFileAct->trigger();
      Paint();
      OneMiB.Add(Clock);
      if (Page.DiskFileList->count() != 8 || TCpmDiskDrive(First).FileList().Count() != 8) ++Failures;

      // Files onto the first disk, blank again, in one import.
      const auto ImportOntoBlankDisk = [&](QAction* Import, const std::vector<std::string>& Files, TFigure& Figure) {
        TDiskDrive::FormatDriveFile(First);
        Dialogs.Files.push_back(First.string());
        Window.DM_SelectDiskFileAct->trigger();
        Paint();
        QElapsedTimer Single;
        Single.start();
        Dialogs.FileSets.push_back(Files);
        Import->trigger();
        Paint();
        Figure.Add(Single);
        if (Page.DiskFileList->count() != static_cast<int>(Files.size())) ++Failures;
      };
      ImportOntoBlankDisk(Window.DM_ImportBinaryFileAct, std::vector<std::string>(Host.begin(), Host.begin() + 15),
                          OneDisk);
      ImportOntoBlankDisk(Window.DM_ImportTextFileAct, Texts, OneDiskText);
      if (TCpmDiskDrive(First).FileList().GetItem(0)->Records != 520) ++Failures;
    }

    std::printf("Disk manager, offscreen (%d runs)\n", Runs);
    Report("open a full disk (256 entries), lines painted", OpenFull, 50);
    Report("Refresh Display on the full disk", RefreshFull, 50);
    Report("switch disks in a 128-disk pack (64 files each)", Switch, 50);
    Report("import 1 MiB (16 x 64 KiB, two disks, two imports)", OneMiB, 200);
    Report("import 960 KiB (15 x 64 KiB) onto one disk", OneDisk, 200);
    Report("Import Text 960 KiB of LF text (15 x 64 KiB), one disk", OneDiskText, 200);
    if (Dialogs.Messages > 0 || Failures > 0) {
      std::printf("%d messages, %d wrong results\n", Dialogs.Messages, Failures);
      Failures += Dialogs.Messages;
    }
    Window.close();
  }
  std::error_code Ignored;
  std::filesystem::remove_all(Folder, Ignored);
  return Failures == 0 ? 0 : 1;
}
