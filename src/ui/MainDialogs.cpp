#include "MainDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <cstdlib>
#include <limits>

namespace {

QString Text(const std::string& Value) { return QString::fromStdString(Value); }

// Runs a file dialog described by Request; Save chooses the kind, Several an
// open dialog that takes more than one file. The chosen files.
std::optional<std::vector<std::string>> RunFileDialog(QWidget* Parent, const TMainFileRequest& Request, bool Save,
                                                      bool Several = false) {
  QFileDialog Dialog(Parent, Text(Request.Title), Text(Request.InitialFolder), QtFileFilter(Request.Filter));
  Dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  Dialog.setFileMode(Save || !Request.MustExist ? QFileDialog::AnyFile
                                                : (Several ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile));
  if (!Request.DefaultExtension.empty()) Dialog.setDefaultSuffix(Text(Request.DefaultExtension));
  if (Save && !Request.OverwritePrompt) Dialog.setOption(QFileDialog::DontConfirmOverwrite);
  const bool Pattern = Request.FileName.find_first_of("*?") != std::string::npos;
  if (!Request.FileName.empty() && !Pattern) Dialog.selectFile(Text(Request.FileName));
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return std::nullopt;
  std::vector<std::string> Files;
  for (const QString& File : Dialog.selectedFiles()) Files.push_back(File.toStdString());
  return Files;
}

std::optional<std::string> FirstOf(const std::optional<std::vector<std::string>>& Files) {
  if (!Files || Files->empty()) return std::nullopt;
  return Files->front();
}

// The style of Font's family that Font is drawn in, as the family names its
// styles ("Book", "Bold Oblique"); empty when the family lists none. Given a
// font without a style name, the font dialog looks for a style named "Normal"
// or "Regular" and otherwise takes the family's first style: "Oblique" for an
// upright DejaVu Sans Mono.
QString OwnStyleName(const QFont& Font) {
  const QString Family = Font.family();
  const QStringList Styles = QFontDatabase::styles(Family);
  if (Styles.isEmpty()) return QString();
  if (Styles.contains(Font.styleName())) return Font.styleName();
  // The face the font database matches for the font.
  const QFontInfo Matched(Font);
  if (Matched.family() == Family && Styles.contains(Matched.styleName())) return Matched.styleName();
  // Otherwise the style nearest in slant, then in weight; of equals, the
  // plainest name ("Book" before "Condensed Book").
  const bool Slanted = Font.style() != QFont::StyleNormal;
  QString Best;
  int BestScore = std::numeric_limits<int>::max();
  for (const QString& Style : Styles) {
    const QFont Face = QFontDatabase::font(Family, Style, 10);
    int Score = std::abs(Face.weight() - Font.weight()) * 100 + static_cast<int>(Style.count(u' '));
    if ((Face.style() != QFont::StyleNormal) != Slanted)
      Score += 1000000;
    else if (Face.style() != Font.style())
      Score += 10;
    if (Score < BestScore) {
      Best = Style;
      BestScore = Score;
    }
  }
  return Best;
}

QMessageBox::Icon IconOf(TMachineMessageKind Kind) {
  switch (Kind) {
    case TMachineMessageKind::Information:
      return QMessageBox::Information;
    case TMachineMessageKind::Warning:
      return QMessageBox::Warning;
    case TMachineMessageKind::Error:
      break;
  }
  return QMessageBox::Critical;
}

}  // namespace

bool IMainDialogs::ExecDialog(QWidget*, QDialog&) { return false; }

bool IMainDialogs::Ask(QWidget*, TMachineMessageKind, const std::string&, const std::string&, const std::string&) {
  return true;
}

