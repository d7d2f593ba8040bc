#pragma once

#include <QChar>
#include <QString>

// Scrambling of the user IDs and passwords kept in the settings store. There is no key: it only keeps the
// values from being read at a glance. Layout of an encoded value of length L, with k from 1 to 9: k - 1
// fillers, then the value backwards with 3, 6, 9, ... fillers after its characters, then the digit k.

// Answers the input unchanged when it is empty, not single-byte text, or so long (10923 characters and more)
// that its filler counts leave 16 bits.
QString encodePassWord(const QString& sValue);
// Answers the input unchanged when it is not single-byte text, does not end in a digit from 1 to 9, or is too
// long for 16-bit positions (values longer than 145 characters).
QString decodePassWord(const QString& sEncoded);

// A whole number from 1 to iCount (1 when iCount is below 1).
qint16 getRandomNumber(qint16 iCount);
// The iIndex-th filler character (1-based), with the index clamped to the alphabet.
QChar getRandomChar(qint16 iIndex);
// True when the text is not empty and needs one byte per character in the system code page.
bool isSingleByteText(const QString& sText);
