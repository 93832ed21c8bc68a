#include "releasepublisher.h"

#include "patchbuilder.h"
#include "releasenames.h"

#include "formats/md5list.h"
#include "formats/releasesignature.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr qint64 CopyBufferSize = 1 << 20;

QString absoluteClean(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return QDir::cleanPath(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
}

bool isSameOrInside(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool overlap(const QString& a, const QString& b)
{
    return isSameOrInside(a, b) || isSameOrInside(b, a);
}

} // namespace

bool ReleasePublisher::publish(const PublishRequest& request)
{
    m_request = request;
    m_targets.clear();
    m_summary = PublishSummary();
    m_lastError.clear();
    if (!checkRequest() || !checkSigning() || !scanSource() || !buildManifest() || !prepareTargets()) {
        return false;
    }
    QMap<QString, QString> digests;
    if (!copyFiles(digests) || !signManifest() || !writeLists(digests) || !writePatches(digests)) {
        discardStaging();
        return false;
    }
    for (const Target& target : qAsConst(m_targets)) {
        if (!moveIntoPlace(target)) {
            discardStaging();
            return false;
        }
    }
    if (!installManifest()) {
        return false;
    }
    collectWarnings();
    return true;
}

bool ReleasePublisher::checkRequest()
{
    QString reason = ReleaseNames::versionRefusal(m_request.version);
    if (!reason.isEmpty()) {
        return fail(QStringLiteral("cannot publish version \"%1\": %2").arg(m_request.version, reason));
    }
    reason = ReleaseNames::folderRefusal(m_request.folder);
    if (!reason.isEmpty()) {
        return fail(QStringLiteral("cannot publish into folder \"%1\": %2").arg(m_request.folder, reason));
    }
    if (m_request.webRoot.isEmpty() && m_request.tcpRoot.isEmpty()) {
        return fail(QStringLiteral("nothing to write: give a web root, a TCP root or both"));
    }
    if (!QFileInfo(m_request.sourceDir).isDir()) {
        return fail(QStringLiteral("the source %1 is not a folder").arg(m_request.sourceDir));
    }
    const QString source = absoluteClean(m_request.sourceDir);
    QStringList releaseFolders;
    for (const QString& root : {m_request.webRoot, m_request.tcpRoot}) {
        if (root.isEmpty()) {
            continue;
        }
        const QString folder = absoluteClean(root) + QLatin1Char('/') + m_request.folder;
        if (overlap(folder, source)) {
            return fail(
                QStringLiteral("the release folder %1 and the source %2 overlap").arg(folder, source));
        }
        for (const QString& other : qAsConst(releaseFolders)) {
            if (overlap(folder, other)) {
                return fail(
                    QStringLiteral("the web tree and the TCP release would both write %1").arg(folder));
            }
        }
        releaseFolders << folder;
    }
    return true;
}

bool ReleasePublisher::checkSigning()
{
    m_secretKey.clear();
    m_signedManifest.clear();
    m_signature.clear();
    if (m_request.signKeyFile.isEmpty()) {
        return true;
    }
    QString error;
    m_secretKey = ReleaseSignature::readSecretKeyFile(m_request.signKeyFile, error);
    if (m_secretKey.isEmpty()) {
        return fail(QStringLiteral("cannot sign: ") + error);
    }
    m_summary.signingKey = ReleaseSignature::encodePublicKey(ReleaseSignature::publicKeyOf(m_secretKey));
    // The updater compares product types as text; system.cfg takes whole numbers from 1 to 6.
    static const QRegularExpression productType(QStringLiteral("^[1-6]$"));
    if (!productType.match(m_request.productType).hasMatch()) {
        return fail(QStringLiteral("the product type \"%1\" is not a number from 1 to 6 ([Project] Type)")
                        .arg(m_request.productType));
    }
    if (m_request.expires.isValid() && m_request.expires <= QDateTime::currentDateTimeUtc()) {
        return fail(QStringLiteral("the expiry time %1 has already passed")
                        .arg(m_request.expires.toUTC().toString(Qt::ISODate)));
    }
    return true;
}

bool ReleasePublisher::scanSource()
{
    if (!m_scan.scan(m_request.sourceDir)) {
        return fail(m_scan.lastError());
    }
    if (!m_scan.refusals().isEmpty()) {
        return fail(QStringLiteral("the source holds names that an updater could not take:\n  ") +
                    m_scan.refusals().join(QStringLiteral("\n  ")));
    }
    if (m_scan.files().isEmpty()) {
        return fail(QStringLiteral("the source %1 holds no file to publish").arg(m_request.sourceDir));
    }
    m_summary.skipped = m_scan.skipped();
    return true;
}

bool ReleasePublisher::buildManifest()
{
    // The updater reads update.ini with QSettings; writing it with QSettings keeps any quoting and
    // escaping of the version text readable by it.
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        return fail(QStringLiteral("cannot create a temporary folder: %1").arg(scratch.errorString()));
    }
    const QString path = scratch.filePath(QStringLiteral("update.ini"));
    {
        QSettings manifest(path, QSettings::IniFormat);
        manifest.setValue(QStringLiteral("Version/Version"), m_request.version);
        manifest.setValue(QStringLiteral("Version/Folder"), m_request.folder);
        manifest.sync();
        if (manifest.status() != QSettings::NoError) {
            return fail(QStringLiteral("cannot write the manifest"));
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read back the manifest: %1").arg(file.errorString()));
    }
    m_manifest = file.readAll();
    return true;
}

bool ReleasePublisher::prepareTargets()
{
    const QString staging =
        QStringLiteral(".publishing-%1-%2").arg(m_request.folder).arg(QCoreApplication::applicationPid());
    const QVector<QPair<QString, bool>> roots = {{m_request.webRoot, false}, {m_request.tcpRoot, true}};
    for (const auto& [root, isTcp] : roots) {
        if (root.isEmpty()) {
            continue;
        }
        Target target;
        target.root = absoluteClean(root);
        target.finalPath = target.root + QLatin1Char('/') + m_request.folder;
        target.stagingPath = target.root + QLatin1Char('/') + staging;
        target.carriesManifest = isTcp;
        if (!QDir().mkpath(target.root)) {
            return fail(QStringLiteral("cannot create %1").arg(target.root));
        }
        const QFileInfo existing(target.finalPath);
        if (existing.exists() && !m_request.force) {
            return fail(
                QStringLiteral("%1 already exists; publish under another folder name or replace it with "
                               "--force")
                    .arg(target.finalPath));
        }
        if (existing.exists() && !existing.isDir()) {
            return fail(QStringLiteral("%1 exists and is not a folder").arg(target.finalPath));
        }
        m_targets.append(target);
    }
    if (!m_request.webRoot.isEmpty()) {
        m_summary.manifestPath = absoluteClean(m_request.webRoot) + QStringLiteral("/update.ini");
        if (QFileInfo(m_summary.manifestPath).isDir()) {
            return fail(QStringLiteral("%1 is a folder").arg(m_summary.manifestPath));
        }
    }
    for (const Target& target : qAsConst(m_targets)) {
        if (!QDir(target.stagingPath).removeRecursively() || !QDir().mkpath(target.stagingPath)) {
            discardStaging();
            return fail(QStringLiteral("cannot create %1").arg(target.stagingPath));
        }
    }
    return true;
}

bool ReleasePublisher::copyFiles(QMap<QString, QString>& digests)
{
    m_releaseManifest.files.clear();
    for (const ReleaseFile& file : m_scan.files()) {
        QString digest;
        QByteArray sha256;
        if (!copyFile(file, digest, sha256)) {
            return false;
        }
        digests.insert(QLatin1Char('/') + file.relativePath, digest);
        m_releaseManifest.files.append({file.relativePath, file.size, sha256});
        ++m_summary.fileCount;
        m_summary.totalBytes += file.size;
    }
    return true;
}

bool ReleasePublisher::copyFile(const ReleaseFile& file, QString& digest, QByteArray& sha256)
{
    QFile in(file.sourcePath);
    if (!in.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read %1: %2").arg(file.sourcePath, in.errorString()));
    }
    // One read of the source feeds the digest and every copy, so the list describes exactly the
    // bytes that were published even if the source changes meanwhile.
    std::vector<std::unique_ptr<QFile>> outs;
    for (const Target& target : qAsConst(m_targets)) {
        const QString path = target.stagingPath + QLatin1Char('/') + file.relativePath;
        QDir().mkpath(QFileInfo(path).path());
        outs.push_back(std::make_unique<QFile>(path));
        if (!outs.back()->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return fail(QStringLiteral("cannot write %1: %2").arg(path, outs.back()->errorString()));
        }
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QCryptographicHash sha256Hash(QCryptographicHash::Sha256);
    QByteArray buffer(CopyBufferSize, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const qint64 count = in.read(buffer.data(), buffer.size());
        if (count < 0) {
            return fail(QStringLiteral("cannot read %1: %2").arg(file.sourcePath, in.errorString()));
        }
        if (count == 0) {
            break;
        }
        hash.addData(buffer.constData(), int(count));
        sha256Hash.addData(buffer.constData(), int(count));
        for (const auto& out : outs) {
            if (out->write(buffer.constData(), count) != count) {
                return fail(QStringLiteral("cannot write %1: %2").arg(out->fileName(), out->errorString()));
            }
        }
        copied += count;
    }
    if (copied != file.size) {
        return fail(QStringLiteral("%1 changed while it was being published").arg(file.sourcePath));
    }
    for (const auto& out : outs) {
        out->close();
        if (out->error() != QFileDevice::NoError) {
            return fail(QStringLiteral("cannot write %1: %2").arg(out->fileName(), out->errorString()));
        }
        out->setPermissions(in.permissions());
    }
    digest = QString::fromLatin1(hash.result().toHex());
    sha256 = sha256Hash.result();
    return true;
}

bool ReleasePublisher::signManifest()
{
    if (m_secretKey.isEmpty()) {
        return true;
    }
    m_releaseManifest.productType = m_request.productType;
    m_releaseManifest.version = m_request.version;
    m_releaseManifest.folder = m_request.folder;
    m_releaseManifest.created = QDateTime::currentDateTimeUtc();
    m_releaseManifest.expires = m_request.expires;
    m_signedManifest = m_releaseManifest.serialize();
    // Read back as the updater will, so that a release it would refuse is never published.
    ReleaseManifest check;
    QString error;
    if (!ReleaseManifest::parse(m_signedManifest, check, error)) {
        return fail(QStringLiteral("the release manifest would be refused: ") + error);
    }
    m_signature = ReleaseSignature::sign(m_signedManifest, m_secretKey);
    if (m_signature.isEmpty()) {
        return fail(QStringLiteral("cannot sign the release manifest"));
    }
    return true;
}

bool ReleasePublisher::writeLists(const QMap<QString, QString>& digests)
{
    for (const Target& target : qAsConst(m_targets)) {
        const QString listPath = target.stagingPath + QStringLiteral("/md5.txt");
        QString error;
        if (!writeMd5List(listPath, digests, error)) {
            return fail(error);
        }
        if (m_summary.listDigest.isEmpty()) {
            QFile list(listPath);
            if (!list.open(QIODevice::ReadOnly)) {
                return fail(QStringLiteral("cannot read back %1: %2").arg(listPath, list.errorString()));
            }
            m_summary.listDigest = QCryptographicHash::hash(list.readAll(), QCryptographicHash::Md5).toHex();
        }
        if (target.carriesManifest &&
            !writeWhole(target.stagingPath + QStringLiteral("/update.ini"), m_manifest)) {
            return false;
        }
        if (!m_signedManifest.isEmpty() && !writeSignedManifest(target)) {
            return false;
        }
    }
    return true;
}

bool ReleasePublisher::writeSignedManifest(const Target& target)
{
    // The TCP service offers every file of its folder, and the client installs them at the same
    // place: under update/ the manifest lands where an installation keeps it.
    const QString folder =
        target.stagingPath + (target.carriesManifest ? QStringLiteral("/update/") : QStringLiteral("/"));
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("cannot create %1").arg(folder));
    }
    return writeWhole(folder + QLatin1String(ReleaseManifest::FileName), m_signedManifest) &&
           writeWhole(folder + QLatin1String(ReleaseManifest::SignatureFileName), m_signature);
}

