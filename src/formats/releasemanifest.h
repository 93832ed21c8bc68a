#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

struct ReleaseManifestFile
{
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

class ReleaseManifest
{
public:
    static constexpr qint64 MaxBytes = qint64{16} * 1024 * 1024;
    static constexpr int FormatVersion = 1;
    static bool parse(const QByteArray& bytes, ReleaseManifest& out, QString& error);
    QByteArray serialize() const;
    const ReleaseManifestFile* find(const QString& path) const;
    static int compareVersions(const QString& a, const QString& b);

    int formatVersion = FormatVersion;
    QString productType;
    QString version;
    QString folder;
    QDateTime created;
    QDateTime expires;
    QVector<ReleaseManifestFile> files;
};
