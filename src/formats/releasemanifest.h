#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

/// One file of a signed release: where it goes in the installation and what its bytes must be.
struct ReleaseManifestFile
{
    QString path; ///< relative to the installation, '/'-separated, no leading '/'
    qint64 size = 0;
    QByteArray sha256; ///< 32 raw bytes
};

/// The release manifest (`release.manifest`) that the vendor signs: which release it describes and
/// the SHA-256 and size of every file of it. Its signature lies beside it in `release.manifest.sig`
/// as the 64 raw bytes of a detached Ed25519 signature over the manifest's exact bytes.
///
/// The text is UTF-8 with LF line ends:
///
///     release-manifest 1
///     product: 1
///     version: 2.0
///     folder: v2
///     created: 2026-12-08T15:30:00Z
///     expires: 2027-01-07T15:30:00Z
///
///     <sha256 hex>\t<size>\t<path>
///
/// The first line names the format and its version. Header lines follow as `key: value`, each key
/// once and in this order (`expires` is optional), times in ISO 8601 UTC to the second; a blank
/// line ends them. Then one line per file: lower-case hex, a decimal size without leading zeros and
/// the path, sorted by the path's UTF-8 bytes. Every manifest thus has exactly one text, the one
/// serialize() writes. The manifest never lists itself or its signature.
class ReleaseManifest
{
public:
    /// Larger input is refused unread.
    static constexpr qint64 MaxBytes = qint64{16} * 1024 * 1024;
    static constexpr int FormatVersion = 1;
    /// The manifest and its signature, in the HTTP release folder beside md5.txt and in the
    /// installation (and the TCP release folder) under "update/".
    static constexpr const char* FileName = "release.manifest";
    static constexpr const char* SignatureFileName = "release.manifest.sig";

    /// Parses `bytes`; false and a reason in `error` for anything malformed (unknown format
    /// version, missing or repeated field, bad hex, bad size, unsafe, unsorted or repeated path,
    /// more than MaxBytes ...). `out` is only changed on success.
    static bool parse(const QByteArray& bytes, ReleaseManifest& out, QString& error);
    /// The exact bytes that get signed.
    QByteArray serialize() const;
    /// The entry of `path`, or nullptr if the manifest does not list it.
    const ReleaseManifestFile* find(const QString& path) const;
    /// -1, 0 or 1 comparing dotted numeric versions ("1.10" > "1.9"; missing parts count as 0, a
    /// part that is not a number as 0).
    static int compareVersions(const QString& a, const QString& b);
    /// Why `path` cannot be listed in a manifest (not relative, '.' or '..' segments, backslashes,
    /// colons, control characters, the manifest's own files); empty when it can.
    static QString pathRefusal(const QString& path);

    int formatVersion = FormatVersion;
    QString productType;
    QString version;
    QString folder;
    QDateTime created;                  ///< UTC
    QDateTime expires;                  ///< UTC; null = never
    QVector<ReleaseManifestFile> files; ///< sorted by path
};
