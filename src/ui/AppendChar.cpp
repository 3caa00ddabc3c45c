#include "AppendChar.h"

QString AppendCharIfMissing(const QString& Text, QChar Ch) {
  if (Text.isEmpty() || Text.endsWith(Ch)) return Text;
  return Text + Ch;
}
