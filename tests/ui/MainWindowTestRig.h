// The main window in a fresh work folder (PUBLIC points at a temporary folder),
// shown on the offscreen screen, with every dialog answered from a script and
// every message collected instead of shown: no test waits in a modal loop.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <cctype>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AdTerminal.h"
#include "CpmDiskDrive.h"
#include "DiskStream.h"
#include "Fixtures.h"
#include "SimpleTerminal.h"
#include "TempFolder.h"
#include "WidgetTestSupport.h"
#include "frmKorvel.h"

namespace korvel_test {

// Row Row of a TTY control as text, trailing blanks removed.
inline std::string TtyRowText(const TSimpleTerminal& Terminal, int Row) {
  std::string Line;
  for (int Column = 0; Column < Terminal.GetColumns(); ++Column)
    Line += static_cast<char>(Terminal.GetCell(Row, Column).Character);
  while (!Line.empty() && (Line.back() == ' ' || Line.back() == '\0')) Line.pop_back();
  return Line;
}

class TScriptedDialogs final : public IMainDialogs {
 public:
  // Answers of the next dialogs, in order; a dialog without one is cancelled.
  std::deque<std::optional<std::string>> FileAnswers;
  std::deque<std::optional<QFont>> FontAnswers;
  // True: the font dialogs are the program's own, opened like the window's own
  // dialogs below and worked through DialogAnswers; FontAnswers is not used.
  bool UseFontDialogs = false;
  std::deque<std::optional<std::string>> TextAnswers;
  // The window's own dialogs: each is opened (not run), handed to the next of
  // these to be worked through its controls, and cancelled when the answer
  // leaves it open (or when there is no answer).
  std::deque<std::function<void(QDialog& Dialog)>> DialogAnswers;
  // Questions: true takes the first answer. Without an answer, the first.
  std::deque<bool> AskAnswers;
  // What was asked and shown.
  std::vector<TMainFileRequest> FileRequests;
  std::vector<std::string> TextPrompts;
  std::vector<std::pair<TMachineMessageKind, std::string>> Messages;
  std::vector<std::string> DialogTitles;
  std::vector<std::string> Questions;  // text, then "|" and the two answers
  int FixedPitchFontRequests = 0;

  std::optional<std::string> OpenFileName(QWidget*, const TMainFileRequest& Request) override { return File(Request); }
  std::optional<std::string> SaveFileName(QWidget*, const TMainFileRequest& Request) override { return File(Request); }
  std::optional<QFont> ChooseFont(QWidget* Parent, const QFont& Initial) override {
    if (UseFontDialogs) return RunFontDialog(*this, Parent, Initial, false);
    return Next(FontAnswers);
  }
  std::optional<std::string> InputText(QWidget*, const std::string& Title, const std::string& Prompt,
                                       const std::string& Initial) override {
    TextPrompts.push_back(Title + "|" + Prompt + "|" + Initial);
    return Next(TextAnswers);
  }
  void ShowMessage(QWidget*, TMachineMessageKind Kind, const std::string& Text) override {
    Messages.emplace_back(Kind, Text);
  }
  std::optional<QFont> ChooseFixedPitchFont(QWidget* Parent, const QFont& Initial) override {
    ++FixedPitchFontRequests;
    if (UseFontDialogs) return RunFontDialog(*this, Parent, Initial, true);
    return Next(FontAnswers);
  }
  bool ExecDialog(QWidget*, QDialog& Dialog) override {
    DialogTitles.push_back(Dialog.windowTitle().toStdString());
    Dialog.open();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    if (!DialogAnswers.empty()) {
      const std::function<void(QDialog&)> Answer = std::move(DialogAnswers.front());
      DialogAnswers.pop_front();
      Answer(Dialog);
    }
    if (Dialog.isVisible()) Dialog.reject();
    return !Dialog.isVisible() && Dialog.result() == QDialog::Accepted;
  }
  bool Ask(QWidget*, TMachineMessageKind, const std::string& Text, const std::string& AcceptText,
           const std::string& RejectText) override {
    Questions.push_back(Text + "|" + AcceptText + "|" + RejectText);
    if (AskAnswers.empty()) return true;
    const bool Answer = AskAnswers.front();
    AskAnswers.pop_front();
    return Answer;
  }

 private:
  std::optional<std::string> File(const TMainFileRequest& Request) {
    FileRequests.push_back(Request);
    return Next(FileAnswers);
  }
  template <class T>
  static std::optional<T> Next(std::deque<std::optional<T>>& Answers) {
    if (Answers.empty()) return std::nullopt;
    std::optional<T> Answer = std::move(Answers.front());
    Answers.pop_front();
    return Answer;
  }
};

class TMainWindowRig {
  // Declared first: there before the window, gone after it.
  TTempFolder FPublic;
  std::filesystem::path FStartFolder = std::filesystem::current_path();

 public:
  // Show false leaves the window unshown, for hooks to be set before its first activation.
  explicit TMainWindowRig(bool Show = true) {
    ::setenv("PUBLIC", FPublic.Path().c_str(), 1);
    Window = std::make_unique<TMainOrvanta>(&Dialogs);
    if (Show) this->Show();
  }
  ~TMainWindowRig() {
    Window.reset();
    std::error_code Ignored;
    std::filesystem::current_path(FStartFolder, Ignored);
  }
  TMainWindowRig(const TMainWindowRig&) = delete;
  TMainWindowRig& operator=(const TMainWindowRig&) = delete;