bool ReleasePublisher::writePatches(const QMap<QString, QString>& digests)
{
    const auto web = std::find_if(m_targets.cbegin(), m_targets.cend(),
                                  [](const Target& target) { return !target.carriesManifest; });
    if (m_request.deltaFrom.isEmpty()) {
        return true;
    }
    if (web == m_targets.cend()) {
        m_summary.warnings << QStringLiteral(
            "--delta-from needs --web-root: the TCP channel takes whole files");
        return true;
    }
    PatchBuilder builder;
    if (!builder.build(m_request.deltaFrom, m_scan.files(), digests, web->stagingPath)) {
        return fail(builder.lastError());
    }
    PatchIndex index = builder.index();
    m_summary.patchCount = index.entries.size();
    m_summary.patchBytes = builder.patchBytes();
    m_summary.patchedFullBytes = builder.fullBytes();
    if (index.entries.isEmpty()) {
        return true;
    }
    if (!writeWhole(web->stagingPath + QLatin1Char('/') + QLatin1String(PatchIndex::PlainFileName),
                    index.serializePlain())) {
        return false;
    }
    if (m_secretKey.isEmpty()) {
        return true;
    }
    index.version = m_request.version;
    index.folder = m_request.folder;
    const QByteArray list = index.serializeSigned();
    const QByteArray signature = ReleaseSignature::sign(list, m_secretKey);
    PatchIndex check;
    QString error;
    if (signature.isEmpty() || !PatchIndex::parseSigned(list, check, error)) {
        return fail(QStringLiteral("cannot sign the patch list ") + error);
    }
    return writeWhole(web->stagingPath + QLatin1Char('/') + QLatin1String(PatchIndex::SignedFileName),
                      list) &&
           writeWhole(web->stagingPath + QLatin1Char('/') +
                          QLatin1String(PatchIndex::SignedSignatureFileName),
                      signature);
}

