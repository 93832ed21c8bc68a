#pragma once

#include "formats/patchindex.h"
#include "formats/releasemanifest.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

struct DownloadTask;

/// The patch chosen for one file: where to fetch it, where it lands and what it must be.
struct PatchPlan
{
    QString key;            ///< the file's key in the MD5 list
    QString url;            ///< address of the patch
    QString patchPath;      ///< where the patch is downloaded (below the temporary folder)
    QString basePath;       ///< the installed copy the patch applies to
    QString patchMd5;       ///< expected MD5 of the patch; empty for a signed list
    QByteArray patchSha256; ///< expected SHA-256 of the patch; empty without a key
    qint64 size = 0;        ///< exact size of the patch

    bool isValid() const { return !url.isEmpty(); }
};

/// Decides for each file of an HTTP update whether a patch against the installed copy can replace
/// the full download, applies arrived patches and keeps count of what they saved.
///
/// Without a key the patches come from the release's plain delta.txt; with a key only from its
/// signed release.patches, whose signature must verify under a configured key and which must name
/// the accepted manifest's version and folder, and a patch is applied only when its SHA-256 is
/// the listed one. Either way a patch is used only for an installed copy whose own digest is a
/// listed base, and its result must have the MD5 of md5.txt (and, with a key, the manifest's size
/// and SHA-256). Whatever goes wrong with a patch, the file is fetched whole instead: a patch is
/// never worse than no patch, only slower by the bytes it wasted.
class CPatchPlanner : public QObject
{
    Q_OBJECT
public:
    /// `installFolder` and `tempFolder` without their final "/"; `releaseAddress` is the base
    /// address with the release folder, ending in "/".
    CPatchPlanner(const QString& installFolder, const QString& tempFolder, const QString& releaseAddress,
                  QObject* parent = nullptr);

    /// The list files to fetch from the release folder: delta.txt, or with a key the signed list
    /// and its signature.
    static QStringList indexFiles(bool withKey);
    /// Reads the fetched lists from `folder` (and removes them). `manifest` is the accepted signed
    /// manifest, or nullptr without a key. A missing list means a release without patches; a
    /// list that is refused is logged once and no patch is used.
    void readIndex(const QString& folder, const ReleaseManifest* manifest, const QStringList& publicKeys);
    bool hasPatches() const { return !m_index.entries.isEmpty(); }

    /// Whether `task`'s file comes as a patch; if so `fetch` is the transfer of the patch, and
    /// `task` fetches its patch until finishPatch().
    bool choosePatch(const DownloadTask& task, DownloadTask& fetch);
    bool isFetchingPatch(const DownloadTask& task) const;
    /// Applies the arrived patch of `task`, writing its file; false (logged as a warning, the
    /// patch removed) when the file must be fetched whole. `fetchError` is the transfer's failure,
    /// empty when the patch arrived.
    bool finishPatch(const DownloadTask& task, const QString& fetchError);
    /// The log line on how many files came as patches and what they saved; empty when none did.
    QString summary() const;
    /// Removes what is left of the patches' download folder.
    void removeLeftovers() const;

private:
    PatchPlan planFor(const DownloadTask& task);
    bool applyPatch(const PatchPlan& plan, const DownloadTask& task, QString& reason);
    bool checkResult(const PatchPlan& plan, const DownloadTask& task, const QString& md5,
                     const QByteArray& sha256, qint64 size, QString& reason) const;
    bool acceptSigned(const QString& folder, const QStringList& publicKeys, QString& reason);
    void fallBack(const QString& key, const QString& reason);

    QString m_installFolder;
    QString m_tempFolder;
    QString m_releaseAddress;
    PatchIndex m_index;
    ReleaseManifest m_manifest;
    bool m_withKey = false;
    QHash<QString, PatchPlan> m_running; ///< by the target of the task fetching the patch
    QSet<QString> m_failed;
    QStringList m_patched;
    qint64 m_patchBytes = 0;
    qint64 m_savedBytes = 0;
};
