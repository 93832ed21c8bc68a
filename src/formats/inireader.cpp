#include "formats/inireader.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <array>

namespace {

constexpr std::array<const char*, 6> TypedPrefixes = {"@ByteArray(", "@Variant(", "@DateTime(",
                                                      "@Rect(",      "@Size(",    "@Point("};

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isControlByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t' && !isLineEnd(c)) || byte == 0x7f;
}

/// One logical line: where it starts in the data, its bytes and its first unquoted "=" (-1 when
/// it has none). Quoted line breaks and escaped line ends continue a line; a ";" outside quotes
/// ends it, and a line starting with ";" is skipped.
struct LogicalLine
{
    QByteArray text;
    int equalsPos = -1;
};

bool nextLine(const QByteArray& data, int& pos, LogicalLine& line)
{
    const int size = data.size();
    while (pos < size && (isBlank(data.at(pos)) || isLineEnd(data.at(pos)))) {
        ++pos;
    }
    int start = pos;
    int equalsPos = -1;
    bool inQuotes = false;
    int i = start;
    while (i < size) {
        const char c = data.at(i);
        if (c == ';' && i == start) {
            while (i < size && !isLineEnd(data.at(i))) {
                ++i;
            }
            while (i < size && isLineEnd(data.at(i))) {
                ++i;
            }
            start = i;
            continue;
        }
        if ((c == ';' || isLineEnd(c)) && !inQuotes) {
            break;
        }
        ++i;
        if (c == '=' && !inQuotes && equalsPos < 0) {
            equalsPos = i - 1 - start;
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == '\\' && i < size) {
            const char escaped = data.at(i++);
            // "\" before CR LF or LF CR continues the line over both bytes.
            if (i < size && isLineEnd(escaped) && isLineEnd(data.at(i)) && data.at(i) != escaped) {
                ++i;
            }
        }
    }
    pos = i;
    line.text = data.mid(start, i - start);
    line.equalsPos = equalsPos;
    return !line.text.isEmpty();
}

/// A key or section name: "\" stands for "/", "%XX" and "%UXXXX" for the character with that
/// hexadecimal code; other bytes are Latin-1.
QString unescapeKey(const QByteArray& key)
{
    QString result;
    int i = 0;
    while (i < key.size()) {
        const char c = key.at(i);
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c == '%' && i + 1 < key.size()) {
            const bool wide = key.at(i + 1) == 'U';
            const int first = wide ? i + 2 : i + 1;
            const int digits = wide ? 4 : 2;
            int code = 0;
            bool valid = first + digits <= key.size();
            for (int d = 0; valid && d < digits; ++d) {
                const int value = hexValue(key.at(first + d));
                valid = value >= 0;
                code = code * 16 + value;
            }
            if (valid) {
                result += QChar(static_cast<ushort>(code));
                i = first + digits;
                continue;
            }
        }
        result += QLatin1Char(c);
        ++i;
    }
    return result;
}

/// Splits and unescapes a value: quotes group text (commas and spaces inside are kept), an
/// unquoted comma separates list elements, backslash escapes as in C (\a \b \f \n \r \t \v \" \?
/// \' \\, \x hex, octal), a backslash before a line end continues the value, and unquoted blanks
/// at either end of an element are dropped.
class ValueParser
{
public:
    ValueParser(const QByteArray& text, bool utf8) : m_text(text), m_utf8(utf8) {}

    /// The elements; more than one when the value is a list.
    QStringList parse()
    {
        skipBlanks();
        while (m_pos < m_text.size()) {
            const char c = m_text.at(m_pos);
            if (c == '\\') {
                ++m_pos;
                escape();
                m_keepFrom = m_current.size();
            } else if (c == '"') {
                ++m_pos;
                m_quoted = true;
                m_inQuotes = !m_inQuotes;
                if (!m_inQuotes) {
                    skipBlanks();
                }
            } else if (c == ',' && !m_inQuotes) {
                ++m_pos;
                endElement();
                skipBlanks();
            } else {
                appendRun();
            }
        }
        endElement();
        return m_elements;
    }

private:
    void skipBlanks()
    {
        while (m_pos < m_text.size() && isBlank(m_text.at(m_pos))) {
            ++m_pos;
        }
        m_keepFrom = m_current.size();
    }

    void appendRun()
    {
        int end = m_pos + 1;
        while (end < m_text.size() && m_text.at(end) != '\\' && m_text.at(end) != '"' &&
               m_text.at(end) != ',') {
            ++end;
        }
        const QByteArray run = m_text.mid(m_pos, end - m_pos);
        m_current += m_utf8 ? QString::fromUtf8(run) : QString::fromLatin1(run);
        m_pos = end;
    }

