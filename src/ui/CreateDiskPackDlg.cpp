#include "CreateDiskPackDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <exception>
#include <filesystem>
#include <system_error>

#include "DefaultWorkPath.h"
#include "DiskManagerNames.h"
#include "DiskPack.h"
#include "MainDialogs.h"

namespace {

constexpr const char* ReadyText = "Press OK button to create disk pack file. ";

}  // namespace

TCreateDiskPackDlg::TCreateDiskPackDlg(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(QStringLiteral("Create Disk Pack"));
  setObjectName(QStringLiteral("CreateDiskPackDlg"));
  InitialFolder = GetDefaultWorkPath(GetProgramName());

  auto* NameLabel = new QLabel(QStringLiteral("Disk Pack File Name:"), this);
  FFileName = new QLineEdit(this);
  FFileName->setObjectName(QStringLiteral("C_FileName"));
  FFileName->setMinimumWidth(320);
  NameLabel->setBuddy(FFileName);
  FBrowseButton = new QPushButton(QStringLiteral("..."), this);
  FBrowseButton->setObjectName(QStringLiteral("BrowseButton"));
  FBrowseButton->setAutoDefault(false);
  FBrowseButton->setFixedWidth(32);

  auto* SizeLabel = new QLabel(QStringLiteral("Disk Pack Size:"), this);
  FDiskCount = new QSpinBox(this);
  FDiskCount->setObjectName(QStringLiteral("C_DiskCount"));
  FDiskCount->setRange(MinDisks, MaxDisks);
  FDiskCount->setValue(DefaultDisks);
  SizeLabel->setBuddy(FDiskCount);
  auto* UnitLabel = new QLabel(QStringLiteral("(CPM Disks)"), this);

  FMessageLabel = new QLabel(QString::fromLatin1(ReadyText), this);
  FMessageLabel->setObjectName(QStringLiteral("MessageLabel"));
  FProgressBar = new QProgressBar(this);
  FProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  FProgressBar->setRange(0, DefaultDisks);
  FProgressBar->setValue(0);

  FOkButton = new QPushButton(QStringLiteral("OK"), this);
  FOkButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FBrowseButton, &QPushButton::clicked, this, [this] { BrowseClick(); });
  connect(FOkButton, &QPushButton::clicked, this, [this] { OkClick(); });
  connect(FCancelButton, &QPushButton::clicked, this, &TCreateDiskPackDlg::reject);

  auto* Grid = new QGridLayout;
  Grid->addWidget(NameLabel, 0, 0);
  Grid->addWidget(FFileName, 0, 1, 1, 2);
  Grid->addWidget(FBrowseButton, 0, 3);
  Grid->addWidget(SizeLabel, 1, 0);
  Grid->addWidget(FDiskCount, 1, 1);
  Grid->addWidget(UnitLabel, 1, 2);
  Grid->setColumnStretch(2, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FOkButton);
  Buttons->addWidget(FCancelButton);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Grid);
  Layout->addWidget(FMessageLabel);
  Layout->addWidget(FProgressBar);
  Layout->addLayout(Buttons);
}

void TCreateDiskPackDlg::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  FMessageLabel->setText(QString::fromLatin1(ReadyText));
  FProgressBar->setValue(0);
}

std::string TCreateDiskPackDlg::TargetFileName() const {
  const std::string Text = FFileName->text().trimmed().toStdString();
  return Text.empty() ? Text : ChangeFileExt(Text, ".cdp");
}

void TCreateDiskPackDlg::ShowProgress(int DiskNumber) {
  FProgressBar->setValue(DiskNumber);
  QCoreApplication::processEvents();
}

void TCreateDiskPackDlg::BrowseClick() {
  if (FDialogs == nullptr) return;
  TMainFileRequest Request;
  Request.Title = "Create Disk Pack File";
  Request.Filter = "Emulator Disk Pack Files|*.cdp|All Files|*.*";
  Request.DefaultExtension = "cdp";
  // The question about replacing a file is asked by OK, about the file that is
  // really written (with ".cdp"), not here about the name as typed.
  Request.OverwritePrompt = false;
  Request.MustExist = false;
  const std::string Current = FFileName->text().trimmed().toStdString();
  Request.FileName = Current.empty() ? std::string("*.cdp") : Current;
  const std::string Folder = std::filesystem::path(Current).parent_path().string();
  Request.InitialFolder = Folder.empty() ? InitialFolder : Folder;
  const std::optional<std::string> File = FDialogs->SaveFileName(this, Request);
  if (File) FFileName->setText(QString::fromStdString(*File));
}

void TCreateDiskPackDlg::SetWorking(bool Working) {
  FOkButton->setEnabled(!Working);
  FCancelButton->setEnabled(!Working);
  FBrowseButton->setEnabled(!Working);
  FFileName->setEnabled(!Working);
  FDiskCount->setEnabled(!Working);
}

bool TCreateDiskPackDlg::OkClick() {
  if (!FOkButton->isEnabled()) return false;
  const std::string Target = TargetFileName();
  const auto Tell = [this](TMachineMessageKind Kind, const std::string& Text) {
    if (FDialogs != nullptr) FDialogs->ShowMessage(this, Kind, Text);
  };
  if (Target.empty()) {
    Tell(TMachineMessageKind::Warning, "Enter the name of the disk pack file to create.");
    FFileName->setFocus();
    return false;
  }
  std::error_code Error;
  if (std::filesystem::exists(Target, Error)) {
    const std::string Refusal = CheckTarget ? CheckTarget(Target) : std::string();
    if (!Refusal.empty()) {
      Tell(TMachineMessageKind::Warning, Refusal);
      return false;
    }
    if (FDialogs != nullptr &&
        !FDialogs->Ask(this, TMachineMessageKind::Warning, OverwriteQuestion(Target), "Yes", "No"))
      return false;
  }

  SetWorking(true);
  FMessageLabel->setText(QStringLiteral("Creating disk pack file..."));
  FProgressBar->setRange(0, FDiskCount->value());
  FProgressBar->setValue(0);
  QCoreApplication::processEvents();
  std::string Failure;
  try {
    TDiskPack::CreatePackFile(Target, FDiskCount->value(), [this](int DiskNumber) { ShowProgress(DiskNumber); });
  } catch (const std::exception& Failed) {
    Failure = Failed.what();
  } catch (...) {
    Failure = "An unknown error occurred.";
  }
  SetWorking(false);
  if (!Failure.empty()) {
    // Nothing of the pack is left (the writer puts it in place only when it is
    // complete); the dialog is the user's again.
    FMessageLabel->setText(QString::fromLatin1(ReadyText));
    FProgressBar->setValue(0);
    Tell(TMachineMessageKind::Error, "The disk pack file \"" + Target + "\" could not be created.\n" + Failure);
    return false;
  }
  FMessageLabel->setText(QStringLiteral("Disk pack file created."));
  FCreatedFile = Target;
  accept();
  return true;
}

void TCreateDiskPackDlg::reject() {
  // The dialog stays while the pack is written.
  if (!FCancelButton->isEnabled()) return;
  QDialog::reject();
}

void TCreateDiskPackDlg::closeEvent(QCloseEvent* Event) {
  if (!FCancelButton->isEnabled()) {
    Event->ignore();
    return;
  }
  QDialog::closeEvent(Event);
}
