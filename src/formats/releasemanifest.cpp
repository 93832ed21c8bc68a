#include "releasemanifest.h"

#include "formats/textfields.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>

using TextFields::isLowerHex;
using TextFields::parseSize;
using TextFields::wholeText;

namespace {

const QByteArray FormatName = QByteArrayLiteral("release-manifest");
constexpr int Sha256Bytes = 32;

const QString KeyProduct = QStringLiteral("product");
const QString KeyVersion = QStringLiteral("version");
const QString KeyFolder = QStringLiteral("folder");
const QString KeyCreated = QStringLiteral("created");
const QString KeyExpires = QStringLiteral("expires");
// The header keys in the one order they are written in, so that a manifest has exactly one text.
const QStringList HeaderKeys = {KeyProduct, KeyVersion, KeyFolder, KeyCreated, KeyExpires};

QString timeText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

QDateTime parseTime(const QString& text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"));
    if (!shape.match(text).hasMatch()) {
        return QDateTime();
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    // "24:00:00" is valid ISO 8601 but would not come back as the same text.
    return time.isValid() && timeText(time) == text ? time.toUTC() : QDateTime();
}

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

bool decodeUtf8(const QByteArray& bytes, QString& text)
{
    QTextCodec::ConverterState state;
    text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

/// The number a version part stands for: its leading digits without leading zeros.
QString versionPartDigits(const QString& part)
{
    const QString trimmed = part.trimmed();
    int end = 0;
    while (end < trimmed.size() && trimmed.at(end).isDigit() && trimmed.at(end).unicode() < 0x80) {
        ++end;
    }
    int start = 0;
    while (start < end && trimmed.at(start) == QLatin1Char('0')) {
        ++start;
    }
    return trimmed.mid(start, end - start);
}

int compareDigits(const QString& a, const QString& b)
{
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

bool pathLess(const ReleaseManifestFile& a, const ReleaseManifestFile& b)
{
    return a.path.toUtf8() < b.path.toUtf8();
}

/// Reads one part of a manifest; each step stops at the first fault and leaves its reason.
class Parser
{
public:
    explicit Parser(const QList<QByteArray>& lines) : m_lines(lines) {}

    bool parse(ReleaseManifest& out) { return readFormatLine(out) && readHeader(out) && readFiles(out); }

    QString error;

private:
    bool fail(const QString& reason)
    {
        error = m_line > 0 ? QStringLiteral("line %1: %2").arg(m_line).arg(reason) : reason;
        return false;
    }

    bool readFormatLine(ReleaseManifest& out)
    {
        m_line = 1;
        const QList<QByteArray> words = m_lines.value(0).split(' ');
        if (words.size() != 2 || words.at(0) != FormatName) {
            return fail(QStringLiteral("not a release manifest (the first line must be \"%1 %2\")")
                            .arg(QString::fromLatin1(FormatName))
                            .arg(ReleaseManifest::FormatVersion));
        }
        const qint64 version = parseSize(words.at(1));
        if (version != ReleaseManifest::FormatVersion) {
            return fail(QStringLiteral("unknown format version \"%1\"").arg(wholeText(words.at(1))));
        }
        out.formatVersion = int(version);
        return true;
    }

    bool readHeader(ReleaseManifest& out)
    {
        QHash<QString, QString> values;
        int lastKey = -1;
        for (m_line = 2; m_line <= m_lines.size() && !m_lines.at(m_line - 1).isEmpty(); ++m_line) {
            const QString line = wholeText(m_lines.at(m_line - 1));
            const int colon = line.indexOf(QStringLiteral(": "));
            const QString key = line.left(colon);
            const QString value = line.mid(colon + 2);
            const int keyIndex = colon > 0 ? int(HeaderKeys.indexOf(key)) : -1;
            if (keyIndex < 0) {
                return fail(QStringLiteral("\"%1\" is not a header line (product, version, folder, "
                                           "created or expires, then \": \" and the value)")
                                .arg(line));
            }
            if (values.contains(key)) {
                return fail(QStringLiteral("%1 is given twice").arg(key));
            }
            if (keyIndex < lastKey) {
                return fail(QStringLiteral("%1 must come before %2").arg(key, HeaderKeys.at(lastKey)));
            }
            lastKey = keyIndex;
            if (value.isEmpty() || value != value.trimmed() || hasControlCharacter(value)) {
                return fail(QStringLiteral("%1 has an empty value, blanks around it or a control character")
                                .arg(key));
            }
            values.insert(key, value);
        }
        for (const QString& key : {KeyProduct, KeyVersion, KeyFolder, KeyCreated}) {
            if (!values.contains(key)) {
                return fail(QStringLiteral("the header has no %1").arg(key));
            }
        }
        out.productType = values.value(KeyProduct);
        out.version = values.value(KeyVersion);
        out.folder = values.value(KeyFolder);
        return readFolder(out.folder) && readTime(values, KeyCreated, out.created) &&
               readTime(values, KeyExpires, out.expires) && checkTimes(out);
    }

    bool readFolder(const QString& folder)
    {
        if (folder.contains(QLatin1Char('/')) || folder.contains(QLatin1Char('\\')) ||
            folder == QLatin1String(".") || folder == QLatin1String("..")) {
            return fail(QStringLiteral("the folder \"%1\" is not one folder name").arg(folder));
        }
        return true;
    }

    bool readTime(const QHash<QString, QString>& values, const QString& key, QDateTime& time)
    {
        if (!values.contains(key)) {
            time = QDateTime();
            return true;
        }
        time = parseTime(values.value(key));
        if (!time.isValid()) {
            return fail(QStringLiteral("%1 \"%2\" is not a UTC time such as 2026-01-31T12:00:00Z")
                            .arg(key, values.value(key)));
        }
        return true;
    }

    bool checkTimes(const ReleaseManifest& out)
    {
        if (out.expires.isValid() && out.expires <= out.created) {
            return fail(QStringLiteral("it expires before it was made"));
        }
        return true;
    }

    bool readFiles(ReleaseManifest& out)
    {
        out.files.clear();
        QSet<QString> foldedPaths;
        QByteArray previous;
        // The text ends with a line feed, so the last split part is empty and no line.
        for (++m_line; m_line < m_lines.size(); ++m_line) {
            ReleaseManifestFile file;
            if (!readFileLine(m_lines.at(m_line - 1), file)) {
                return false;
            }
            const QByteArray key = file.path.toUtf8();
            if (!previous.isNull() && key <= previous) {
                return fail(key == previous ? QStringLiteral("%1 is listed twice").arg(file.path)
                                            : QStringLiteral("%1 is not in sorted order").arg(file.path));
            }
            const QString folded = file.path.toCaseFolded();
            if (foldedPaths.contains(folded)) {
                return fail(QStringLiteral("%1 differs only in case from a path before it").arg(file.path));
            }
            foldedPaths.insert(folded);
            previous = key;
            out.files.append(file);
        }
        m_line = 0;
        if (out.files.isEmpty()) {
            return fail(QStringLiteral("it lists no file"));
        }
        return true;
    }

    bool readFileLine(const QByteArray& line, ReleaseManifestFile& file)
    {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3) {
            return fail(
                QStringLiteral("a file line has the SHA-256, the size and the path, separated by tabs"));
        }
        if (fields.at(0).size() != 2 * Sha256Bytes || !isLowerHex(fields.at(0))) {
            return fail(QStringLiteral("the SHA-256 must be 64 lower-case hex digits"));
        }
        file.sha256 = QByteArray::fromHex(fields.at(0));
        file.size = parseSize(fields.at(1));
        if (file.size < 0) {
            return fail(QStringLiteral("the size must be a decimal number of bytes"));
        }
        file.path = wholeText(fields.at(2));
        const QString refusal = ReleaseManifest::pathRefusal(file.path);
        if (!refusal.isEmpty()) {
            return fail(QStringLiteral("the path \"%1\" is refused: %2").arg(file.path, refusal));
        }
        return true;
    }

    const QList<QByteArray>& m_lines;
    int m_line = 0;
};

} // namespace

bool ReleaseManifest::parse(const QByteArray& bytes, ReleaseManifest& out, QString& error)
{
    if (bytes.size() > MaxBytes) {
        error = QStringLiteral("larger than %1 bytes").arg(MaxBytes);
        return false;
    }
    QString text;
    if (!decodeUtf8(bytes, text)) {
        error = QStringLiteral("not UTF-8 text");
        return false;
    }
    if (bytes.contains('\r')) {
        error = QStringLiteral("the lines must end with LF alone");
        return false;
    }
    if (!bytes.endsWith('\n')) {
        error = QStringLiteral("the last line does not end with a line feed");
        return false;
    }
    const QList<QByteArray> lines = bytes.split('\n');
    Parser parser(lines);
    ReleaseManifest parsed;
    if (!parser.parse(parsed)) {
        error = parser.error;
        return false;
    }
    out = parsed;
    return true;
}

QByteArray ReleaseManifest::serialize() const
{
    QByteArray text = FormatName + ' ' + QByteArray::number(formatVersion) + '\n';
    const auto header = [&text](const QString& key, const QString& value) {
        text += key.toUtf8() + ": " + value.toUtf8() + '\n';
    };
    header(KeyProduct, productType);
    header(KeyVersion, version);
    header(KeyFolder, folder);
    header(KeyCreated, timeText(created));
    if (expires.isValid()) {
        header(KeyExpires, timeText(expires));
    }
    text += '\n';
    QVector<ReleaseManifestFile> sorted = files;
    std::stable_sort(sorted.begin(), sorted.end(), pathLess);
    for (const ReleaseManifestFile& file : qAsConst(sorted)) {
        text += file.sha256.toHex() + '\t' + QByteArray::number(file.size) + '\t' + file.path.toUtf8() + '\n';
    }
    return text;
}

const ReleaseManifestFile* ReleaseManifest::find(const QString& path) const
{
    const ReleaseManifestFile wanted{path, 0, QByteArray()};
    const auto it = std::lower_bound(files.cbegin(), files.cend(), wanted, pathLess);
    return it != files.cend() && it->path == path ? &*it : nullptr;
}

int ReleaseManifest::compareVersions(const QString& a, const QString& b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (int i = 0; i < std::max(left.size(), right.size()); ++i) {
        const int order = compareDigits(versionPartDigits(left.value(i)), versionPartDigits(right.value(i)));
        if (order != 0) {
            return order;
        }
    }
    return 0;
}

QString ReleaseManifest::pathRefusal(const QString& path)
{
    if (path.isEmpty()) {
        return QStringLiteral("an empty path");
    }
    if (path.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("an absolute path");
    }
    if (hasControlCharacter(path) || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':'))) {
        return QStringLiteral("a control character, a backslash or a colon");
    }
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")) {
            return QStringLiteral("an empty, '.' or '..' segment");
        }
    }
    // Windows ignores case, so "Update/Release.Manifest" would be the kept manifest as well.
    const bool besideManifest =
        segments.size() == 1 ||
        (segments.size() == 2 && segments.at(0).compare(QLatin1String("update"), Qt::CaseInsensitive) == 0);
    const QString name = besideManifest ? segments.last() : QString();
    if (name.compare(QLatin1String(FileName), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String(SignatureFileName), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("the manifest and its signature are not listed in it");
    }
    return QString();
}
