// The printer of the Ports page and the "Printer" menu: the host printer chosen
// in the list (or a PDF file instead), its orientation, paper and font, the
// options of "Setup", and the list device switched on and off. Enabled, the
// machine's printer port writes into a TTTYPrinter made from the page's values;
// disabled, it drops its bytes.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPageLayout>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryFile>
#include <filesystem>

#include "MainRadioGroup.h"
#include "Rspin.h"
#include "TTYPrinter.h"
#include "frmKorvel.h"

// ---------------------------------------------------------------- the host's printers

void TMainOrvanta::FillPrintersList(const QString& Current) {
  const QSignalBlocker Quiet(C_PrintersList);
  C_PrintersList->clear();
  const QStringList Names = QPrinterInfo::availablePrinterNames();
  FPrintersExist = !Names.isEmpty();
  if (FPrintersExist) {
    if (!FHostPrinter) FHostPrinter = std::make_unique<QPrinter>(QPrinter::HighResolution);
    C_PrintersList->addItems(Names);
    const QString Wanted = Current.isEmpty() ? QPrinterInfo::defaultPrinterName() : Current;
    const int Index = static_cast<int>(Names.indexOf(Wanted));
    C_PrintersList->setCurrentIndex(Index < 0 ? 0 : Index);
    // The printer object keeps its orientation and paper across the change.
    if (FHostPrinter->printerName() != C_PrintersList->currentText())
      FHostPrinter->setPrinterName(C_PrintersList->currentText());
    C_PrintOrientaion->SetItemIndex(FHostPrinter->pageLayout().orientation() == QPageLayout::Landscape ? 1 : 0);
  }
  PrinterSelectionChanged();
}

void TMainOrvanta::ConnectPrinterPage() {
  connect(C_PrintersList, &QComboBox::currentIndexChanged, this,
          [this] { Guarded([this] { C_PrintersListChange(); }); });
  connect(&C_PrintOrientaion->Buttons(), &QButtonGroup::idClicked, this,
          [this] { Guarded([this] { C_PrintOrientaionClick(); }); });
  for (QCheckBox* Box : {C_IgnoreFormFeedsBtn, C_AutoLineWrapBtn, C_EosEjectsPrinterBtn})
    connect(Box, &QCheckBox::toggled, this, [this] { Guarded([this] { PrinterOptionsChanged(); }); });
  const auto ChoiceChanged = [this] {
    PrinterSelectionChanged();
    UpdateActions();
  };
  connect(C_PrintToFileBtn, &QCheckBox::toggled, this, ChoiceChanged);
  connect(C_PrintFileNameEdit, &QLineEdit::textChanged, this, ChoiceChanged);
  connect(PrintFileBrowseBtn, &QPushButton::clicked, this, [this] { Guarded([this] { PrintFileBrowseBtnClick(); }); });
}

void TMainOrvanta::C_PrintersListChange() {
  if (FPrintersExist && C_PrintersList->currentIndex() >= 0 && FHostPrinter)
    FHostPrinter->setPrinterName(C_PrintersList->currentText());
  PrinterSelectionChanged();
}

void TMainOrvanta::C_PrintOrientaionClick() {
  if (FPrintersExist && FHostPrinter)
    FHostPrinter->setPageOrientation(C_PrintOrientaion->GetItemIndex() == 1 ? QPageLayout::Landscape
                                                                            : QPageLayout::Portrait);
}

void TMainOrvanta::PrinterSelectionChanged() {
  // The system manager's PRINT command names what the pages go to.
  std::string Name;
  if (C_PrintToFileBtn->isChecked())
    Name = C_PrintFileNameEdit->text().toStdString();
  else if (C_PrintersList->currentIndex() >= 0)
    Name = C_PrintersList->currentText().toStdString();
  FMachine->SelectedPrinterName = Name;
}

