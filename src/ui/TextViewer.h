// "View Text": a window of its own that shows a CP/M text file read from a disk
// in the disk manager, with a search (Find, Find Next) and the caret's line and
// column. It is shown modeless and stays open beside the main window.
#pragma once

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class IMainDialogs;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QToolButton;

class TTextViewer : public QMainWindow {
  Q_OBJECT

 public:
  explicit TTextViewer(QWidget* Parent = nullptr);

  // Messages ("not found") go through Dialogs (not owned); null: none shown.
  void SetDialogs(IMainDialogs* Dialogs) { FDialogs = Dialogs; }

  // The file's bytes as lines: CR LF, LF and CR each end a line; bytes are
  // shown as Latin-1 characters. The caret goes to the start.
  void LoadText(const std::vector<uint8_t>& Bytes);
  QString Text() const;
  // Status panel 5.
  void SetDiskFileName(const QString& Name);
  // Searches the find box's text from the end of the selection (or the caret)
  // to the end of the text; selects the match and returns true, or tells that
  // nothing was found and returns false.
  bool FindNext();
  // Shows the status panels for the caret.
  void UpdateCaretPanels();

  QPlainTextEdit* RichEdit() const { return FRichEdit; }
  QLineEdit* FindBox() const { return FFindBox; }
  QCheckBox* WholeWordsBox() const { return FWholeWordsBox; }
  QCheckBox* MatchCaseBox() const { return FMatchCaseBox; }
  QAction* FindAct() const { return FFindAct; }
  QAction* FindNextAct() const { return FFindNextAct; }
  // Status panels: 0 "Line", 1 value, 2 "Column", 3 value, 4 "Disk File Name", 5 value.
  QLabel* StatusPanel(int Index) const { return FPanels[static_cast<size_t>(Index)]; }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void UpdateFindNext();

  IMainDialogs* FDialogs = nullptr;
  QPlainTextEdit* FRichEdit;
  QLineEdit* FFindBox;
  QCheckBox* FWholeWordsBox;
  QCheckBox* FMatchCaseBox;
  QAction* FFindAct;
  QAction* FFindNextAct;
  std::array<QLabel*, 6> FPanels{};
};