    void escape()
    {
        if (m_pos >= m_text.size()) {
            return;
        }
        const char c = m_text.at(m_pos++);
        static constexpr std::array<std::array<char, 2>, 11> simple = {{{'a', '\a'},
                                                                        {'b', '\b'},
                                                                        {'f', '\f'},
                                                                        {'n', '\n'},
                                                                        {'r', '\r'},
                                                                        {'t', '\t'},
                                                                        {'v', '\v'},
                                                                        {'"', '"'},
                                                                        {'?', '?'},
                                                                        {'\'', '\''},
                                                                        {'\\', '\\'}}};
        for (const auto& pair : simple) {
            if (c == pair[0]) {
                m_current += QLatin1Char(pair[1]);
                return;
            }
        }
        if (c == 'x' && m_pos < m_text.size() && hexValue(m_text.at(m_pos)) >= 0) {
            appendCode(16);
        } else if (c >= '0' && c <= '7') {
            --m_pos;
            appendCode(8);
        } else if (isLineEnd(c) && m_pos < m_text.size() && isLineEnd(m_text.at(m_pos)) &&
                   m_text.at(m_pos) != c) {
            ++m_pos;
        }
        // Any other escaped character is dropped together with its backslash.
    }

    void appendCode(int base)
    {
        uint code = 0;
        while (m_pos < m_text.size()) {
            const int digit = hexValue(m_text.at(m_pos));
            if (digit < 0 || digit >= base) {
                break;
            }
            code = code * static_cast<uint>(base) + static_cast<uint>(digit);
            ++m_pos;
        }
        m_current += QChar(static_cast<ushort>(code & 0xffff));
    }

    void endElement()
    {
        if (!m_quoted) {
            int end = m_current.size();
            while (end > m_keepFrom && (m_current.at(end - 1) == QLatin1Char(' ') ||
                                        m_current.at(end - 1) == QLatin1Char('\t'))) {
                --end;
            }
            m_current.truncate(end);
        }
        m_elements.append(m_current);
        m_current.clear();
        m_quoted = false;
        m_keepFrom = 0;
    }

    const QByteArray& m_text;
    const bool m_utf8;
    int m_pos = 0;
    int m_keepFrom = 0;
    bool m_inQuotes = false;
    bool m_quoted = false;
    QString m_current;
    QStringList m_elements;
};

bool isTyped(const QString& element)
{
    if (!element.startsWith(QLatin1Char('@')) || !element.endsWith(QLatin1Char(')'))) {
        return false;
    }
    for (const char* prefix : TypedPrefixes) {
        if (element.startsWith(QLatin1String(prefix))) {
            return true;
        }
    }
    return element == QLatin1String("@Invalid()");
}

} // namespace

IniReader::IniReader(const QByteArray& data, Qt::CaseSensitivity keyCase) : m_keyCase(keyCase)
{
    parse(data);
}

IniReader::Status IniReader::load(const QString& path, qint64 maxBytes)
{
    *this = IniReader(m_keyCase);
    if (!QFileInfo::exists(path)) {
        return Status::Ok;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Status::Unreadable;
    }
    const QByteArray data = maxBytes < 0 ? file.readAll() : file.read(maxBytes + 1);
    if (maxBytes >= 0 && data.size() > maxBytes) {
        return Status::TooLarge;
    }
    parse(data);
    return Status::Ok;
}

QString IniReader::normalizedKey(const QString& key) const
{
    return m_keyCase == Qt::CaseInsensitive ? key.toLower() : key;
}

QString IniReader::value(const QString& key) const
{
    return m_values.value(normalizedKey(key));
}

void IniReader::parse(const QByteArray& data)
{
    int pos = 0;
    if (data.startsWith("\xef\xbb\xbf")) {
        m_utf8 = true;
        pos = 3;
    }
    for (const char c : data) {
        if (isControlByte(c)) {
            m_controlBytes = true;
            break;
        }
    }
    LogicalLine line;
    while (nextLine(data, pos, line)) {
        if (line.text.startsWith('[')) {
            parseSectionHeader(line.text);
        } else if (line.equalsPos >= 0) {
            parseKeyLine(line.text, line.equalsPos);
        }
    }
}

void IniReader::parseSectionHeader(const QByteArray& line)
{
    const int close = line.indexOf(']');
    if (close < 0) {
        m_formatError = true;
    }
    const QByteArray name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
    if (name.compare("general", Qt::CaseInsensitive) == 0) {
        m_section.clear();
        return;
    }
    m_section = name.compare("%general", Qt::CaseInsensitive) == 0 ? QString::fromLatin1(name.mid(1))
                                                                   : unescapeKey(name);
    m_section += QLatin1Char('/');
}

void IniReader::parseKeyLine(const QByteArray& line, int equalsPos)
{
    int keyEnd = equalsPos;
    while (keyEnd > 0 && isBlank(line.at(keyEnd - 1))) {
        --keyEnd;
    }
    const QString key = m_section + unescapeKey(line.left(keyEnd));
    QStringList elements = ValueParser(line.mid(equalsPos + 1), m_utf8).parse();

    bool typed = false;
    for (const QString& element : qAsConst(elements)) {
        typed = typed || isTyped(element);
    }
    m_typedValue = m_typedValue || typed;

    QString text;
    if (elements.size() == 1) {
        text = elements.first();
        if (!typed && text.startsWith(QLatin1String("@@"))) {
            text.remove(0, 1);
        }
    }
    m_values.insert(normalizedKey(key), text);
}
