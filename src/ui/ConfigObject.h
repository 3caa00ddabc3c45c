// The program's key/value store: named sections of Key=Value pairs with typed
// reads and writes, and its plain text form. The settings file and the TTY key
// map are kept in it. Section names and keys compare without regard to letter
// case (beyond ASCII too); sections and pairs keep the order and the spelling in
// which they were first written. Main thread only: there is no locking.
//
// Text form: a "[Name]" line per section, then one Key=Value line per pair and
// one empty line after a section that has pairs; CR LF line ends, UTF-8. No
// comments, quoting or escaping. Reading accepts CR, LF or CR LF, and a file that
// is not valid UTF-8 is taken as Latin-1 (files of the program's older versions
// were written in the host's 8-bit character set).
//
// Real numbers are written with a '.' whatever the locale; reading also takes the
// ',' that older versions wrote under a locale with a decimal comma.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "EmulatorError.h"

class QIODevice;

// A stored value that its typed read cannot convert. It names the section and
// the key, so a reader can report the one bad key and go on with the others.
class EConfigConvertError : public EEmulatorError {
 public:
  EConfigConvertError(const QString& Section, const QString& Key, const QString& Value, const QString& TypeName);

  const QString& GetSection() const { return FSection; }
  const QString& GetKey() const { return FKey; }
  const QString& GetValue() const { return FValue; }

 private:
  QString FSection;
  QString FKey;
  QString FValue;
};

// A store file that cannot be opened, read or written.
class EConfigFileError : public EEmulatorError {
 public:
  EConfigFileError(const QString& FileName, const QString& Reason);

  const QString& GetFileName() const { return FFileName; }

 private:
  QString FFileName;
};

class TNrKeyValuePair {
 public:
  TNrKeyValuePair() = default;
  TNrKeyValuePair(const QString& Key, const QString& Value);

  const QString& GetKey() const { return FKey; }
  // The key upper-cased; every comparison uses it.
  const QString& GetUpperKey() const { return FUpperKey; }
  // An empty key changes nothing.
  void SetKey(const QString& Key);
  const QString& GetValue() const { return FValue; }
  void SetValue(const QString& Value) { FValue = Value; }

  // Takes one "Key=Value" line: both sides trimmed, the value empty when the "="
  // ends the line. A line without "=", or starting with it, is all key.
  void Parse(const QString& Line);
  QString GetText() const;

 private:
  QString FKey;
  QString FUpperKey;
  QString FValue;
};

class TNrKeyValueList {
 public:
  TNrKeyValueList() = default;
  explicit TNrKeyValueList(const QString& Name);
  TNrKeyValueList(const TNrKeyValueList&) = delete;
  TNrKeyValueList& operator=(const TNrKeyValueList&) = delete;

  void Clear() { FPairs.clear(); }
  const QString& GetName() const { return FName; }
  const QString& GetUpperName() const { return FUpperName; }
  // An empty name changes nothing.
  void SetName(const QString& Name);

  int Count() const { return static_cast<int>(FPairs.size()); }
  // The pair at Index; null outside 0..Count()-1.
  TNrKeyValuePair* Items(int Index) const;
  // -1 when absent or when Key is empty.
  int IndexOfKey(const QString& Key) const;
  // Empty when the key is absent.
  QString GetValue(const QString& Key) const;
  // Changes the existing pair in place or appends one; an empty key is ignored.
  void SetValue(const QString& Key, const QString& Value);

 private:
  std::vector<std::unique_ptr<TNrKeyValuePair>> FPairs;
  QString FName;
  QString FUpperName;
};

class TNrKeyValueSections {
 public:
  TNrKeyValueSections() = default;
  TNrKeyValueSections(const TNrKeyValueSections&) = delete;
  TNrKeyValueSections& operator=(const TNrKeyValueSections&) = delete;

  void Clear() { FSections.clear(); }
  int SectionCount() const { return static_cast<int>(FSections.size()); }
  // -1 when absent or when Name is empty.
  int IndexOfSection(const QString& Name) const;
  // The section at Index; null outside 0..SectionCount()-1.
  TNrKeyValueList* Sections(int Index) const;
  TNrKeyValueList* FindSection(const QString& Name) const;

  // False when either name is empty or the section or key is absent.
  bool KeyExists(const QString& Section, const QString& Key) const;

  // The stored value when the key exists (an empty one too), else Default.
  QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
  // Ignored when Section or Key is empty; creates the section when needed.
  void WriteString(const QString& Section, const QString& Key, const QString& Value);

  // Typed reads give Default for an absent key and throw EConfigConvertError for
  // a stored text that is not of their type (an empty stored value included).
  // Integers are 32-bit decimal with an optional sign.
  int ReadInteger(const QString& Section, const QString& Key, int Default) const;
  void WriteInteger(const QString& Section, const QString& Key, int Value);
  double ReadFloat(const QString& Section, const QString& Key, double Default) const;
  // Up to 15 significant digits, '.' as decimal separator.
  void WriteFloat(const QString& Section, const QString& Key, double Value);
  // True exactly when the stored integer is 1 ("2" and "-1" read as false).
  bool ReadBool(const QString& Section, const QString& Key, bool Default) const;
  // "1" or "0".
  void WriteBool(const QString& Section, const QString& Key, bool Value);

  // The text form as lines (Lines is emptied first).
  void SaveToStrings(QStringList& Lines) const;
  // Replaces the whole store by what the lines hold.
  void LoadFromStrings(const QStringList& Lines);
  // True when every byte was written.
  bool SaveToStream(QIODevice& Stream) const;
  // Reads the device to its end; true when it could be read.
  bool LoadFromStream(QIODevice& Stream);

  // Writes the file anew, atomically: until the new text is complete on disk the
  // old file stays as it was, so a failed or interrupted write never leaves half
  // a file. Throws EConfigFileError when the file cannot be written; true when
  // it was.
  bool SaveToFile(const QString& FileName) const;
  // False when the file does not exist; throws EConfigFileError when it exists
  // but cannot be read.
  bool LoadFromFile(const QString& FileName);

  // The text of a real number as WriteFloat stores it.
  static QString FloatToText(double Value);
  // Reads "1.25", "-3", "1e-5", and the older "1,25". False for anything else.
  static bool TextToFloat(const QString& Text, double& Value);

 private:
  TNrKeyValueList* AddSection(const QString& Name);

  std::vector<std::unique_ptr<TNrKeyValueList>> FSections;
};
