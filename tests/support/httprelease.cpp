#include "support/httprelease.h"

#include "support/files.h"

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
