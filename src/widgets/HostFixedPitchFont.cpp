#include "HostFixedPitchFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QString>
#include <QStringList>

namespace {

bool IsFixedPitchFace(const QString& Family) {
  return !Family.isEmpty() && !QFontDatabase::isPrivateFamily(Family) && QFontDatabase::isFixedPitch(Family) &&
         QFontDatabase::isSmoothlyScalable(Family);
}

QString HostFixedPitchFamily() {
  const QString Desktop = QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
  if (IsFixedPitchFace(Desktop)) return Desktop;
  const QStringList Families = QFontDatabase::families();
  for (const char* Common : {"DejaVu Sans Mono", "Liberation Mono", "Noto Mono", "Courier New"}) {
    const QString Family = QString::fromLatin1(Common);
    if (Families.contains(Family) && IsFixedPitchFace(Family)) return Family;
  }
  for (const QString& Family : Families)
    if (IsFixedPitchFace(Family)) return Family;
  return QString();
}

}  // namespace

QFont HostFixedPitchFont() {
  // The host's fonts do not change while the program runs.
  static const QString Family = HostFixedPitchFamily();
  QFont Font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (!Family.isEmpty()) Font.setFamily(Family);
  Font.setStyleHint(QFont::TypeWriter);
  return Font;
}
