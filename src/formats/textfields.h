#pragma once

#include <QByteArray>
#include <QString>

/// Fields of the line-based texts the release's lists are written in (the signed manifest and the
/// patch lists), read strictly so that every list has exactly one text.
namespace TextFields {

/// Eighteen digits stay below the largest qint64.
constexpr int MaxSizeDigits = 18;

/// A decimal size without sign or leading zeros; -1 when `text` is not one.
qint64 parseSize(const QByteArray& text);
/// True when `text` is only lower-case hex digits.
bool isLowerHex(const QByteArray& text);
/// True when `bytes` are valid UTF-8 as a whole.
bool isUtf8(const QByteArray& bytes);
/// The whole of `bytes` as text; QString::fromUtf8(QByteArray) would stop at a NUL byte.
QString wholeText(const QByteArray& bytes);

} // namespace TextFields