QString QtFileFilter(const std::string& Filter) {
  const QStringList Parts = Text(Filter).split(QLatin1Char('|'));
  QStringList Filters;
  for (qsizetype Index = 0; Index + 1 < Parts.size(); Index += 2) {
    QStringList Patterns;
    for (const QString& Pattern : Parts[Index + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      if (Pattern == QLatin1String("*.*")) {
        Patterns << QStringLiteral("*");
        continue;
      }
      // Host file names are case-sensitive; CP/M names come in capitals.
      Patterns << Pattern;
      if (Pattern.toUpper() != Pattern) Patterns << Pattern.toUpper();
    }
    Filters << Parts[Index] + QStringLiteral(" (") + Patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return Filters.join(QStringLiteral(";;"));
}

std::optional<std::vector<std::string>> IMainDialogs::OpenFileNames(QWidget* Parent, const TMainFileRequest& Request) {
  const std::optional<std::string> File = OpenFileName(Parent, Request);
  if (!File) return std::nullopt;
  return std::vector<std::string>{*File};
}

int IMainDialogs::Choose(QWidget*, TMachineMessageKind, const std::string&, const std::vector<std::string>&) {
  return 0;
}

std::optional<std::string> TMainQtDialogs::OpenFileName(QWidget* Parent, const TMainFileRequest& Request) {
  return FirstOf(RunFileDialog(Parent, Request, false));
}

std::optional<std::string> TMainQtDialogs::SaveFileName(QWidget* Parent, const TMainFileRequest& Request) {
  return FirstOf(RunFileDialog(Parent, Request, true));
}

std::optional<std::vector<std::string>> TMainQtDialogs::OpenFileNames(QWidget* Parent,
                                                                      const TMainFileRequest& Request) {
  return RunFileDialog(Parent, Request, false, true);
}

int TMainQtDialogs::Choose(QWidget* Parent, TMachineMessageKind Kind, const std::string& Message,
                           const std::vector<std::string>& Answers) {
  QMessageBox Box(IconOf(Kind), QApplication::applicationDisplayName(), Text(Message), QMessageBox::NoButton, Parent);
  std::vector<QPushButton*> Buttons;
  for (const std::string& Answer : Answers) Buttons.push_back(Box.addButton(Text(Answer), QMessageBox::ActionRole));
  if (!Buttons.empty()) Box.setDefaultButton(Buttons.front());
  Box.exec();
  for (size_t Index = 0; Index < Buttons.size(); ++Index)
    if (Box.clickedButton() == Buttons[Index]) return static_cast<int>(Index);
  return -1;
}

std::optional<QFont> RunFontDialog(IMainDialogs& Dialogs, QWidget* Parent, const QFont& Initial,
                                   bool FixedPitchOnly) {
  QFontDialog Dialog(Parent);
  if (FixedPitchOnly) Dialog.setOption(QFontDialog::MonospacedFonts);
  QFont Shown = Initial;
  const QString Style = OwnStyleName(Initial);
  if (!Style.isEmpty()) Shown.setStyleName(Style);
  Dialog.setCurrentFont(Shown);
  // The font as the dialog shows it: in whole points and its own style names.
  const QFont Opened = Dialog.currentFont();
  if (!Dialogs.ExecDialog(Parent, Dialog)) return std::nullopt;
  const QFont Chosen = Dialog.selectedFont();
  // Nothing changed: the font stays exactly as it was, a size in pixels or a
  // fraction of a point included.
  if (Chosen == Opened) return Initial;
  return Chosen;
}

std::optional<QFont> TMainQtDialogs::ChooseFont(QWidget* Parent, const QFont& Initial) {
  return RunFontDialog(*this, Parent, Initial, false);
}

std::optional<std::string> TMainQtDialogs::InputText(QWidget* Parent, const std::string& Title,
                                                     const std::string& Prompt, const std::string& Initial) {
  bool Accepted = false;
  const QString Answer =
      QInputDialog::getText(Parent, Text(Title), Text(Prompt), QLineEdit::Normal, Text(Initial), &Accepted);
  if (!Accepted) return std::nullopt;
  return Answer.toStdString();
}

void TMainQtDialogs::ShowMessage(QWidget* Parent, TMachineMessageKind Kind, const std::string& Message) {
  const QString Title = QApplication::applicationDisplayName();
  switch (Kind) {
    case TMachineMessageKind::Information:
      QMessageBox::information(Parent, Title, Text(Message));
      break;
    case TMachineMessageKind::Warning:
      QMessageBox::warning(Parent, Title, Text(Message));
      break;
    case TMachineMessageKind::Error:
      QMessageBox::critical(Parent, Title, Text(Message));
      break;
  }
}

std::optional<QFont> TMainQtDialogs::ChooseFixedPitchFont(QWidget* Parent, const QFont& Initial) {
  return RunFontDialog(*this, Parent, Initial, true);
}

bool TMainQtDialogs::ExecDialog(QWidget*, QDialog& Dialog) { return Dialog.exec() == QDialog::Accepted; }

bool TMainQtDialogs::Ask(QWidget* Parent, TMachineMessageKind Kind, const std::string& Message,
                         const std::string& AcceptText, const std::string& RejectText) {
  QMessageBox Box(IconOf(Kind), QApplication::applicationDisplayName(), Text(Message), QMessageBox::NoButton, Parent);
  QPushButton* Accept = Box.addButton(Text(AcceptText), QMessageBox::AcceptRole);
  Box.addButton(Text(RejectText), QMessageBox::RejectRole);
  Box.setDefaultButton(Accept);
  Box.exec();
  return Box.clickedButton() == Accept;
}
