#include "formats/patchindex.h"

#include "formats/releasemanifest.h"
#include "formats/textfields.h"

#include <algorithm>

using TextFields::isUtf8;
using TextFields::parseSize;
using TextFields::wholeText;

namespace {

const QByteArray SignedFormatName = QByteArrayLiteral("release-patches");
constexpr int Md5HexDigits = 32;
constexpr int Sha256HexDigits = 64;
constexpr int FieldCount = 4;

bool isLowerHex(const QByteArray& text, int digits)
{
    return text.size() == digits && TextFields::isLowerHex(text);
}

/// The base digest as text, whichever list the entry came from: the second sort key.
QByteArray baseKey(const PatchEntry& entry)
{
    return entry.baseSha256.isEmpty() ? entry.baseMd5.toLatin1() : entry.baseSha256.toHex();
}

bool entryLess(const PatchEntry& a, const PatchEntry& b)
{
    const QByteArray left = a.path.toUtf8();
    const QByteArray right = b.path.toUtf8();
    return left != right ? left < right : baseKey(a) < baseKey(b);
}

/// The whole text split into lines; false when it is not LF-terminated UTF-8 of a sane size.
bool splitLines(const QByteArray& bytes, QList<QByteArray>& lines, QString& error)
{
    if (bytes.size() > PatchIndex::MaxBytes) {
        error = QStringLiteral("larger than %1 bytes").arg(PatchIndex::MaxBytes);
        return false;
    }
    if (!isUtf8(bytes) || bytes.contains('\r') || (!bytes.isEmpty() && !bytes.endsWith('\n'))) {
        error = QStringLiteral("not UTF-8 text with LF line ends");
        return false;
    }
    lines = bytes.split('\n');
    lines.removeLast();
    return true;
}

/// Reads the patch lines from `first` on, in either form; `isSigned` picks the digests and paths.
bool readEntries(const QList<QByteArray>& lines, int first, bool isSigned, QVector<PatchEntry>& out,
                 QString& error)
{
    out.clear();
    for (int i = first; i < lines.size(); ++i) {
        const auto fail = [&error, i](const QString& reason) {
            error = QStringLiteral("line %1: %2").arg(i + 1).arg(reason);
            return false;
        };
        const QList<QByteArray> fields = lines.at(i).split('\t');
        if (fields.size() != FieldCount) {
            return fail(QStringLiteral("a patch line has two digests, a size and a path, separated by tabs"));
        }
        const int digits = isSigned ? Sha256HexDigits : Md5HexDigits;
        if (!isLowerHex(fields.at(0), digits) || !isLowerHex(fields.at(1), digits)) {
            return fail(QStringLiteral("the digests must be %1 lower-case hex digits").arg(digits));
        }
        PatchEntry entry;
        entry.size = parseSize(fields.at(2));
        if (entry.size < 0) {
            return fail(QStringLiteral("the size must be a decimal number of bytes"));
        }
        const QString path = wholeText(fields.at(3));
        // Both forms must be paths a release manifest could list; the plain form adds its "/".
        const QString relative = isSigned ? path : path.mid(1);
        const QString refusal = ReleaseManifest::pathRefusal(relative);
        if ((!isSigned && !path.startsWith(QLatin1Char('/'))) || !refusal.isEmpty()) {
            return fail(QStringLiteral("the path \"%1\" is refused").arg(path));
        }
        entry.path = QLatin1Char('/') + relative;
        if (isSigned) {
            entry.baseSha256 = QByteArray::fromHex(fields.at(0));
            entry.patchSha256 = QByteArray::fromHex(fields.at(1));
        } else {
            entry.baseMd5 = QString::fromLatin1(fields.at(0));
            entry.patchMd5 = QString::fromLatin1(fields.at(1));
        }
        if (!out.isEmpty() && !entryLess(out.last(), entry)) {
            return fail(QStringLiteral("%1 is not in sorted order or listed twice").arg(path));
        }
        out.append(entry);
    }
    return true;
}

bool readSignedHeader(const QList<QByteArray>& lines, PatchIndex& out, QString& error)
{
    const QByteArray formatLine =
        SignedFormatName + ' ' + QByteArray::number(PatchIndex::SignedFormatVersion);
    if (lines.size() < 4 || lines.at(0) != formatLine) {
        error = QStringLiteral("not a patch list (the first line must be \"%1\")").arg(wholeText(formatLine));
        return false;
    }
    const QByteArray versionKey = QByteArrayLiteral("version: ");
    const QByteArray folderKey = QByteArrayLiteral("folder: ");
    if (!lines.at(1).startsWith(versionKey) || !lines.at(2).startsWith(folderKey) || !lines.at(3).isEmpty()) {
        error = QStringLiteral("the header must be \"version: \", \"folder: \" and a blank line");
        return false;
    }
    out.version = wholeText(lines.at(1).mid(versionKey.size()));
    out.folder = wholeText(lines.at(2).mid(folderKey.size()));
    if (out.version.isEmpty() || out.folder.isEmpty()) {
        error = QStringLiteral("the version or the folder is empty");
        return false;
    }
    return true;
}

} // namespace

