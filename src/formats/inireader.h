#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

/// Reads INI files as plain text, in the syntax that Qt's INI format writes and reads: sections
/// in brackets ("[General]" is the root group, "[%General]" the group General), keys with "%XX"
/// escapes and "\" for "/", values with quotes, backslash escapes and line continuations, ";"
/// comments, a comma making a value a list, and a UTF-8 byte-order mark making values UTF-8
/// (Latin-1 otherwise). The last of repeated keys wins.
///
/// Unlike Qt's reader it never decodes typed values ("@Variant(", "@ByteArray(", "@Rect(" and
/// the like): files that come from a server are data, and decoding crafted binary objects can
/// exhaust the process. Such a value is returned as the text it is, and hasTypedValue() tells
/// readers that must refuse it. A list reads as an empty text, as Qt's conversion of a list to
/// text gives; "@@" at the start of a value stands for one "@".
class IniReader
{
public:
    enum class Status
    {
        Ok,         ///< read (a missing file reads as empty)
        Unreadable, ///< exists but cannot be opened
        TooLarge    ///< larger than the limit given to load(); nothing was parsed
    };

    /// Key and section names compare with `keyCase`: Qt's reader compares them with case on Unix
    /// and without it on Windows.
    explicit IniReader(Qt::CaseSensitivity keyCase = Qt::CaseSensitive) : m_keyCase(keyCase) {}
    explicit IniReader(const QByteArray& data, Qt::CaseSensitivity keyCase = Qt::CaseSensitive);

    /// Reads and parses the file at `path`, at most `maxBytes` of it (no limit when negative).
    Status load(const QString& path, qint64 maxBytes = -1);

    /// The text of "Group/Key" (a key of the root group without a group part); empty when absent.
    QString value(const QString& key) const;

    /// True when some value would have been decoded into a typed object by Qt's INI reader.
    bool hasTypedValue() const { return m_typedValue; }
    /// True when a section header lacks its closing bracket; Qt's reader reports a format error.
    bool hasFormatError() const { return m_formatError; }
    /// True when the bytes hold control characters other than tab, line feed and carriage return:
    /// binary data rather than text.
    bool hasControlBytes() const { return m_controlBytes; }

private:
    void parse(const QByteArray& data);
    void parseSectionHeader(const QByteArray& line);
    void parseKeyLine(const QByteArray& line, int equalsPos);
    QString normalizedKey(const QString& key) const;

    Qt::CaseSensitivity m_keyCase = Qt::CaseSensitive;
    QMap<QString, QString> m_values;
    QString m_section;
    bool m_utf8 = false;
    bool m_typedValue = false;
    bool m_formatError = false;
    bool m_controlBytes = false;
};
