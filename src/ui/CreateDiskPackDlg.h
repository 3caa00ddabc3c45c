// The "Create Disk Pack" dialog: the name of a new disk pack file and how many
// disks (4 to 128) it holds. OK writes the pack while a progress bar follows the
// disks written, then closes the dialog; the dialog cannot be closed while the
// pack is being written. A pack that cannot be written is reported, nothing of
// it is left behind, and the dialog is the user's again to change the name or
// cancel.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class IMainDialogs;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

class TCreateDiskPackDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int MinDisks = 4;
  static constexpr int MaxDisks = 128;
  static constexpr int DefaultDisks = 32;

  explicit TCreateDiskPackDlg(QWidget* Parent = nullptr);

  // File dialogs, questions and messages go through Dialogs (not owned).
  void SetDialogs(IMainDialogs* Dialogs) { FDialogs = Dialogs; }
  // Where the browse dialog starts when the name has no folder.
  std::string InitialFolder;
  // Asked before a file is replaced: why it must not be (a disk in a drive or
  // served to a client), or empty when it may.
  std::function<std::string(const std::string& FileName)> CheckTarget;

  // The pack file written by the last OK: the edit's text with ".cdp".
  const std::string& CreatedFile() const { return FCreatedFile; }
  // The file OK writes: the edit's text with its extension changed to ".cdp".
  std::string TargetFileName() const;

  // The progress callback of the pack writer: the bar moves to DiskNumber and
  // the window paints.
  void ShowProgress(int DiskNumber);
  // "...": a save dialog for the pack file.
  void BrowseClick();
  // OK: writes the pack. True when it was written and the dialog closed.
  bool OkClick();

  QLineEdit* C_FileName() const { return FFileName; }
  QSpinBox* C_DiskCount() const { return FDiskCount; }
  QLabel* MessageLabel() const { return FMessageLabel; }
  QProgressBar* ProgressBar() const { return FProgressBar; }
  QPushButton* BrowseButton() const { return FBrowseButton; }
  QPushButton* OkButton() const { return FOkButton; }
  QPushButton* CancelButton() const { return FCancelButton; }

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;

 private:
  void SetWorking(bool Working);

  IMainDialogs* FDialogs = nullptr;
  std::string FCreatedFile;
  QLineEdit* FFileName;
  QSpinBox* FDiskCount;
  QLabel* FMessageLabel;
  QProgressBar* FProgressBar;
  QPushButton* FBrowseButton;
  QPushButton* FOkButton;
  QPushButton* FCancelButton;
};