bool ReleasePublisher::writeWhole(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    }
    return true;
}

bool ReleasePublisher::moveIntoPlace(const Target& target)
{
    QDir root(target.root);
    const QString replaced = target.stagingPath + QStringLiteral(".replaced");
    const bool replacing = QFileInfo::exists(target.finalPath);
    if (replacing && !root.rename(target.finalPath, replaced)) {
        return fail(QStringLiteral("cannot move the old %1 aside").arg(target.finalPath));
    }
    if (!root.rename(target.stagingPath, target.finalPath)) {
        if (replacing) {
            root.rename(replaced, target.finalPath);
        }
        return fail(QStringLiteral("cannot move the new release into %1").arg(target.finalPath));
    }
    if (replacing && !QDir(replaced).removeRecursively()) {
        m_summary.warnings
            << QStringLiteral("the replaced release could not be removed completely: %1").arg(replaced);
    }
    (target.carriesManifest ? m_summary.tcpFolder : m_summary.webFolder) = target.finalPath;
    return true;
}

bool ReleasePublisher::installManifest()
{
    if (m_summary.manifestPath.isEmpty()) {
        return true;
    }
    if (!writeWhole(m_summary.manifestPath, m_manifest)) {
        m_lastError = QStringLiteral("the release folder is in place, but ") + m_lastError;
        return false;
    }
    return true;
}