  void Show() {
    Window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
    Settle();
  }
  // The program closed (its settings saved) and started again on the same
  // work folder.
  void Restart() {
    EXPECT_TRUE(Window->close());
    Window.reset();
    Window = std::make_unique<TMainOrvanta>(&Dialogs);
    Show();
  }
  std::filesystem::path SettingsFile() const { return WorkFolder() / (Window->ProgramName() + ".config"); }
  static void Settle(int Rounds = 3) {
    for (int Round = 0; Round < Rounds; ++Round) {
      ProcessEvents();
      QTest::qWait(10);
    }
  }

  std::filesystem::path Public() const { return FPublic.Path(); }
  std::filesystem::path WorkFolder() const { return FPublic.Path() / "Documents" / Window->ProgramName(); }
  TMachine& Machine() { return Window->Machine(); }

  // The CCP's prompt, whatever case this CCP writes its drive letter in.
  static bool HasPrompt(const std::string& Text) {
    for (size_t At = Text.find('>'); At != std::string::npos; At = Text.find('>', At + 1))
      if (At > 0 && std::toupper(static_cast<unsigned char>(Text[At - 1])) == 'A') return true;
    return false;
  }
  std::string CrtText() { return Machine().CrtScreenText(); }
  // The TTY control's rows as text, trailing blanks removed, joined by "\n".
  std::string TtyText() {
    std::string Text;
    TSimpleTerminal& Terminal = *Window->SimpleTerminal1;
    for (int Row = 0; Row < Terminal.GetRows(); ++Row) Text += TtyRowText(Terminal, Row) + "\n";
    return Text;
  }
  template <class TCondition>
  bool WaitFor(TCondition Condition, int Milliseconds = 20000) {
    return QTest::qWaitFor(Condition, Milliseconds);
  }

  // The shared CP/M image as the CP/M hex file, chosen through "Set CPM Hex File".
  void ChooseCpmImage() {
    Dialogs.FileAnswers.push_back(Fixture("cpm22/cpm22.hex").string());
    Window->CPMSelectImageNameAct->trigger();
  }
  // A file put onto the disk of drive A through the CP/M file system.
  void PutOnDiskA(const std::string& CpmName, const std::string& Content) {
    TCpmDiskDrive Drive(WorkFolder() / "DiskA.cpmdsk");
    TMemoryStream Stream(std::vector<uint8_t>(Content.begin(), Content.end()));
    int Index = -1;
    Drive.ImportFile(CpmName, Stream, static_cast<int64_t>(Content.size()), Index, 0, 0x1A);
  }
  // Messages shown so far, as text.
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> Texts;
    for (const auto& [Kind, Text] : Dialogs.Messages) Texts.push_back(Text);
    return Texts;
  }

  TScriptedDialogs Dialogs;
  std::unique_ptr<TMainOrvanta> Window;
};

// A click on the box of a check box or radio button (its middle may lie beyond its text).
inline void ClickBox(QAbstractButton* Button) {
  QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(6, Button->height() / 2));
}

// Pixels of Image inside Area whose colour is near Colour.
inline int CountPixels(const QImage& Image, const QRect& Area, QColor Colour) {
  int Count = 0;
  const QRect Inside = Area.intersected(Image.rect());
  for (int Y = Inside.top(); Y <= Inside.bottom(); ++Y)
    for (int X = Inside.left(); X <= Inside.right(); ++X) {
      const QColor Pixel = Image.pixelColor(X, Y);
      if (std::abs(Pixel.red() - Colour.red()) < 40 && std::abs(Pixel.green() - Colour.green()) < 40 &&
          std::abs(Pixel.blue() - Colour.blue()) < 40)
        ++Count;
    }
  return Count;
}

// Saves a PNG of every page of the window, named Prefix-<page caption>.
inline void SaveEveryPage(TMainOrvanta& Window, const std::string& Prefix) {
  const int Current = Window.PageControl1->currentIndex();
  for (int Page = 0; Page < Window.PageControl1->count(); ++Page) {
    Window.PageControl1->setCurrentIndex(Page);
    TMainWindowRig::Settle(2);
    std::string Caption = Window.PageControl1->tabText(Page).toStdString();
    for (char& Character : Caption)
      if (Character == ' ') Character = '-';
    SaveScreenshot(Rendered(Window), Prefix + "-" + Caption);
    if (Window.PageControl1->widget(Page) != Window.PortsPage) continue;
    for (int Inner = 1; Inner < Window.PortsPageControl->count(); ++Inner) {
      Window.PortsPageControl->setCurrentIndex(Inner);
      TMainWindowRig::Settle(2);
      std::string Tab = Window.PortsPageControl->tabText(Inner).toStdString();
      for (char& Character : Tab)
        if (Character == ' ') Character = '-';
      SaveScreenshot(Rendered(Window), Prefix + "-Ports-" + Tab);
    }
    Window.PortsPageControl->setCurrentIndex(0);
  }
  Window.PageControl1->setCurrentIndex(Current);
  TMainWindowRig::Settle(1);
}

}  // namespace korvel_test