void TMainOrvanta::PrintFileBrowseBtnClick() {
  TMainFileRequest Request;
  Request.Title = "Select PDF File Name";
  Request.Filter = "PDF Files|*.pdf|All Files|*.*";
  Request.DefaultExtension = "pdf";
  Request.InitialFolder = FPrintFileFolder.empty() ? FWorkFolder : FPrintFileFolder;
  Request.FileName = C_PrintFileNameEdit->text().toStdString();
  Request.MustExist = false;
  const std::optional<std::string> File = FDialogs->SaveFileName(this, Request);
  if (!File) return;
  const std::string Folder = std::filesystem::path(*File).parent_path().string();
  FPrintFileFolder = Folder.empty() ? Folder : Folder + '/';
  C_PrintFileNameEdit->setText(QString::fromStdString(*File));
  // Choosing the file is choosing to print into it.
  C_PrintToFileBtn->setChecked(true);
}

// ---------------------------------------------------------------- state

TTTYPrinter* TMainOrvanta::TtyPrinter() const { return dynamic_cast<TTTYPrinter*>(FMachine->Printer()); }

bool TMainOrvanta::PrinterChosen() const { return FPrintersExist || C_PrintToFileBtn->isChecked(); }

bool TMainOrvanta::PrinterIdle() const {
  const IMachinePrinter* Printer = FMachine->Printer();
  return Printer == nullptr || !Printer->IsPrinting();
}

std::string TMainOrvanta::PrinterProblem() const {
  QString Problem;
  if (C_PrintToFileBtn->isChecked()) {
    const QString Name = C_PrintFileNameEdit->text().trimmed();
    const QFileInfo File(Name);
    if (Name.isEmpty()) {
      Problem = QStringLiteral("no PDF file has been chosen to print to.");
    } else if (File.isDir()) {
      Problem = QStringLiteral("\"%1\" is a folder.").arg(Name);
    } else {
      // A job is written beside the file first and then renamed over it: what
      // must work is making a file in that folder.
      QTemporaryFile Probe(File.absoluteFilePath() + QStringLiteral(".XXXXXX"));
      if (!Probe.open())
        Problem = QStringLiteral("the file \"%1\" cannot be written (%2).").arg(Name, Probe.errorString());
    }
  } else if (!FPrintersExist) {
    Problem = QStringLiteral("this computer has no printer. Choose a PDF file to print to instead.");
  } else if (C_PrintersList->currentIndex() < 0) {
    Problem = QStringLiteral("no printer is selected.");
  } else if (QPrinterInfo::printerInfo(C_PrintersList->currentText()).isNull()) {
    Problem = QStringLiteral("the printer \"%1\" is not available.").arg(C_PrintersList->currentText());
  }
  return Problem.toStdString();
}

// ---------------------------------------------------------------- actions

void TMainOrvanta::PrinterSetupActUpdate() {
  const bool Off = FMachine->Printer() == nullptr;
  const bool HostSetup = Off && FPrintersExist && PrinterIdle() && !C_PrintToFileBtn->isChecked();
  PrinterSetupAct->setEnabled(HostSetup);
  C_PrintersList->setEnabled(HostSetup);
  // What the next printer is made with can change while none is enabled; the
  // three check boxes act on a running printer too.
  const bool Editable = Off && PrinterChosen();
  for (QWidget* Control : std::initializer_list<QWidget*>{C_PrintOrientaion, C_TabSpacingEdit, C_TopBottomMarginEdit,
                                                          C_LeftRightMarginEdit, C_LineSpacingEdit})
    Control->setEnabled(Editable);
  for (QWidget* Control : std::initializer_list<QWidget*>{C_PrintToFileBtn, C_PrintFileNameEdit, PrintFileBrowseBtn})
    Control->setEnabled(Off);
}