void ReleasePublisher::collectWarnings()
{
    if (m_request.tcpRoot.isEmpty()) {
        return;
    }
    // The TCP channel asks with the version of system.cfg; an installation that keeps reporting the
    // old version would be offered this release again on every run.
    const auto config =
        std::find_if(m_scan.files().cbegin(), m_scan.files().cend(),
                     [](const ReleaseFile& f) { return f.relativePath == QLatin1String("system.cfg"); });
    if (config == m_scan.files().cend()) {
        m_summary.warnings << QStringLiteral(
            "the release has no system.cfg: installations updated over TCP keep "
            "reporting their old version unless something else updates "
            "Version in its [%General] section");
        return;
    }
    const QString shipped = QSettings(config->sourcePath, QSettings::IniFormat)
                                .value(QStringLiteral("General/Version"))
                                .toString();
    if (shipped != m_request.version) {
        m_summary.warnings << QStringLiteral(
                                  "the release's system.cfg gives Version \"%1\" in [%General], not "
                                  "\"%2\": installations updated over TCP would be offered this "
                                  "release again (write the section as [%General], not [General])")
                                  .arg(shipped, m_request.version);
    }
}

void ReleasePublisher::discardStaging()
{
    for (const Target& target : qAsConst(m_targets)) {
        if (target.stagingPath.startsWith(target.root + QLatin1Char('/'))) {
            QDir(target.stagingPath).removeRecursively();
        }
    }
}

bool ReleasePublisher::fail(const QString& error)
{
    m_lastError = error;
    return false;
}
