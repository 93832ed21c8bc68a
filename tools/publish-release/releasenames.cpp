#include "releasenames.h"

#include <QRegularExpression>
#include <QStringList>

namespace ReleaseNames {

namespace {

bool isWindowsDeviceName(const QString& segment)
{
    // Windows opens the device for these names whatever extension follows.
    static const QRegularExpression device(QStringLiteral("^(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])(\\..*)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return device.match(segment).hasMatch();
}

QString forbiddenCharacter(const QString& segment)
{
    for (const QChar c : segment) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            // Tab and line ends would also break the lines of the MD5 list.
            return QStringLiteral("a control character");
        }
        switch (c.unicode()) {
        case '\\':
            return QStringLiteral("a backslash, which Windows takes as a folder separator");
        case ':':
            return QStringLiteral("a colon (drive letters and alternate streams on Windows)");
        case '<':
        case '>':
        case '"':
        case '|':
        case '?':
        case '*':
            return QStringLiteral("'%1', which Windows does not allow in file names").arg(c);
        case '#':
        case '%':
            return QStringLiteral("'%1', which changes the meaning of the download address").arg(c);
        default:
            break;
        }
    }
    return QString();
}

QString segmentRefusal(const QString& segment)
{
    if (segment.isEmpty()) {
        return QStringLiteral("an empty name");
    }
    if (segment == QLatin1String(".") || segment == QLatin1String("..")) {
        return QStringLiteral("a '%1' segment, which leaves its folder").arg(segment);
    }
    const QString character = forbiddenCharacter(segment);
    if (!character.isEmpty()) {
        return QStringLiteral("'%1' contains %2").arg(segment, character);
    }
    if (segment.startsWith(QLatin1Char('.'))) {
        return QStringLiteral(
                   "'%1' is hidden: the updater passes over hidden files and would never install it")
            .arg(segment);
    }
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' '))) {
        return QStringLiteral("'%1' ends with a dot or a blank, which Windows drops").arg(segment);
    }
    if (isWindowsDeviceName(segment)) {
        return QStringLiteral("'%1' is a device name on Windows").arg(segment);
    }
    return QString();
}

} // namespace

QString fileRefusal(const QString& relativePath)
{
    if (relativePath.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("an absolute path");
    }
    const QStringList segments = relativePath.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        QString reason = segmentRefusal(segment);
        if (!reason.isEmpty()) {
            return reason;
        }
    }
    if (segments.last().toUtf8().size() > MaxTcpFileNameBytes) {
        return QStringLiteral("the file name is longer than the TCP channel carries (%1 bytes)")
            .arg(MaxTcpFileNameBytes);
    }
    const QStringList folders = segments.mid(0, segments.size() - 1);
    if ((QLatin1Char('/') + folders.join(QLatin1Char('/'))).toUtf8().size() > MaxTcpFolderBytes) {
        return QStringLiteral("the folder part is longer than the TCP channel carries (%1 bytes)")
            .arg(MaxTcpFolderBytes);
    }
    return QString();
}

QString folderRefusal(const QString& folder)
{
    if (folder.contains(QLatin1Char('/'))) {
        return QStringLiteral("it must be one folder name, without '/'");
    }
    if (folder == QLatin1String("update.ini")) {
        return QStringLiteral("the manifest update.ini lies beside the release folders");
    }
    return segmentRefusal(folder);
}

QString versionRefusal(const QString& version)
{
    if (version.trimmed().isEmpty()) {
        return QStringLiteral("the version text is empty");
    }
    for (const QChar c : version) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return QStringLiteral("the version text contains a control character");
        }
    }
    // The TCP channel sends versions in 32-byte fields; a longer one would be cut and never match.
    if (version.toUtf8().size() > MaxTcpVersionBytes) {
        return QStringLiteral("the version text is longer than %1 bytes").arg(MaxTcpVersionBytes);
    }
    return QString();
}

bool isUpdaterBookkeeping(const QString& relativePath)
{
    static const QStringList bookkeeping = {
        QStringLiteral("md5.txt"),
        QStringLiteral("update.ini"),
        QStringLiteral("update/update.ini"),
        QStringLiteral("update/updateTmp.ini"),
        QStringLiteral("update/md5Tmp.txt"),
        QStringLiteral("release.manifest"),
        QStringLiteral("release.manifest.sig"),
        QStringLiteral("update/release.manifest"),
        QStringLiteral("update/release.manifest.sig"),
    };
    // Windows takes "Update/MD5.txt" for the same file as "update/md5.txt".
    return bookkeeping.contains(relativePath, Qt::CaseInsensitive);
}

} // namespace ReleaseNames
