#pragma once

#include "releasescan.h"

#include "formats/releasemanifest.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// What to publish and where.
struct PublishRequest
{
    QString sourceDir;  ///< folder of the new version, laid out as it is to be installed
    QString version;    ///< version text written to update.ini
    QString folder;     ///< name of the release folder
    QString webRoot;    ///< web tree of the HTTP channel; empty to skip it
    QString tcpRoot;    ///< parent of the TCP release folder; empty to skip it
    bool force = false; ///< replace a release folder that already exists
    /// Secret key file to sign release.manifest with; empty: no signed manifest is written.
    QString signKeyFile;
    QString productType = QStringLiteral("1"); ///< product type named in the signed manifest
    QDateTime expires;                         ///< when the signed manifest expires; null: never
    /// Earlier versions (source or published release folders) to write patches against.
    QStringList deltaFrom;
};

/// What a publication wrote.
struct PublishSummary
{
    int fileCount = 0;
    qint64 totalBytes = 0;
    QByteArray listDigest; ///< MD5 of the written md5.txt, lower-case hex
    QString manifestPath;  ///< the web tree's update.ini, or empty
    QString webFolder;     ///< the web tree's release folder, or empty
    QString tcpFolder;     ///< the folder to serve with the TCP update service, or empty
    QStringList skipped;   ///< updater files found in the source and left out
    QStringList warnings;
    QString signingKey;          ///< public key (base64) that signed release.manifest, or empty
    int patchCount = 0;          ///< patches written below .delta/ of the web tree's release folder
    qint64 patchBytes = 0;       ///< their total size
    qint64 patchedFullBytes = 0; ///< what the same downloads cost as whole files
};

/// Writes a new version as the web tree of the HTTP channel (update.ini, <folder>/md5.txt and the
/// files below <folder>) and as the release folder of the TCP update service (the files, plus
/// update.ini and md5.txt at its top so that an installation updated over TCP carries the same
/// manifest and list as one updated over HTTP).
///
/// With a signing key it also writes the signed release manifest and its signature: beside md5.txt
/// in the web tree, and under update/ in the TCP release folder, which the service offers like any
/// other file and an installation keeps as update/release.manifest.
///
/// Everything is written into staging folders first and moved into place only when complete; the
/// web tree's update.ini, which sends clients to the new folder, is replaced last.
class ReleasePublisher
{
public:
    /// Publishes `request`; false leaves the published trees as they were and a reason in lastError.
    bool publish(const PublishRequest& request);

    QString lastError() const { return m_lastError; }
    const PublishSummary& summary() const { return m_summary; }

private:
    struct Target
    {
        QString root;
        QString finalPath;
        QString stagingPath;
        bool carriesManifest = false;
    };

    bool checkRequest();
    bool scanSource();
    bool buildManifest();
    bool prepareTargets();
    bool checkSigning();
    bool copyFiles(QMap<QString, QString>& digests);
    bool copyFile(const ReleaseFile& file, QString& digest, QByteArray& sha256);
    bool signManifest();
    bool writeLists(const QMap<QString, QString>& digests);
    bool writeSignedManifest(const Target& target);
    /// Patches against the --delta-from folders into the web tree, with delta.txt and, when
    /// signing, the signed patch list.
    bool writePatches(const QMap<QString, QString>& digests);
    bool writeWhole(const QString& path, const QByteArray& content);
    bool moveIntoPlace(const Target& target);
    bool installManifest();
    void collectWarnings();
    void discardStaging();
    bool fail(const QString& error);

    PublishRequest m_request;
    ReleaseScan m_scan;
    QVector<Target> m_targets;
    QByteArray m_manifest;
    QByteArray m_secretKey;
    ReleaseManifest m_releaseManifest;
    QByteArray m_signedManifest;
    QByteArray m_signature;
    PublishSummary m_summary;
    QString m_lastError;
};
