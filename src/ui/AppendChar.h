// Appends a character, such as a path separator, that a text should end with.
#pragma once

#include <QChar>
#include <QString>

// Text followed by Ch, unless Text is empty or already ends with Ch: then Text
// as it is ("" stays "", "/data/" stays "/data/", "/data" becomes "/data/").
QString AppendCharIfMissing(const QString& Text, QChar Ch);
