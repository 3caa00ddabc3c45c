// The common dialogs and message boxes of the main window. The window asks for a
// file name, a font or a line of text, and shows its messages, only through this
// interface: the program uses the modal Qt dialogs below, and the tests answer
// with a script of their own, so that no test ever waits in a modal loop.
#pragma once

#include <QFont>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "Machine.h"

class QDialog;
class QWidget;

// One file dialog as the window describes it. Filter is written as pairs of
// "description|patterns" joined by "|" (patterns separated by ";"), for example
// "HEX files|*.hex|All Files|*.*".
struct TMainFileRequest {
  std::string Title;
  std::string Filter;
  std::string InitialFolder;
  std::string FileName;          // proposed name; a pattern such as "*.hex" proposes none
  std::string DefaultExtension;  // without the dot
  bool MustExist = true;         // open: the file must exist
  bool OverwritePrompt = false;  // save: ask before replacing a file
};

class IMainDialogs {
 public:
  virtual ~IMainDialogs() = default;
  // The chosen file, or nothing when the user cancels.
  virtual std::optional<std::string> OpenFileName(QWidget* Parent, const TMainFileRequest& Request) = 0;
  virtual std::optional<std::string> SaveFileName(QWidget* Parent, const TMainFileRequest& Request) = 0;
  // The chosen font, or nothing when the user cancels.
  virtual std::optional<QFont> ChooseFont(QWidget* Parent, const QFont& Initial) = 0;
  // A line of text (an input box), or nothing when the user cancels.
  virtual std::optional<std::string> InputText(QWidget* Parent, const std::string& Title, const std::string& Prompt,
                                               const std::string& Initial) = 0;
  // A message box with an OK button.
  virtual void ShowMessage(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text) = 0;

  // What follows has defaults for a user of the window that shows no dialogs at
  // all (a benchmark): they never wait for anybody.

  // The printer's font: fixed-pitch fonts only, with their effects. By default
  // the font dialog above.
  virtual std::optional<QFont> ChooseFixedPitchFont(QWidget* Parent, const QFont& Initial) {
    return ChooseFont(Parent, Initial);
  }
  // A dialog of the window's own (TTY display settings, key map, COM port,
  // printer set-up), run modally; true when it closed with OK. By default it is
  // not shown and counts as cancelled.
  virtual bool ExecDialog(QWidget* Parent, QDialog& Dialog);
  // A question with two answers, the first one the default button; true for
  // the first (AcceptText). By default the first.
  virtual bool Ask(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text, const std::string& AcceptText,
                   const std::string& RejectText);
  // An open dialog in which several files may be chosen at once; nothing when
  // the user cancels. By default the single-file dialog above.
  virtual std::optional<std::vector<std::string>> OpenFileNames(QWidget* Parent, const TMainFileRequest& Request);
  // A question with several answers, Answers[0] the default button; the index
  // of the answer chosen, -1 when the box is closed without one. By default 0.
  virtual int Choose(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text,
                     const std::vector<std::string>& Answers);
};

// The font dialog as the program shows it, run through Dialogs.ExecDialog (so a
// caller that drives its dialogs itself can work it through its controls):
// opened on Initial in the style Initial is drawn in, only fixed-pitch families
// listed with FixedPitchOnly. The chosen font, Initial itself when OK is clicked
// without a change, or nothing when the user cancels.
std::optional<QFont> RunFontDialog(IMainDialogs& Dialogs, QWidget* Parent, const QFont& Initial, bool FixedPitchOnly);

// The modal Qt dialogs.
class TMainQtDialogs final : public IMainDialogs {
 public:
  std::optional<std::string> OpenFileName(QWidget* Parent, const TMainFileRequest& Request) override;
  std::optional<std::string> SaveFileName(QWidget* Parent, const TMainFileRequest& Request) override;
  std::optional<QFont> ChooseFont(QWidget* Parent, const QFont& Initial) override;
  std::optional<std::string> InputText(QWidget* Parent, const std::string& Title, const std::string& Prompt,
                                       const std::string& Initial) override;
  void ShowMessage(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text) override;
  std::optional<QFont> ChooseFixedPitchFont(QWidget* Parent, const QFont& Initial) override;
  bool ExecDialog(QWidget* Parent, QDialog& Dialog) override;
  bool Ask(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text, const std::string& AcceptText,
           const std::string& RejectText) override;
  std::optional<std::vector<std::string>> OpenFileNames(QWidget* Parent, const TMainFileRequest& Request) override;
  int Choose(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text,
             const std::vector<std::string>& Answers) override;
};

// A filter of TMainFileRequest as Qt writes it: "HEX files (*.hex *.HEX);;All Files (*)".
// "*.*" becomes "*", since a host file name need not have an extension, and a
// pattern in small letters is offered in capitals too.
QString QtFileFilter(const std::string& Filter);
