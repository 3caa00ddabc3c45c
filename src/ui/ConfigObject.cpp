#include "ConfigObject.h"

#include <QFile>
#include <QIODevice>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <cmath>

namespace {

// Blanks and control characters at both ends go, as the file format has always
// trimmed them; other white space (a no-break space) is text.
QString TrimLine(const QString& Line) {
  qsizetype first = 0;
  qsizetype last = Line.size();
  while (first < last && Line.at(first).unicode() <= u' ') ++first;
  while (last > first && Line.at(last - 1).unicode() <= u' ') --last;
  return Line.mid(first, last - first);
}

QString Upper(const QString& Text) { return Text.toUpper(); }

// Integer text: an optional sign and decimal digits, in 32-bit range.
bool TextToInteger(const QString& Text, int& Value) {
  static const QRegularExpression IntegerText(QStringLiteral("^[+-]?[0-9]+$"));
  const QString trimmed = TrimLine(Text);
  if (!IntegerText.match(trimmed).hasMatch()) return false;
  bool ok = false;
  const int converted = trimmed.toInt(&ok, 10);
  if (ok) Value = converted;
  return ok;
}

// Lines of a text in UTF-8, or in Latin-1 when it is not valid UTF-8; CR, LF and
// CR LF all end a line.
QStringList SplitLines(const QByteArray& Bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8(Bytes);
  if (utf8.hasError()) text = QString::fromLatin1(Bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  QStringList lines = text.split(u'\n');
  // The line end of the last line ends no further line.
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

QByteArray JoinLines(const QStringList& Lines) {
  QByteArray bytes;
  for (const QString& line : Lines) {
    bytes += line.toUtf8();
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace

EConfigConvertError::EConfigConvertError(const QString& Section, const QString& Key, const QString& Value,
                                         const QString& TypeName)
    : EEmulatorError(QStringLiteral("\"%1\" is not a valid %2 value (section [%3], key %4)")
                         .arg(Value, TypeName, Section, Key)
                         .toStdString()),
      FSection(Section),
      FKey(Key),
      FValue(Value) {}

EConfigFileError::EConfigFileError(const QString& FileName, const QString& Reason)
    : EEmulatorError(QStringLiteral("%1: %2").arg(FileName, Reason).toStdString()), FFileName(FileName) {}

// ---- TNrKeyValuePair -------------------------------------------------------

TNrKeyValuePair::TNrKeyValuePair(const QString& Key, const QString& Value) : FValue(Value) { SetKey(Key); }

void TNrKeyValuePair::SetKey(const QString& Key) {
  if (Key.isEmpty()) return;
  FKey = Key;
  FUpperKey = Upper(Key);
}

void TNrKeyValuePair::Parse(const QString& Line) {
  FValue.clear();
  const QString trimmed = TrimLine(Line);
  if (trimmed.isEmpty()) return;
  const qsizetype equals = trimmed.indexOf(u'=');
  if (equals >= 1) {
    SetKey(TrimLine(trimmed.left(equals)));
    FValue = TrimLine(trimmed.mid(equals + 1));
  } else {
    SetKey(trimmed);
  }
}

QString TNrKeyValuePair::GetText() const { return FKey + u'=' + FValue; }

// ---- TNrKeyValueList -------------------------------------------------------

TNrKeyValueList::TNrKeyValueList(const QString& Name) { SetName(Name); }

void TNrKeyValueList::SetName(const QString& Name) {
  if (Name.isEmpty()) return;
  FName = Name;
  FUpperName = Upper(Name);
}

TNrKeyValuePair* TNrKeyValueList::Items(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return FPairs[static_cast<size_t>(Index)].get();
}

int TNrKeyValueList::IndexOfKey(const QString& Key) const {
  if (Key.isEmpty()) return -1;
  const QString upper = Upper(Key);
  for (int i = 0; i < Count(); ++i)
    if (FPairs[static_cast<size_t>(i)]->GetUpperKey() == upper) return i;
  return -1;
}

QString TNrKeyValueList::GetValue(const QString& Key) const {
  const TNrKeyValuePair* pair = Items(IndexOfKey(Key));
  return pair != nullptr ? pair->GetValue() : QString();
}

void TNrKeyValueList::SetValue(const QString& Key, const QString& Value) {
  if (Key.isEmpty()) return;
  if (TNrKeyValuePair* pair = Items(IndexOfKey(Key))) {
    pair->SetValue(Value);
    return;
  }
  FPairs.push_back(std::make_unique<TNrKeyValuePair>(Key, Value));
}

// ---- TNrKeyValueSections ---------------------------------------------------

int TNrKeyValueSections::IndexOfSection(const QString& Name) const {
  if (Name.isEmpty()) return -1;
  const QString upper = Upper(Name);
  for (int i = 0; i < SectionCount(); ++i)
    if (FSections[static_cast<size_t>(i)]->GetUpperName() == upper) return i;
  return -1;
}

TNrKeyValueList* TNrKeyValueSections::Sections(int Index) const {
  if (Index < 0 || Index >= SectionCount()) return nullptr;
  return FSections[static_cast<size_t>(Index)].get();
}

TNrKeyValueList* TNrKeyValueSections::FindSection(const QString& Name) const {
  return Sections(IndexOfSection(Name));
}

TNrKeyValueList* TNrKeyValueSections::AddSection(const QString& Name) {
  FSections.push_back(std::make_unique<TNrKeyValueList>(Name));
  return FSections.back().get();
}

bool TNrKeyValueSections::KeyExists(const QString& Section, const QString& Key) const {
  if (Section.isEmpty() || Key.isEmpty()) return false;
  const TNrKeyValueList* section = FindSection(Section);
  return section != nullptr && section->IndexOfKey(Key) >= 0;
}

QString TNrKeyValueSections::ReadString(const QString& Section, const QString& Key, const QString& Default) const {
  if (!KeyExists(Section, Key)) return Default;
  return FindSection(Section)->GetValue(Key);
}

void TNrKeyValueSections::WriteString(const QString& Section, const QString& Key, const QString& Value) {
  if (Section.isEmpty() || Key.isEmpty()) return;
  TNrKeyValueList* section = FindSection(Section);
  if (section == nullptr) section = AddSection(Section);
  section->SetValue(Key, Value);
}

int TNrKeyValueSections::ReadInteger(const QString& Section, const QString& Key, int Default) const {
  if (!KeyExists(Section, Key)) return Default;
  const QString text = ReadString(Section, Key, QString());
  int value = 0;
  if (!TextToInteger(text, value)) throw EConfigConvertError(Section, Key, text, QStringLiteral("integer"));
  return value;
}

void TNrKeyValueSections::WriteInteger(const QString& Section, const QString& Key, int Value) {
  WriteString(Section, Key, QString::number(Value));
}

double TNrKeyValueSections::ReadFloat(const QString& Section, const QString& Key, double Default) const {
  if (!KeyExists(Section, Key)) return Default;
  const QString text = ReadString(Section, Key, QString());
  double value = 0;
  if (!TextToFloat(text, value)) throw EConfigConvertError(Section, Key, text, QStringLiteral("real"));
  return value;
}

void TNrKeyValueSections::WriteFloat(const QString& Section, const QString& Key, double Value) {
  WriteString(Section, Key, FloatToText(Value));
}

bool TNrKeyValueSections::ReadBool(const QString& Section, const QString& Key, bool Default) const {
  if (!KeyExists(Section, Key)) return Default;
  const QString text = ReadString(Section, Key, QString());
  int value = 0;
  if (!TextToInteger(text, value)) throw EConfigConvertError(Section, Key, text, QStringLiteral("boolean"));
  return value == 1;
}

void TNrKeyValueSections::WriteBool(const QString& Section, const QString& Key, bool Value) {
  WriteString(Section, Key, Value ? QStringLiteral("1") : QStringLiteral("0"));
}

QString TNrKeyValueSections::FloatToText(double Value) {
  // QString::number always uses '.', never the locale's separator.
  return QString::number(Value, 'g', 15);
}

bool TNrKeyValueSections::TextToFloat(const QString& Text, double& Value) {
  static const QRegularExpression RealText(QStringLiteral("^[+-]?([0-9]+[.,]?[0-9]*|[.,][0-9]+)([eE][+-]?[0-9]+)?$"));
  QString normalised = TrimLine(Text);
  if (!RealText.match(normalised).hasMatch()) return false;
  normalised.replace(u',', u'.');
  bool ok = false;
  const double converted = QLocale::c().toDouble(normalised, &ok);
  if (!ok || !std::isfinite(converted)) return false;
  Value = converted;
  return true;
}

void TNrKeyValueSections::SaveToStrings(QStringList& Lines) const {
  Lines.clear();
  for (const auto& section : FSections) {
    Lines << u'[' + section->GetName() + u']';
    if (section->Count() == 0) continue;
    for (int i = 0; i < section->Count(); ++i) Lines << section->Items(i)->GetText();
    Lines << QString();
  }
}

void TNrKeyValueSections::LoadFromStrings(const QStringList& Lines) {
  Clear();
  QString current;
  for (const QString& line : Lines) {
    const QString trimmed = TrimLine(line);
    if (trimmed.isEmpty()) continue;
    if (trimmed.size() >= 2 && trimmed.startsWith(u'[') && trimmed.endsWith(u']')) {
      const QString name = TrimLine(trimmed.mid(1, trimmed.size() - 2));
      if (!name.isEmpty()) current = name;
      continue;
    }
    if (current.isEmpty()) continue;
    TNrKeyValuePair pair;
    pair.Parse(trimmed);
    WriteString(current, pair.GetKey(), pair.GetValue());
  }
}

bool TNrKeyValueSections::SaveToStream(QIODevice& Stream) const {
  QStringList lines;
  SaveToStrings(lines);
  const QByteArray bytes = JoinLines(lines);
  return Stream.write(bytes) == bytes.size();
}

bool TNrKeyValueSections::LoadFromStream(QIODevice& Stream) {
  if (!Stream.isReadable()) return false;
  const QByteArray bytes = Stream.readAll();
  if (const auto* file = qobject_cast<const QFileDevice*>(&Stream); file != nullptr && file->error() != QFileDevice::NoError)
    return false;
  LoadFromStrings(SplitLines(bytes));
  return true;
}

bool TNrKeyValueSections::SaveToFile(const QString& FileName) const {
  QSaveFile file(FileName);
  if (!file.open(QIODevice::WriteOnly)) throw EConfigFileError(FileName, file.errorString());
  if (!SaveToStream(file)) {
    const QString reason = file.errorString();
    file.cancelWriting();
    throw EConfigFileError(FileName, reason);
  }
  if (!file.commit()) throw EConfigFileError(FileName, file.errorString());
  return true;
}

bool TNrKeyValueSections::LoadFromFile(const QString& FileName) {
  QFile file(FileName);
  if (!file.exists()) return false;
  if (!file.open(QIODevice::ReadOnly)) throw EConfigFileError(FileName, file.errorString());
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) throw EConfigFileError(FileName, file.errorString());
  LoadFromStrings(SplitLines(bytes));
  return true;
}
