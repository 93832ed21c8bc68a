#include "patchbuilder.h"

#include "formats/patchapplier.h"
#include "formats/patchmaker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QByteArray digestOf(const QString& path, QCryptographicHash::Algorithm algorithm)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QCryptographicHash hash(algorithm);
    return hash.addData(&file) ? hash.result() : QByteArray();
}

} // namespace

bool PatchBuilder::build(const QStringList& baseFolders, const QVector<ReleaseFile>& files,
                         const QMap<QString, QString>& digests, const QString& releaseFolder)
{
    m_index = PatchIndex();
    m_fullBytes = 0;
    m_patchBytes = 0;
    for (const QString& base : baseFolders) {
        if (!QFileInfo(base).isDir()) {
            m_lastError = QStringLiteral("the delta base %1 is not a folder").arg(base);
            return false;
        }
        for (const ReleaseFile& file : files) {
            if (!patchAgainst(base, file, digests.value(QLatin1Char('/') + file.relativePath),
                              releaseFolder)) {
                return false;
            }
        }
    }
    return true;
}

bool PatchBuilder::patchAgainst(const QString& baseFolder, const ReleaseFile& file, const QString& digest,
                                const QString& releaseFolder)
{
    const QString basePath = QDir(baseFolder).filePath(file.relativePath);
    const QFileInfo base(basePath);
    const int windowLog = PatchMaker::windowLogFor(base.size(), file.size);
    if (!base.isFile() || windowLog > PatchApplier::MaxWindowLog) {
        return true;
    }
    const QString key = QLatin1Char('/') + file.relativePath;
    const QString baseMd5 = QString::fromLatin1(digestOf(basePath, QCryptographicHash::Md5).toHex());
    if (baseMd5.isEmpty() || baseMd5 == digest || m_index.findByMd5(key, baseMd5)) {
        return true;
    }
    QByteArray patch;
    if (!PatchMaker::make(basePath, file.sourcePath, patch, m_lastError)) {
        return false;
    }
    if (double(patch.size()) >= MaxShare * double(file.size)) {
        return true;
    }
    PatchEntry entry;
    entry.path = key;
    entry.baseMd5 = baseMd5;
    entry.patchMd5 = QString::fromLatin1(QCryptographicHash::hash(patch, QCryptographicHash::Md5).toHex());
    entry.baseSha256 = digestOf(basePath, QCryptographicHash::Sha256);
    entry.patchSha256 = QCryptographicHash::hash(patch, QCryptographicHash::Sha256);
    entry.size = patch.size();
    if (!writePatch(QDir(releaseFolder).filePath(PatchIndex::patchLocation(key, baseMd5)), patch)) {
        return false;
    }
    m_index.entries.append(entry);
    m_fullBytes += file.size;
    m_patchBytes += patch.size();
    return true;
}

bool PatchBuilder::writePatch(const QString& path, const QByteArray& patch)
{
    if (!QDir().mkpath(QFileInfo(path).path())) {
        m_lastError = QStringLiteral("cannot create %1").arg(QFileInfo(path).path());
        return false;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(patch) != patch.size() || !out.commit()) {
        m_lastError = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}
