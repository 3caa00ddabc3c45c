// An edit with up and down buttons for a real number shown with a fixed number
// of decimals: the printer margins and line spacing of the Ports page.
//
// The edit holds nothing but a number: characters that cannot be part of one are
// refused with a beep, pasted text that is not a number is refused, and leaving
// the control writes the value back clamped to MinValue..MaxValue whenever the
// text is out of range or not a complete number. The number is shown with the
// locale's decimal separator; '.' is always accepted too.
#pragma once

#include <QAbstractSpinBox>
#include <QString>
#include <functional>

class TRSpinEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(TRSpinEdit& Sender)>;

  explicit TRSpinEdit(QWidget* Parent = nullptr);

  // The text as a number; MinValue when it is not one.
  double GetValue() const;
  // Clamped by CheckValue, then shown with DecimalDigits decimals.
  void SetValue(double Value);

  double GetMinValue() const { return FMinValue; }
  void SetMinValue(double Value) { FMinValue = Value; }
  double GetMaxValue() const { return FMaxValue; }
  void SetMaxValue(double Value) { FMaxValue = Value; }
  // The step of the buttons and of the Up and Down keys.
  double GetIncrement() const { return FIncrement; }
  void SetIncrement(double Value) { FIncrement = Value; }
  int GetDecimalDigits() const { return FDecimalDigits; }
  // At least 1.
  void SetDecimalDigits(int Value);
  // Typing allowed; without it the value changes by the buttons and keys only.
  bool GetEditorEnabled() const { return FEditorEnabled; }
  void SetEditorEnabled(bool Value);

  // Value within MinValue..MaxValue; any value when the two are equal.
  double CheckValue(double Value) const;

  // Whether a typed character may go into the text.
  virtual bool IsValidChar(QChar Key) const;
  // Value + Increment, clamped; only a beep when read-only.
  virtual void UpClick();
  // Value - Increment, clamped; only a beep when read-only.
  virtual void DownClick();

  // Called whenever the text changes.
  TNotifyEvent OnChange;

  void stepBy(int Steps) override;
  QValidator::State validate(QString& Input, int& Pos) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  // The text as a number; false when it is not a complete one.
  bool ParseText(const QString& Text, double& Value) const;
  QString FormatValue(double Value) const;
  QString DecimalPoint() const;
  void ApplyEditorState();

  double FMinValue = 0;
  double FMaxValue = 10;
  double FIncrement = 0.1;
  bool FEditorEnabled = true;
  int FDecimalDigits = 2;
};
