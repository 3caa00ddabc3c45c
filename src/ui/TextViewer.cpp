#include "TextViewer.h"

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolBar>

#include "HostFixedPitchFont.h"
#include "MainDialogs.h"

TTextViewer::TTextViewer(QWidget* Parent) : QMainWindow(Parent) {
  setWindowFlag(Qt::Window);
  setObjectName(QStringLiteral("TextViewer"));
  setWindowTitle(QStringLiteral("View Text"));
  resize(640, 480);

  FRichEdit = new QPlainTextEdit(this);
  FRichEdit->setObjectName(QStringLiteral("RichEdit1"));
  FRichEdit->setReadOnly(true);
  // Read-only, but with a caret that the keys move (for the line and column).
  FRichEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  FRichEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
  FRichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FRichEdit->setFont(HostFixedPitchFont());
  setCentralWidget(FRichEdit);

  auto* Tools = addToolBar(QStringLiteral("Find"));
  Tools->setObjectName(QStringLiteral("ToolBar1"));
  Tools->setMovable(false);
  FFindNextAct = new QAction(QStringLiteral("Find Next"), this);
  FFindNextAct->setObjectName(QStringLiteral("FindNextAct"));
  FFindNextAct->setShortcut(QKeySequence(Qt::Key_F3));
  FFindNextAct->setToolTip(QStringLiteral("FInd Next Match"));
  FFindNextAct->setEnabled(false);
  connect(FFindNextAct, &QAction::triggered, this, [this] { FindNext(); });
  Tools->addAction(FFindNextAct);
  Tools->addWidget(new QLabel(QStringLiteral(" Find: "), Tools));
  FFindBox = new QLineEdit(Tools);
  FFindBox->setObjectName(QStringLiteral("FindBox"));
  FFindBox->setMinimumWidth(160);
  FFindBox->installEventFilter(this);
  connect(FFindBox, &QLineEdit::textChanged, this, [this] { UpdateFindNext(); });
  Tools->addWidget(FFindBox);
  FWholeWordsBox = new QCheckBox(QStringLiteral("Whole Words"), Tools);
  FWholeWordsBox->setObjectName(QStringLiteral("WholeWordsBox"));
  Tools->addWidget(FWholeWordsBox);
  FMatchCaseBox = new QCheckBox(QStringLiteral("Match Case"), Tools);
  FMatchCaseBox->setObjectName(QStringLiteral("MatchCaseBox"));
  Tools->addWidget(FMatchCaseBox);

  FFindAct = new QAction(QStringLiteral("Find"), this);
  FFindAct->setObjectName(QStringLiteral("FindAct"));
  FFindAct->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
  connect(FFindAct, &QAction::triggered, this, [this] {
    FFindBox->setFocus();
    FFindBox->selectAll();
  });
  addAction(FFindAct);

  const char* const Captions[] = {"Line", "", "Column", "", "Disk File Name", ""};
  const int Widths[] = {40, 60, 55, 60, 100, 160};
  for (size_t Index = 0; Index < FPanels.size(); ++Index) {
    FPanels[Index] = new QLabel(QString::fromLatin1(Captions[Index]), statusBar());
    FPanels[Index]->setObjectName(QStringLiteral("StatusPanel%1").arg(Index));
    FPanels[Index]->setMinimumWidth(Widths[Index]);
    statusBar()->addWidget(FPanels[Index], Index == 5 ? 1 : 0);
  }
  connect(FRichEdit, &QPlainTextEdit::cursorPositionChanged, this, [this] { UpdateCaretPanels(); });
  connect(FRichEdit, &QPlainTextEdit::selectionChanged, this, [this] { UpdateCaretPanels(); });
  connect(FRichEdit, &QPlainTextEdit::textChanged, this, [this] { UpdateCaretPanels(); });
  UpdateCaretPanels();
}

void TTextViewer::LoadText(const std::vector<uint8_t>& Bytes) {
  QString Text;
  Text.reserve(static_cast<qsizetype>(Bytes.size()));
  for (size_t Index = 0; Index < Bytes.size(); ++Index) {
    const uint8_t Byte = Bytes[Index];
    if (Byte == '\r') {
      if (Index + 1 < Bytes.size() && Bytes[Index + 1] == '\n') ++Index;
      Text += QLatin1Char('\n');
    } else {
      Text += QChar(static_cast<char16_t>(Byte));
    }
  }
  FRichEdit->setPlainText(Text);
  QTextCursor Start = FRichEdit->textCursor();
  Start.movePosition(QTextCursor::Start);
  FRichEdit->setTextCursor(Start);
  UpdateCaretPanels();
}

QString TTextViewer::Text() const { return FRichEdit->toPlainText(); }

void TTextViewer::SetDiskFileName(const QString& Name) { FPanels[5]->setText(Name); }

void TTextViewer::UpdateCaretPanels() {
  const QTextCursor Cursor = FRichEdit->textCursor();
  const QTextBlock Block = FRichEdit->document()->findBlock(Cursor.selectionStart());
  FPanels[1]->setText(QString::number(Block.blockNumber() + 1));
  FPanels[3]->setText(QString::number(Cursor.selectionStart() - Block.position() + 1));
}

void TTextViewer::UpdateFindNext() { FFindNextAct->setEnabled(!FFindBox->text().trimmed().isEmpty()); }

bool TTextViewer::FindNext() {
  const QString Phrase = FFindBox->text();
  if (Phrase.trimmed().isEmpty()) return false;
  QTextDocument::FindFlags Flags;
  if (FWholeWordsBox->isChecked()) Flags |= QTextDocument::FindWholeWords;
  if (FMatchCaseBox->isChecked()) Flags |= QTextDocument::FindCaseSensitively;
  const QTextCursor Cursor = FRichEdit->textCursor();
  const QTextCursor Found = FRichEdit->document()->find(Phrase, Cursor.selectionEnd(), Flags);
  if (Found.isNull()) {
    if (FDialogs != nullptr)
      FDialogs->ShowMessage(this, TMachineMessageKind::Information,
                            "Unable to find search phrase \"" + Phrase.toStdString() + "\".");
    return false;
  }
  FRichEdit->setFocus();
  FRichEdit->setTextCursor(Found);
  return true;
}

bool TTextViewer::eventFilter(QObject* Watched, QEvent* Event) {
  // Enter in the find box searches on and leaves the focus there; the key goes
  // no further, down or up.
  if (Watched == FFindBox && (Event->type() == QEvent::KeyPress || Event->type() == QEvent::KeyRelease)) {
    const auto* Key = static_cast<QKeyEvent*>(Event);
    const bool Enter = Key->key() == Qt::Key_Return || Key->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers Shifts = Key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (Enter && Shifts == Qt::NoModifier) {
      if (Event->type() == QEvent::KeyPress) {
        FindNext();
        FFindBox->setFocus();
      }
      return true;
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}
