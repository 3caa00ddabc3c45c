// The numbers typed on the CPU page and in the registers dialog: memory cells
// and register bytes, in hexadecimal or decimal, and the texts they are shown as.
#pragma once

#include <QString>
#include <cstdint>
#include <stdexcept>
#include <string>

// Text that is not a number of the radix it is read in, or a number the edit
// cannot take. The message says which, for the user.
class ECpuValueError : public std::runtime_error {
 public:
  explicit ECpuValueError(const std::string& Message) : std::runtime_error(Message) {}
};

// A memory cell's text as the memory grid reads it. Empty text is 0. A last
// character "H" or "h" reads the digits before it as hexadecimal, "T" or "t" as
// decimal; otherwise the whole text is read in the display radix (Hex). Hex
// digits are read as a 32-bit number (up to eight digits), decimal ones as a
// signed 32-bit number. The caller stores the low 8 bits: 1FF stores FF, -1
// stores 255, 300 stores 44. Throws ECpuValueError for anything else.
int32_t ParseCellText(const QString& Text, bool Hex);

// A register byte as the registers dialog reads it: the digits in the radix
// (surrounding blanks ignored), and a value from 0 to 255. Throws ECpuValueError
// for text that is not a number and for a number outside 0..255.
uint8_t ParseRegisterText(const QString& Text, bool Hex);

// A byte as the CPU page shows it: two upper-case hexadecimal digits, or
// decimal without padding.
QString ByteText(uint8_t Value, bool Hex);
// An address: four upper-case hexadecimal digits, or decimal without padding.
QString AddressText(uint32_t Address, bool Hex);
