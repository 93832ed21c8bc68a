#include "formats/releasemanifest.h"

#include <QList>

bool ReleaseManifest::parse(const QByteArray& bytes, ReleaseManifest& out, QString& error)
{
    if (bytes.size() > MaxBytes) {
        error = QStringLiteral("too large");
        return false;
    }
    out = ReleaseManifest();
    bool sawVersion = false;
    for (const QByteArray& line : bytes.split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        const int space = line.indexOf(' ');
        const QByteArray key = line.left(space);
        const QString value = QString::fromUtf8(line.mid(space + 1));
        if (key == "format") {
            out.formatVersion = value.toInt();
        } else if (key == "product") {
            out.productType = value;
        } else if (key == "version") {
            out.version = value;
            sawVersion = true;
        } else if (key == "folder") {
            out.folder = value;
        } else if (key == "created") {
            out.created = QDateTime::fromString(value, Qt::ISODate);
        } else if (key == "expires") {
            out.expires = QDateTime::fromString(value, Qt::ISODate);
        } else if (key == "file") {
            out.files.append({value.section(QLatin1Char(' '), 2),
                              value.section(QLatin1Char(' '), 1, 1).toLongLong(),
                              QByteArray::fromHex(value.section(QLatin1Char(' '), 0, 0).toLatin1())});
        }
    }
    if (out.formatVersion != FormatVersion || !sawVersion) {
        error = QStringLiteral("bad header");
        return false;
    }
    return true;
}

QByteArray ReleaseManifest::serialize() const
{
    QByteArray out = "format " + QByteArray::number(formatVersion) + "\nproduct " + productType.toUtf8() +
                     "\nversion " + version.toUtf8() + "\nfolder " + folder.toUtf8() + "\ncreated " +
                     created.toString(Qt::ISODate).toUtf8() + "\n";
    if (expires.isValid()) {
        out += "expires " + expires.toString(Qt::ISODate).toUtf8() + "\n";
    }
    for (const ReleaseManifestFile& file : files) {
        out += "file " + file.sha256.toHex() + " " + QByteArray::number(file.size) + " " +
               file.path.toUtf8() + "\n";
    }
    return out;
}

const ReleaseManifestFile* ReleaseManifest::find(const QString& path) const
{
    for (const ReleaseManifestFile& file : files) {
        if (file.path == path) {
            return &file;
        }
    }
    return nullptr;
}

int ReleaseManifest::compareVersions(const QString& a, const QString& b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(left.size(), right.size()); ++i) {
        const qlonglong x = i < left.size() ? left.at(i).toLongLong() : 0;
        const qlonglong y = i < right.size() ? right.at(i).toLongLong() : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}