void TMainOrvanta::PrinterSetupActExecute() {
  if (!FPrintersExist) return;
  QPrintDialog Dialog(FHostPrinter.get(), this);
  Dialog.setWindowTitle(QStringLiteral("Printer Setup"));
  Dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
  Dialog.setOption(QAbstractPrintDialog::PrintShowPageSize, true);
  // The dialog only chooses what later jobs print with: its button says so
  // rather than "Print".
  if (auto* Buttons = Dialog.findChild<QDialogButtonBox*>())
    if (QPushButton* Accept = Buttons->button(QDialogButtonBox::Ok)) Accept->setText(QStringLiteral("&OK"));
  if (!FDialogs->ExecDialog(this, Dialog)) return;
  FillPrintersList(FHostPrinter->printerName());
}

void TMainOrvanta::PrinterFontActUpdate() {
  PrinterFontAct->setEnabled(FMachine->Printer() == nullptr && PrinterChosen() && PrinterIdle());
}

void TMainOrvanta::PrinterFontActExecute() {
  if (!PrinterChosen() || !PrinterIdle()) return;
  if (const std::optional<QFont> Font = FDialogs->ChooseFixedPitchFont(this, FPrinterFont)) FPrinterFont = *Font;
}

void TMainOrvanta::PrinterEnableActUpdate() {
  const bool On = FMachine->Printer() != nullptr;
  PrinterEnableAct->setChecked(On);
  PrinterEnableAct->setEnabled((On || PrinterChosen()) && PrinterIdle());
}

void TMainOrvanta::PrinterEnableActExecute() {
  // The action has turned its check over already.
  if (!PrinterEnableAct->isChecked()) {
    // A job still open is finished here, where a failure can be told.
    FMachine->EndPrintJob(false);
    FMachine->SetPrinter(nullptr);
    return;
  }
  if (FMachine->Printer() != nullptr) return;
  const std::string Problem = PrinterProblem();
  if (!Problem.empty()) {
    PrinterEnableAct->setChecked(false);
    ShowMessage(TMachineMessageKind::Warning, "Unable to enable the printer: " + Problem);
    return;
  }
  auto Printer = std::make_unique<TTTYPrinter>();
  if (C_PrintToFileBtn->isChecked()) {
    Printer->SetOutputFileName(C_PrintFileNameEdit->text().trimmed());
  } else {
    Printer->SetPrinterName(C_PrintersList->currentText());
    Printer->SetPageSize(FHostPrinter->pageLayout().pageSize());
    Printer->SetJobOptions(PrintJobOptionsOf(*FHostPrinter));
  }
  Printer->SetJobName(QString::fromStdString(FProgramName));
  Printer->SetOrientation(C_PrintOrientaion->GetItemIndex() == 1 ? QPageLayout::Landscape : QPageLayout::Portrait);
  Printer->SetFont(FPrinterFont);
  Printer->SetTabSpacing(C_TabSpacingEdit->value());
  Printer->SetLeftMargin(C_LeftRightMarginEdit->GetValue());
  Printer->SetRightMargin(C_LeftRightMarginEdit->GetValue());
  Printer->SetTopMargin(C_TopBottomMarginEdit->GetValue());
  Printer->SetBottomMargin(C_TopBottomMarginEdit->GetValue());
  Printer->SetLineSpacing(C_LineSpacingEdit->GetValue());
  FMachine->SetPrinter(std::move(Printer));
  PrinterOptionsChanged();
}

void TMainOrvanta::PrinterOptionsChanged() {
  TTTYPrinter* Printer = TtyPrinter();
  if (Printer == nullptr) return;
  Printer->SetAutoLineWrap(C_AutoLineWrapBtn->isChecked());
  Printer->SetIgnoreFormFeed(C_IgnoreFormFeedsBtn->isChecked());
  Printer->SetEjectOnCtrlZ(C_EosEjectsPrinterBtn->isChecked());
}

void TMainOrvanta::PrinterJobActUpdate(QAction* Action) {
  const IMachinePrinter* Printer = FMachine->Printer();
  Action->setEnabled(Printer != nullptr && Printer->IsPrinting());
}

void TMainOrvanta::PrinterAbortActExecute() { FMachine->EndPrintJob(true); }

void TMainOrvanta::PrinterEjectActExecute() { FMachine->EndPrintJob(false); }
