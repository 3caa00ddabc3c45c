#include "SelPathDlg.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QShowEvent>
#include <QTreeView>
#include <QVBoxLayout>

TSelPathDlg::TSelPathDlg(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(QStringLiteral("Select Path"));

  FModel = new QFileSystemModel(this);
  FModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  FModel->setRootPath(QString());
  FModel->setReadOnly(true);

  FShellTreeView1 = new QTreeView(this);
  FShellTreeView1->setObjectName(QStringLiteral("ShellTreeView1"));
  FShellTreeView1->setModel(FModel);
  FShellTreeView1->setHeaderHidden(true);
  for (int column = 1; column < FModel->columnCount(); ++column) FShellTreeView1->hideColumn(column);
  FShellTreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  FShellTreeView1->setMinimumSize(320, 300);
  connect(FShellTreeView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
          &TSelPathDlg::SelectionChanged);

  // Folders read in the background insert and sort rows above the chosen one,
  // which would push it out of view.
  FShowChosenTimer.setSingleShot(true);
  FShowChosenTimer.setInterval(0);
  connect(&FShowChosenTimer, &QTimer::timeout, this, &TSelPathDlg::ShowChosenFolder);
  const auto showChosenLater = [this] {
    if (!FChosenFolder.isEmpty()) FShowChosenTimer.start();
  };
  connect(FModel, &QFileSystemModel::directoryLoaded, this, showChosenLater);
  connect(FModel, &QAbstractItemModel::rowsInserted, this, showChosenLater);
  connect(FModel, &QAbstractItemModel::layoutChanged, this, showChosenLater);
  // The user's own moves in the tree end it.
  FShellTreeView1->installEventFilter(this);
  FShellTreeView1->viewport()->installEventFilter(this);
  connect(FShellTreeView1->verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
          &TSelPathDlg::StopShowingChosenFolder);
  connect(this, &QDialog::finished, this, &TSelPathDlg::StopShowingChosenFolder);

  FPathLabel = new QLabel(this);
  FPathLabel->setObjectName(QStringLiteral("PathLabel"));
  FPathLabel->setTextFormat(Qt::PlainText);
  FPathLabel->setWordWrap(true);

  FNewPathButton = new QPushButton(QStringLiteral("New Path"), this);
  FNewPathButton->setAutoDefault(false);
  FOkButton = new QPushButton(QStringLiteral("OK"), this);
  FOkButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FNewPathButton, &QPushButton::clicked, this, &TSelPathDlg::NewPathClick);
  connect(FOkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FNewPathButton);
  buttons->addStretch();
  buttons->addWidget(FOkButton);
  buttons->addWidget(FCancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FShellTreeView1, 1);
  layout->addWidget(FPathLabel);
  layout->addLayout(buttons);

  SelectionChanged();
}

void TSelPathDlg::SetPath(const QString& Path) {
  const QFileInfo info(Path);
  if (Path.isEmpty() || !info.isDir()) return;
  const QModelIndex index = FModel->index(info.absoluteFilePath());
  if (!index.isValid()) return;
  FChosenFolder = FModel->filePath(index);
  FShellTreeView1->setCurrentIndex(index);
  ShowChosenFolder();
}

void TSelPathDlg::ShowChosenFolder() {
  if (FChosenFolder.isEmpty()) return;
  const QModelIndex index = FModel->index(FChosenFolder);
  if (!index.isValid() || index != FShellTreeView1->currentIndex()) {
    StopShowingChosenFolder();
    return;
  }
  for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent())
    FShellTreeView1->expand(parent);
  FShellTreeView1->scrollTo(index);
}

void TSelPathDlg::StopShowingChosenFolder() {
  FChosenFolder.clear();
  FShowChosenTimer.stop();
}

bool TSelPathDlg::eventFilter(QObject* Watched, QEvent* Event) {
  switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
      StopShowingChosenFolder();
      break;
    default:
      break;
  }
  return QDialog::eventFilter(Watched, Event);
}

QInputDialog* TSelPathDlg::NewPathBox() const { return FNewPathBox.data(); }

QMessageBox* TSelPathDlg::MessageBox() const { return FMessageBox.data(); }

QString TSelPathDlg::GetPath() const {
  const QModelIndex index = FShellTreeView1->currentIndex();
  return index.isValid() ? FModel->filePath(index) : QString();
}

void TSelPathDlg::SelectionChanged() {
  const QString path = GetPath();
  if (path != FChosenFolder) StopShowingChosenFolder();
  FPathLabel->setText(path);
  const bool folder = !path.isEmpty() && QFileInfo(path).isDir();
  FOkButton->setEnabled(folder);
  FNewPathButton->setEnabled(folder);
}

void TSelPathDlg::NewPathClick() {
  if (FNewPathBox) return;
  FNewPathBox = new QInputDialog(this);
  FNewPathBox->setAttribute(Qt::WA_DeleteOnClose);
  FNewPathBox->setInputMode(QInputDialog::TextInput);
  FNewPathBox->setWindowTitle(QStringLiteral("Create Directory Path"));
  FNewPathBox->setLabelText(QStringLiteral("Enter Path Name"));
  // Forgotten as soon as it closes; it deletes itself later.
  connect(FNewPathBox, &QDialog::finished, this, [this] { FNewPathBox.clear(); });
  connect(FNewPathBox, &QInputDialog::textValueSelected, this, [this](const QString& Name) {
    if (!Name.isEmpty()) CreateSubFolder(Name);
  });
  FNewPathBox->open();
}

bool TSelPathDlg::CreateSubFolder(const QString& Name) {
  const QString parent = GetPath();
  if (parent.isEmpty() || !QFileInfo(parent).isDir()) {
    ShowError(QStringLiteral("No folder is selected."));
    return false;
  }
  // The folders of a nested name, "." and empty steps left out.
  QStringList steps;
  bool outside = Name.startsWith(u'/') || Name.startsWith(u'\\') || Name.contains(QChar(0));
  for (const QString& step : Name.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts)) {
    if (step == QStringLiteral(".."))
      outside = true;
    else if (step != QStringLiteral("."))
      steps << step;
  }
  if (outside || Name.trimmed().isEmpty() || steps.isEmpty()) {
    ShowError(QStringLiteral("\"%1\" is no path inside the selected folder: it may not start with \"/\" or \"\\\", "
                             "nor hold \"..\".")
                  .arg(Name));
    return false;
  }
  const QString relative = steps.join(u'/');
  QDir folder(parent);
  const QString path = folder.filePath(relative);
  if (!QFileInfo(path).isDir() && !folder.mkpath(relative)) {
    ShowError(QStringLiteral("The folder %1 could not be made.").arg(QDir::toNativeSeparators(path)));
    return false;
  }
  SetPath(path);
  return true;
}

void TSelPathDlg::ShowError(const QString& Details) {
  if (FMessageBox) FMessageBox->close();
  FMessageBox = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"),
                                QStringLiteral("Unable to create new directory path!"), QMessageBox::Ok, this);
  FMessageBox->setAttribute(Qt::WA_DeleteOnClose);
  FMessageBox->setInformativeText(Details);
  connect(FMessageBox, &QDialog::finished, this, [this] { FMessageBox.clear(); });
  FMessageBox->open();
}

void TSelPathDlg::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (Event->spontaneous()) return;
  // Centred on its owner.
  if (const QWidget* owner = parentWidget()) {
    QRect frame = frameGeometry();
    frame.moveCenter(owner->window()->frameGeometry().center());
    move(frame.topLeft());
  }
  SelectionChanged();
  // The tree has its size only now.
  if (!FChosenFolder.isEmpty()) FShowChosenTimer.start();
}