bool PatchIndex::parsePlain(const QByteArray& bytes, PatchIndex& out, QString& error)
{
    QList<QByteArray> lines;
    PatchIndex parsed;
    if (!splitLines(bytes, lines, error) || !readEntries(lines, 0, false, parsed.entries, error)) {
        return false;
    }
    out = parsed;
    return true;
}

bool PatchIndex::parseSigned(const QByteArray& bytes, PatchIndex& out, QString& error)
{
    QList<QByteArray> lines;
    PatchIndex parsed;
    if (!splitLines(bytes, lines, error) || !readSignedHeader(lines, parsed, error) ||
        !readEntries(lines, 4, true, parsed.entries, error)) {
        return false;
    }
    out = parsed;
    return true;
}

QByteArray PatchIndex::serializePlain() const
{
    QVector<PatchEntry> sorted = entries;
    std::sort(sorted.begin(), sorted.end(), entryLess);
    QByteArray text;
    for (const PatchEntry& entry : qAsConst(sorted)) {
        text += entry.baseMd5.toLatin1() + '\t' + entry.patchMd5.toLatin1() + '\t' +
                QByteArray::number(entry.size) + '\t' + entry.path.toUtf8() + '\n';
    }
    return text;
}

QByteArray PatchIndex::serializeSigned() const
{
    QVector<PatchEntry> sorted = entries;
    std::sort(sorted.begin(), sorted.end(), entryLess);
    QByteArray text = SignedFormatName + ' ' + QByteArray::number(SignedFormatVersion) + '\n';
    text += "version: " + version.toUtf8() + '\n';
    text += "folder: " + folder.toUtf8() + "\n\n";
    for (const PatchEntry& entry : qAsConst(sorted)) {
        text += entry.baseSha256.toHex() + '\t' + entry.patchSha256.toHex() + '\t' +
                QByteArray::number(entry.size) + '\t' + entry.path.mid(1).toUtf8() + '\n';
    }
    return text;
}

const PatchEntry* PatchIndex::findByMd5(const QString& path, const QString& baseMd5) const
{
    const auto it = std::find_if(entries.cbegin(), entries.cend(), [&](const PatchEntry& entry) {
        return entry.path == path && entry.baseMd5 == baseMd5;
    });
    return it == entries.cend() ? nullptr : &*it;
}

const PatchEntry* PatchIndex::findBySha256(const QString& path, const QByteArray& baseSha256) const
{
    const auto it = std::find_if(entries.cbegin(), entries.cend(), [&](const PatchEntry& entry) {
        return entry.path == path && entry.baseSha256 == baseSha256;
    });
    return it == entries.cend() ? nullptr : &*it;
}

bool PatchIndex::hasPath(const QString& path) const
{
    return std::any_of(entries.cbegin(), entries.cend(),
                       [&path](const PatchEntry& entry) { return entry.path == path; });
}

QString PatchIndex::patchLocation(const QString& path, const QString& baseMd5)
{
    return QLatin1String(FolderName) + QLatin1Char('/') + baseMd5 + path + QStringLiteral(".zst");
}
