#include "Rspin.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <cmath>

TRSpinEdit::TRSpinEdit(QWidget* Parent) : QAbstractSpinBox(Parent) {
  setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  setAccelerated(false);
  lineEdit()->setText(QStringLiteral("0.0").replace(u'.', DecimalPoint()));
  connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
    if (OnChange) OnChange(*this);
  });
}

QString TRSpinEdit::DecimalPoint() const { return locale().decimalPoint(); }

bool TRSpinEdit::ParseText(const QString& Text, double& Value) const {
  static const QRegularExpression NumberText(QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)$"));
  QString normalised = Text.trimmed();
  normalised.replace(DecimalPoint(), QStringLiteral("."));
  if (!NumberText.match(normalised).hasMatch()) return false;
  bool ok = false;
  const double converted = QLocale::c().toDouble(normalised, &ok);
  if (!ok || !std::isfinite(converted)) return false;
  Value = converted;
  return true;
}

QString TRSpinEdit::FormatValue(double Value) const {
  // Fixed-point without group separators, so that the text always reads back.
  QString text = QString::number(Value, 'f', FDecimalDigits);
  if (text.startsWith(u'-') && text.toDouble() == 0) text.remove(0, 1);  // no "-0.00"
  return text.replace(u'.', DecimalPoint());
}

double TRSpinEdit::GetValue() const {
  double value = 0;
  return ParseText(lineEdit()->text(), value) ? value : FMinValue;
}

void TRSpinEdit::SetValue(double Value) { lineEdit()->setText(FormatValue(CheckValue(Value))); }

void TRSpinEdit::SetDecimalDigits(int Value) { FDecimalDigits = std::max(Value, 1); }

void TRSpinEdit::SetEditorEnabled(bool Value) {
  FEditorEnabled = Value;
  ApplyEditorState();
}

void TRSpinEdit::ApplyEditorState() { lineEdit()->setReadOnly(isReadOnly() || !FEditorEnabled); }

double TRSpinEdit::CheckValue(double Value) const {
  if (FMaxValue == FMinValue) return Value;
  if (Value < FMinValue) return FMinValue;
  if (Value > FMaxValue) return FMaxValue;
  return Value;
}

bool TRSpinEdit::IsValidChar(QChar Key) const {
  const char16_t code = Key.unicode();
  if (!FEditorEnabled) return code < 32 && code != 8;
  if (code < 32) return code != 13;
  return QString(Key) == DecimalPoint() || Key == u'.' || Key == u'+' || Key == u'-' || (Key >= u'0' && Key <= u'9');
}

void TRSpinEdit::UpClick() {
  if (isReadOnly()) {
    QApplication::beep();
    return;
  }
  SetValue(GetValue() + FIncrement);
}

void TRSpinEdit::DownClick() {
  if (isReadOnly()) {
    QApplication::beep();
    return;
  }
  SetValue(GetValue() - FIncrement);
}

void TRSpinEdit::stepBy(int Steps) {
  for (; Steps > 0; --Steps) UpClick();
  for (; Steps < 0; ++Steps) DownClick();
}

QAbstractSpinBox::StepEnabled TRSpinEdit::stepEnabled() const {
  // Read-only too: a click there beeps.
  return StepUpEnabled | StepDownEnabled;
}

QValidator::State TRSpinEdit::validate(QString& Input, int&) const {
  // A number on its way: "", "-", "." or "1." may still become one.
  static const QRegularExpression PartialText(QStringLiteral("^[+-]?[0-9]*\\.?[0-9]*$"));
  QString normalised = Input.trimmed();
  normalised.replace(DecimalPoint(), QStringLiteral("."));
  if (!PartialText.match(normalised).hasMatch()) return QValidator::Invalid;
  double value = 0;
  return ParseText(Input, value) ? QValidator::Acceptable : QValidator::Intermediate;
}

void TRSpinEdit::keyPressEvent(QKeyEvent* Event) {
  const int key = Event->key();
  // These keys act as keys, whatever text they carry: Enter goes to the dialog's
  // default button, Delete edits, Tab and Escape leave, and a key with Ctrl or
  // Alt is a shortcut (select all, copy, paste; what is pasted is checked).
  const bool shortcut = (Event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
  const bool characterKey = !shortcut && key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Delete &&
                            key != Qt::Key_Tab && key != Qt::Key_Backtab && key != Qt::Key_Escape;
  if (characterKey && !Event->text().isEmpty()) {
    for (const QChar character : Event->text()) {
      if (!IsValidChar(character)) {
        Event->accept();
        QApplication::beep();
        return;
      }
    }
  }
  QAbstractSpinBox::keyPressEvent(Event);
}

void TRSpinEdit::focusOutEvent(QFocusEvent* Event) {
  double value = 0;
  if (!ParseText(lineEdit()->text(), value) || CheckValue(value) != value) SetValue(GetValue());
  QAbstractSpinBox::focusOutEvent(Event);
}

void TRSpinEdit::changeEvent(QEvent* Event) {
  if (Event->type() == QEvent::ReadOnlyChange) ApplyEditorState();
  QAbstractSpinBox::changeEvent(Event);
}

QSize TRSpinEdit::sizeHint() const {
  ensurePolished();
  const QFontMetrics metrics(fontMetrics());
  int width = 0;
  for (const double bound : {FMinValue, FMaxValue})
    width = std::max(width, metrics.horizontalAdvance(FormatValue(bound) + u' '));
  width = std::max(width, metrics.horizontalAdvance(QStringLiteral("0.00 "))) + 2;
  const int height = lineEdit()->sizeHint().height();
  QStyleOptionSpinBox option;
  initStyleOption(&option);
  return style()->sizeFromContents(QStyle::CT_SpinBox, &option, QSize(width, height), this);
}

QSize TRSpinEdit::minimumSizeHint() const { return sizeHint(); }
