#pragma once

#include <QByteArray>
#include <QString>
#include <gmime/gmime.h>

// The texts of a mail made Unicode as GMime hands them over: header values with their encoded words, the
// text of a part, HTML, attachment names. The charsets themselves are mdlCharset's business.
namespace mdlMailText {
QByteArray unfolded(const char* sRaw);

// A raw header value made fit for GMime's decoders: unencoded 8-bit text and raw ISO-2022-JP become UTF-8
// (GMime's fallback list reads EUC-JP as CP932 half-width kana), Japanese encoded words become UTF-8 words.
QByteArray preparedHeader(const QByteArray& value);

QString utf8Text(const char* s);

QString partText(GMimePart* part);

// The readable text of an HTML part: tags removed, block elements as line breaks, script and style dropped,
// entities decoded. A phone shows this in place of a missing plain-text part.
QString htmlToText(const QString& sHtml);

// The file name a part carries: Content-Disposition filename, else Content-Type name. The raw header values
// are parsed again so that Japanese names get the same decoding as every other text.
QString partFileName(GMimeParserOptions* options, GMimeObject* part);
} // namespace mdlMailText
