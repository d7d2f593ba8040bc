#pragma once

#include <QByteArray>
#include <QString>

// Turning the bytes of a mail into text. Japanese mail is read as the Windows supersets of its charsets
// (CP932 for ISO-2022-JP, Shift_JIS and EUC-JP), since that is what Japanese mailers write: the NEC and IBM
// extended characters (①, ㈱, 髙, 纊) that glibc's iconv rejects come out whole. Other labels go through ICU
// by name. A missing, unknown or plainly wrong label is replaced by a guess: UTF-8, ISO-2022-JP escapes,
// EUC-JP, CP932, and Latin-1 when nothing else fits. Broken input never fails; bad bytes become U+FFFD.
QString decodeCharset(const QByteArray& bytes, const QByteArray& sCharset);

// True for the labels of ISO-2022-JP, Shift_JIS and EUC-JP and their variants.
bool isJapaneseCharset(const QByteArray& sCharset);

// True for a missing label and for placeholders (unknown-8bit, x-unknown, us-ascii) that only a guess reads.
bool isVagueCharset(const QByteArray& sCharset);

// True when the bytes switch into a Japanese character set with an ISO-2022-JP escape sequence.
bool hasIso2022JpEscape(const QByteArray& bytes);

// No byte above 0x7F.
bool isAscii(const QByteArray& bytes);

// Every CR LF, lone CR and lone LF becomes CR LF.
QString toCrLf(const QString& sText);
