#include "formats/textfields.h"

#include <QTextCodec>

#include <algorithm>

namespace TextFields {

qint64 parseSize(const QByteArray& text)
{
    const bool digitsOnly =
        std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
    if (text.isEmpty() || text.size() > MaxSizeDigits || !digitsOnly || (text.size() > 1 && text[0] == '0')) {
        return -1;
    }
    return text.toLongLong();
}

bool isLowerHex(const QByteArray& text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isUtf8(const QByteArray& bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

QString wholeText(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

} // namespace TextFields
