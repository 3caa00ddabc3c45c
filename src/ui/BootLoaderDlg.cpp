#include "BootLoaderDlg.h"

#include <QAction>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "MainDialogs.h"

namespace {

bool IsExistingFile(const std::string& Name) {
  std::error_code Error;
  return !Name.empty() && std::filesystem::is_regular_file(Name, Error);
}

}  // namespace

TBootLoaderDlg::TBootLoaderDlg(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(QStringLiteral("Build Boot Image"));
  setObjectName(QStringLiteral("BootLoaderDlg"));

  auto* Files = new QGroupBox(QStringLiteral("CPM Image Files:"), this);
  auto* Grid = new QGridLayout(Files);
  const auto AddRow = [&](int Row, const char* Caption, QLineEdit*& Edit, const char* Name, const char* Hint,
                          QAction*& BrowseAct, const char* BrowseName, const char* BrowseCaption, const char* BrowseHint,
                          const char* Title) {
    auto* Label = new QLabel(QString::fromLatin1(Caption), Files);
    Edit = new QLineEdit(Files);
    Edit->setObjectName(QString::fromLatin1(Name));
    Edit->setToolTip(QString::fromLatin1(Hint));
    Edit->setMinimumWidth(320);
    Label->setBuddy(Edit);
    BrowseAct = new QAction(QString::fromLatin1(BrowseCaption), this);
    BrowseAct->setObjectName(QString::fromLatin1(BrowseName));
    BrowseAct->setToolTip(QString::fromLatin1(BrowseHint));
    BrowseAct->setIconText(QStringLiteral("..."));
    QLineEdit* Target = Edit;
    connect(BrowseAct, &QAction::triggered, this, [this, Target, Title] { Browse(Target, Title); });
    auto* Button = new QToolButton(Files);
    Button->setDefaultAction(BrowseAct);
    Button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(Edit, &QLineEdit::textChanged, this, [this] { UpdateBuild(); });
    Grid->addWidget(Label, Row, 0);
    Grid->addWidget(Edit, Row, 1);
    Grid->addWidget(Button, Row, 2);
  };
  AddRow(0, "CPM HEX File Name:", FCpmSourceFile, "C_CpmSourceFile", "Intel 16 bit hex file containing CPM80 image",
         FBrowseCpmAct, "BrowseCpmAct", "Browse for CPM", "Select CPM hex file to add to boot image",
         "Select CPM Hex File To Load");
  AddRow(1, "BIOS HEX File Name:", FBiosSourceFile, "C_BiosSourceFile", "Intel 16 bit hex file containing BIOS image",
         FBrowseBiosAct, "BrowseBiosAct", "Browse for BIOS", "Select BIOS hex file to add to boot image",
         "Select BIOS Hex File To Load");
  AddRow(2, "Boot Loader HEX File Name:", FBootLoaderFile, "C_BootLoaderFile",
         "Intel 16 bit hex file containing CPM80 image", FBrowseLoaderAct, "BrowseLoaderAct", "Browse for Loader",
         "Select boot loader hex file (must load at address 0)", "Select Boot Loader Hex File To Load");
  Grid->setColumnStretch(1, 1);

  FBuildButton = new QPushButton(QStringLiteral("Build"), this);
  FBuildButton->setObjectName(QStringLiteral("BuildButton"));
  FBuildButton->setToolTip(QStringLiteral("Add boot loader and CPM image to disk"));
  FBuildButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FBuildButton, &QPushButton::clicked, this, [this] {
    if (FilesValid()) accept();
  });
  connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FBuildButton);
  Buttons->addWidget(FCancelButton);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Files);
  Layout->addLayout(Buttons);
  UpdateBuild();
}

std::string TBootLoaderDlg::GetBootLoaderFile() const { return FBootLoaderFile->text().toStdString(); }
std::string TBootLoaderDlg::GetCpmFile() const { return FCpmSourceFile->text().toStdString(); }
std::string TBootLoaderDlg::GetBiosFile() const { return FBiosSourceFile->text().toStdString(); }

bool TBootLoaderDlg::FilesValid() const {
  return IsExistingFile(GetBootLoaderFile()) && IsExistingFile(GetCpmFile()) && IsExistingFile(GetBiosFile());
}

void TBootLoaderDlg::UpdateBuild() { FBuildButton->setEnabled(FilesValid()); }

void TBootLoaderDlg::Browse(QLineEdit* Edit, const char* Title) {
  if (FDialogs == nullptr) return;
  TMainFileRequest Request;
  Request.Title = Title;
  Request.Filter = "HEX files|*.hex|All Files|*.*";
  Request.DefaultExtension = "hex";
  Request.MustExist = true;
  const std::string Current = Edit->text().toStdString();
  Request.FileName = Current.empty() ? std::string("*.hex") : Current;
  const std::string Folder = std::filesystem::path(Current).parent_path().string();
  Request.InitialFolder = Folder.empty() ? InitialFolder : Folder;
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (File) Edit->setText(QString::fromStdString(*File));
}
