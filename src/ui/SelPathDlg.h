// The "Select Path" dialog: a folder tree of the host, a label with the chosen
// folder, "New Path" to create a folder inside the chosen one, OK and Cancel. The
// disk manager asks it where to export several files at once.
//
// "New Path" creates a folder inside the chosen one, with every missing folder
// on the way for a nested name ("2024/05"; "\" separates like "/"). A name that
// starts at the root or holds ".." is refused, so no answer reaches outside.
// The name box and the error message open window-modal over the dialog (open(),
// not exec()); NewPathBox() and MessageBox() give them to a caller that drives
// the dialog itself.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QTimer>

class QFileSystemModel;
class QInputDialog;
class QLabel;
class QMessageBox;
class QPushButton;
class QTreeView;

class TSelPathDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TSelPathDlg(QWidget* Parent = nullptr);

  // Selects the folder in the tree, expanded down to it and scrolled into view;
  // a path that is not a folder changes nothing. The tree reads its folders in
  // the background, so the folder is kept in view as they arrive, until the
  // user selects, scrolls or types in the tree, or the dialog closes.
  void SetPath(const QString& Path);
  // The selected folder; empty when none is selected.
  QString GetPath() const;

  // Creates the folder Name (nested names too) inside the selected one and
  // selects it; shows the error message and returns false when Name is refused
  // or a folder cannot be made. An existing folder of that name is simply
  // selected.
  bool CreateSubFolder(const QString& Name);

  QTreeView* ShellTreeView1() const { return FShellTreeView1; }
  QLabel* PathLabel() const { return FPathLabel; }
  QPushButton* NewPathButton() const { return FNewPathButton; }
  QPushButton* OkButton() const { return FOkButton; }
  QPushButton* CancelButton() const { return FCancelButton; }
  // The name box of "New Path" while it is open, else null.
  QInputDialog* NewPathBox() const;
  // The error message while it is shown, else null.
  QMessageBox* MessageBox() const;

 protected:
  void showEvent(QShowEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void SelectionChanged();
  // Expands the tree down to the folder SetPath chose and scrolls it into view.
  void ShowChosenFolder();
  void StopShowingChosenFolder();
  void NewPathClick();
  void ShowError(const QString& Details);

  QFileSystemModel* FModel;
  QTreeView* FShellTreeView1;
  QLabel* FPathLabel;
  QPushButton* FNewPathButton;
  QPushButton* FOkButton;
  QPushButton* FCancelButton;
  QPointer<QInputDialog> FNewPathBox;
  QPointer<QMessageBox> FMessageBox;
  // The folder SetPath chose while it is kept in view; empty once the user takes over.
  QString FChosenFolder;
  // One scroll for the many rows a folder read in the background brings.
  QTimer FShowChosenTimer;
};
