#include "support/httprelease.h"

#include "support/files.h"

#include "formats/patchindex.h"
#include "formats/patchmaker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QString md5Hex(const QByteArray& content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

QByteArray md5ListText(const QMap<QString, QByteArray>& files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        text += md5Hex(it.value()).toLatin1() + '\t' + '/' + it.key().toUtf8() + '\n';
    }
    return text;
}

QByteArray manifestText(const QString& folder, const QString& version)
{
    return "[Summary]\nDescription=test release\n[Version]\nFolder=" + folder.toUtf8() +
           "\nVersion=" + version.toUtf8() + "\n";
}

bool writeHttpRelease(const QString& root, const QString& folder, const QString& version,
                      const QMap<QString, QByteArray>& files)
{
    const QString releaseDir = root + QLatin1Char('/') + folder + QLatin1Char('/');
    bool ok = writeFile(root + QStringLiteral("/update.ini"), manifestText(folder, version));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        ok = writeFile(releaseDir + it.key(), it.value()) && ok;
    }
    return writeFile(releaseDir + QStringLiteral("md5.txt"), md5ListText(files)) && ok;
}

bool writeHttpPatch(const QString& root, const QString& folder, const QString& path, const QByteArray& base,
                    const QByteArray& content)
{
    QByteArray patch;
    QString error;
    if (!PatchMaker::make(base, content, patch, error)) {
        return false;
    }
    const QString key = QLatin1Char('/') + path;
    const QString releaseDir = root + QLatin1Char('/') + folder + QLatin1Char('/');
    const QString listPath = releaseDir + QLatin1String(PatchIndex::PlainFileName);
    PatchIndex index;
    if (QFileInfo::exists(listPath) && !PatchIndex::parsePlain(readFile(listPath), index, error)) {
        return false;
    }
    PatchEntry entry;
    entry.path = key;
    entry.baseMd5 = md5Hex(base);
    entry.patchMd5 = md5Hex(patch);
    entry.size = patch.size();
    index.entries.append(entry);
    return writeFile(releaseDir + PatchIndex::patchLocation(key, entry.baseMd5), patch) &&
           writeFile(listPath, index.serializePlain());
}
