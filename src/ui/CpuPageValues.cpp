#include "CpuPageValues.h"

#include <limits>

namespace {

std::string Quoted(const QString& Text) { return "\"" + Text.toStdString() + "\""; }

// Digits of Radix with an optional leading minus (decimal only); false when
// Digits is empty or holds anything else, or the value leaves 32 bits.
bool ReadNumber(const QString& Digits, bool Hex, int64_t& Value) {
  if (Digits.isEmpty()) return false;
  int At = 0;
  bool Negative = false;
  if (!Hex && (Digits[0] == QLatin1Char('-') || Digits[0] == QLatin1Char('+'))) {
    Negative = Digits[0] == QLatin1Char('-');
    At = 1;
  }
  if (At >= Digits.size()) return false;
  Value = 0;
  for (; At < Digits.size(); ++At) {
    const int Digit = Digits[At].isDigit() && Digits[At].unicode() < 128 ? Digits[At].unicode() - '0'
                      : Hex && Digits[At].toUpper() >= QLatin1Char('A') && Digits[At].toUpper() <= QLatin1Char('F')
                          ? Digits[At].toUpper().unicode() - 'A' + 10
                          : -1;
    if (Digit < 0) return false;
    Value = Value * (Hex ? 16 : 10) + Digit;
    if (Value > (int64_t{1} << 33)) Value = int64_t{1} << 33;  // far outside every range below; no overflow
  }
  if (Negative) Value = -Value;
  return true;
}

}  // namespace

int32_t ParseCellText(const QString& Text, bool Hex) {
  const QString Trimmed = Text.trimmed();
  if (Trimmed.isEmpty()) return 0;
  QString Digits = Trimmed;
  const QChar Suffix = Trimmed.back().toUpper();
  if (Suffix == QLatin1Char('H')) {
    Hex = true;
    Digits.chop(1);
  } else if (Suffix == QLatin1Char('T')) {
    Hex = false;
    Digits.chop(1);
  }
  int64_t Value = 0;
  if (!ReadNumber(Digits.trimmed(), Hex, Value))
    throw ECpuValueError(Quoted(Text) + (Hex ? " is not a valid hexadecimal value." : " is not a valid decimal value."));
  // A hexadecimal number fills 32 bits (FFFFFFFF is -1); a decimal one is signed.
  const bool InRange = Hex ? Value <= int64_t{0xFFFFFFFF}
                           : Value >= std::numeric_limits<int32_t>::min() && Value <= std::numeric_limits<int32_t>::max();
  if (!InRange) throw ECpuValueError(Quoted(Text) + " is out of range.");
  return static_cast<int32_t>(static_cast<uint32_t>(Value));
}

uint8_t ParseRegisterText(const QString& Text, bool Hex) {
  int64_t Value = 0;
  if (!ReadNumber(Text.trimmed(), Hex, Value))
    throw ECpuValueError(Quoted(Text) + (Hex ? " is not a valid hexadecimal value." : " is not a valid decimal value."));
  if (Value < 0 || Value > 255)
    throw ECpuValueError("The value " + Quoted(Text) + " is out of range: a register holds " +
                         (Hex ? "00 to FF." : "0 to 255."));
  return static_cast<uint8_t>(Value);
}

QString ByteText(uint8_t Value, bool Hex) {
  return Hex ? QStringLiteral("%1").arg(Value, 2, 16, QLatin1Char('0')).toUpper() : QString::number(Value);
}

QString AddressText(uint32_t Address, bool Hex) {
  return Hex ? QStringLiteral("%1").arg(Address, 4, 16, QLatin1Char('0')).toUpper() : QString::number(Address);
}
