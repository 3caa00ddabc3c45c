// "Build Boot Image": the three Intel-hex files whose bytes the disk manager
// writes onto the first two tracks of a disk: a boot loader (at most 256 bytes
// from address 0) and the CP/M and BIOS images after it. "Build" is enabled
// while all three files exist and closes the dialog with OK.
#pragma once

#include <QDialog>
#include <string>

class IMainDialogs;
class QAction;
class QLineEdit;
class QPushButton;

class TBootLoaderDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TBootLoaderDlg(QWidget* Parent = nullptr);

  // The browse dialogs go through Dialogs (not owned).
  void SetDialogs(IMainDialogs* Dialogs) { FDialogs = Dialogs; }
  // Where the browse dialogs start when an edit names no folder.
  std::string InitialFolder;

  std::string GetBootLoaderFile() const;
  std::string GetCpmFile() const;
  std::string GetBiosFile() const;
  // All three names are existing files.
  bool FilesValid() const;

  QLineEdit* C_CpmSourceFile() const { return FCpmSourceFile; }
  QLineEdit* C_BiosSourceFile() const { return FBiosSourceFile; }
  QLineEdit* C_BootLoaderFile() const { return FBootLoaderFile; }
  QAction* BrowseCpmAct() const { return FBrowseCpmAct; }
  QAction* BrowseBiosAct() const { return FBrowseBiosAct; }
  QAction* BrowseLoaderAct() const { return FBrowseLoaderAct; }
  QPushButton* BuildButton() const { return FBuildButton; }
  QPushButton* CancelButton() const { return FCancelButton; }

 private:
  void Browse(QLineEdit* Edit, const char* Title);
  void UpdateBuild();

  IMainDialogs* FDialogs = nullptr;
  QLineEdit* FCpmSourceFile;
  QLineEdit* FBiosSourceFile;
  QLineEdit* FBootLoaderFile;
  QAction* FBrowseCpmAct;
  QAction* FBrowseBiosAct;
  QAction* FBrowseLoaderAct;
  QPushButton* FBuildButton;
  QPushButton* FCancelButton;
};
