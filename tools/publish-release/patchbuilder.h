#pragma once

#include "releasescan.h"

#include "formats/patchindex.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// Writes the patches of a new release against earlier versions of it: for every file that differs
/// from its namesake in a base folder (an earlier source folder or published release folder), a
/// zstd patch at `.delta/<MD5 of the base>/<path>.zst` below the release folder, kept only when it
/// is smaller than MaxShare of the full file. Each base version of a file gets one patch, however
/// many base folders hold it.
class PatchBuilder
{
public:
    /// A patch must save at least 40 % of the download to be worth a second request.
    static constexpr double MaxShare = 0.6;

    /// Makes the patches of `files` (with their MD5s by list key) against every folder of
    /// `baseFolders` into `releaseFolder`; false and a reason in lastError() when a base is not a
    /// folder or a patch cannot be written.
    bool build(const QStringList& baseFolders, const QVector<ReleaseFile>& files,
               const QMap<QString, QString>& digests, const QString& releaseFolder);

    /// The patches written, for delta.txt and the signed list.
    const PatchIndex& index() const { return m_index; }
    /// Sum of the full sizes of the files that got a patch, per patch.
    qint64 fullBytes() const { return m_fullBytes; }
    qint64 patchBytes() const { return m_patchBytes; }
    QString lastError() const { return m_lastError; }

private:
    bool patchAgainst(const QString& baseFolder, const ReleaseFile& file, const QString& digest,
                      const QString& releaseFolder);
    bool writePatch(const QString& path, const QByteArray& patch);

    PatchIndex m_index;
    qint64 m_fullBytes = 0;
    qint64 m_patchBytes = 0;
    QString m_lastError;
};
