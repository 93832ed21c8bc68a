#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

/// One patch of a release: the bytes that turn one earlier version of a file into this release's.
struct PatchEntry
{
    QString path;           ///< key form of the MD5 list: "/" and the path below the release folder
    QString baseMd5;        ///< lower-case hex MD5 of the earlier version
    QString patchMd5;       ///< lower-case hex MD5 of the patch (plain list only)
    QByteArray baseSha256;  ///< 32 raw bytes (signed list only)
    QByteArray patchSha256; ///< 32 raw bytes (signed list only)
    qint64 size = 0;        ///< bytes of the patch
};

/// The patches of a release, in two texts that clients older than patches never fetch.
///
/// The plain list `delta.txt` lies beside md5.txt; one line per patch, tab-separated:
///
///     <base md5>\t<patch md5>\t<patch size>\t<path>
///
/// The signed list `release.patches` (with its detached signature `release.patches.sig`, made with
/// the key of release.manifest) binds patches to one release:
///
///     release-patches 2
///     version: 2.0
///     folder: v2
///
///     <base sha256>\t<patch sha256>\t<patch size>\t<path>
///
/// Digests are lower-case hex, sizes decimal without leading zeros, paths as in md5.txt (plain)
/// or as in the release manifest (signed). Lines are sorted by path and then base digest, each
/// pair once. Both are LF-terminated UTF-8; anything else refuses the whole list. A patch of
/// path P against a base with MD5 M lies at `.delta/M/P.zst` below the release folder.
class PatchIndex
{
public:
    static constexpr qint64 MaxBytes = qint64{16} * 1024 * 1024;
    static constexpr int SignedFormatVersion = 2;
    static constexpr const char* PlainFileName = "delta.txt";
    static constexpr const char* SignedFileName = "release.patches";
    static constexpr const char* SignedSignatureFileName = "release.patches.sig";
    static constexpr const char* FolderName = ".delta";

    /// False and a reason in `error` for anything malformed; `out` is only changed on success.
    static bool parsePlain(const QByteArray& bytes, PatchIndex& out, QString& error);
    static bool parseSigned(const QByteArray& bytes, PatchIndex& out, QString& error);
    QByteArray serializePlain() const;
    QByteArray serializeSigned() const;

    /// The patch of `path` against the base with this MD5 (plain) or SHA-256 (signed), or nullptr.
    const PatchEntry* findByMd5(const QString& path, const QString& baseMd5) const;
    const PatchEntry* findBySha256(const QString& path, const QByteArray& baseSha256) const;
    bool hasPath(const QString& path) const;
    /// Where the patch of `path` (key form) against `baseMd5` lies, relative to the release folder.
    static QString patchLocation(const QString& path, const QString& baseMd5);

    QString version; ///< signed list only
    QString folder;  ///< signed list only
    QVector<PatchEntry> entries;
};
