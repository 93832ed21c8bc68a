#include "apply/releaseverifier.h"

#include "config/configmanager.h"
#include "config/confignames.h"
#include "formats/md5list.h"
#include "formats/releasesignature.h"
#include "formats/servermanifest.h"
#include "formats/sha256hash.h"
#include "log/logger.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

/// Reads at most `limit` + 1 bytes, so that a caller can tell an oversized file; false when the
/// file is missing or unreadable.
bool readCapped(const QString& path, qint64 limit, QByteArray& bytes)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return false;
    }
    bytes = file.read(limit + 1);
    return true;
}

/// The record of `relativePath` in `arrived` when it holds `digest` and the file at `path` still
/// has the recorded size.
const ArrivedDigests::File* arrivedRecord(const ArrivedDigests& arrived, const QString& relativePath,
                                          const QString& path, QByteArray ArrivedDigests::File::*digest)
{
    const ArrivedDigests::File* record = arrived.find(relativePath);
    if (!record || (record->*digest).isEmpty()) {
        return nullptr;
    }
    const QFileInfo info(path);
    return info.isFile() && info.size() == record->size ? record : nullptr;
}

/// Size and SHA-256 of `path` equal the listed ones; false too when it cannot be read. The digest
/// recorded on arrival stands in for reading the file when there is one.
bool matchesListing(const QString& path, const ReleaseManifestFile& listed, bool& missing,
                    const ArrivedDigests::File* arrivedFile = nullptr)
{
    const QFileInfo info(path);
    missing = !info.isFile();
    if (missing || info.size() != listed.size) {
        return false;
    }
    if (arrivedFile) {
        return arrivedFile->sha256 == listed.sha256;
    }
    const QByteArray sha256 = Sha256Hash::ofFile(path);
    return !sha256.isEmpty() && sha256 == listed.sha256;
}

} // namespace

ReleaseVerifier::ReleaseVerifier(const CConfigManager& config) : m_keyTexts(config.getPublicKeys()) {}

QString ReleaseVerifier::listedForm(const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
}

QString ReleaseVerifier::oversizedText(const QString& path)
{
    return QStringLiteral("文件超过发布清单所列大小，已中止下载: ") + path;
}

QString ReleaseVerifier::manifestPath()
{
    return QLatin1String(ConfigNames::ManifestFolder) + QLatin1String(ReleaseManifest::FileName);
}

QString ReleaseVerifier::signaturePathFor(const QString& manifestFile)
{
    return manifestFile + QStringLiteral(".sig");
}

bool ReleaseVerifier::acceptManifestFile(const QString& manifestFile, const QString& offeredVersion,
                                         const QString& installedManifestPath)
{
    QByteArray manifest;
    if (!readCapped(manifestFile, ReleaseManifest::MaxBytes, manifest)) {
        return fail("manifest-missing",
                    QStringLiteral("缺少发布清单") + QLatin1String(ReleaseManifest::FileName));
    }
    QByteArray signature;
    if (!readCapped(signaturePathFor(manifestFile), MaxSignatureBytes, signature)) {
        return fail("signature-missing",
                    QStringLiteral("缺少发布清单签名") + QLatin1String(ReleaseManifest::SignatureFileName));
    }
    return acceptManifest(manifest, signature, offeredVersion, installedManifestPath);
}

bool ReleaseVerifier::acceptManifest(const QByteArray& manifest, const QByteArray& signature,
                                     const QString& offeredVersion, const QString& installedManifestPath)
{
    m_accepted = false;
    m_manifest = ReleaseManifest();
    // The signature is checked over the exact bytes before the parser ever sees them.
    if (!verifySignature(manifest, signature)) {
        return false;
    }
    QString error;
    if (!ReleaseManifest::parse(manifest, m_manifest, error)) {
        return fail("manifest-format", QStringLiteral("发布清单格式错误: ") + error);
    }
    if (!checkVersion(offeredVersion, installedManifestPath)) {
        return false;
    }
    if (m_manifest.expires.isValid() && m_manifest.expires < QDateTime::currentDateTimeUtc()) {
        return fail(
            "expired",
            QStringLiteral("发布清单已于%1过期").arg(m_manifest.expires.toUTC().toString(Qt::ISODate)));
    }
    m_accepted = true;
    Logger::info(QStringLiteral("发布清单签名验证通过，版本:") + m_manifest.version);
    return true;
}

bool ReleaseVerifier::verifySignature(const QByteArray& manifest, const QByteArray& signature)
{
    bool anyKey = false;
    for (const QString& text : qAsConst(m_keyTexts)) {
        const QByteArray key = ReleaseSignature::decodePublicKey(text);
        if (key.isEmpty()) {
            Logger::error(QStringLiteral("发布公钥无效，已忽略:") + text);
            continue;
        }
        anyKey = true;
        if (ReleaseSignature::verify(manifest, signature, key)) {
            return true;
        }
    }
    if (!anyKey) {
        return fail("public-key", QStringLiteral("配置的发布公钥无效"));
    }
    return fail("signature", QStringLiteral("发布清单签名无效"));
}

bool ReleaseVerifier::checkVersion(const QString& offeredVersion, const QString& installedManifestPath)
{
    if (m_manifest.version != offeredVersion) {
        return fail(
            "version",
            QStringLiteral("发布清单版本%1与服务器提供的版本%2不符").arg(m_manifest.version, offeredVersion));
    }
    QByteArray installedBytes;
    if (!readCapped(installedManifestPath, ReleaseManifest::MaxBytes, installedBytes)) {
        return true;
    }
    ReleaseManifest installed;
    QString error;
    if (!ReleaseManifest::parse(installedBytes, installed, error)) {
        // The installed manifest is the installation's own file; a broken one gives no base to
        // compare with, and refusing every update would leave the installation stuck on it.
        Logger::warn(QStringLiteral("已安装的发布清单无法读取，跳过降级检查:") + error);
        return true;
    }
    if (ReleaseManifest::compareVersions(m_manifest.version, installed.version) < 0) {
        return fail("rollback", QStringLiteral("发布清单版本%1低于已安装版本%2，拒绝降级")
                                    .arg(m_manifest.version, installed.version));
    }
    return true;
}

bool ReleaseVerifier::checkListed(const QStringList& relativePaths)
{
    for (const QString& path : relativePaths) {
        if (!m_accepted || (!m_manifest.find(listedForm(path)) && !isReleaseList(listedForm(path)))) {
            return fail("unlisted-file", QStringLiteral("文件不在发布清单中: ") + path);
        }
    }
    return true;
}

qint64 ReleaseVerifier::sizeLimit(const QString& relativePath) const
{
    const ReleaseManifestFile* listed = m_accepted ? m_manifest.find(listedForm(relativePath)) : nullptr;
    return listed ? listed->size : -1;
}

QHash<QString, qint64> ReleaseVerifier::sizeLimits() const
{
    QHash<QString, qint64> limits{{QLatin1String(ConfigNames::ManifestFile), ServerManifest::MaxBytes},
                                  {QLatin1String(ConfigNames::Md5ListFile), Md5ListMaxBytes}};
    if (m_accepted) {
        for (const ReleaseManifestFile& file : m_manifest.files) {
            limits.insert(file.path, file.size);
        }
    }
    return limits;
}

QHash<QString, qint64> ReleaseVerifier::manifestSizeLimits()
{
    const QString manifest = manifestPath();
    return {{manifest, ReleaseManifest::MaxBytes}, {signaturePathFor(manifest), MaxSignatureBytes}};
}

bool ReleaseVerifier::checkDownloadedFiles(const QString& folder, const ArrivedDigests& arrived)
{
    const QDir base(folder);
    const QString manifest = manifestPath();
    const QString signature = signaturePathFor(manifest);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = base.relativeFilePath(it.next());
        if (relative == manifest || relative == signature) {
            continue;
        }
        if (!(isReleaseList(relative) ? checkReleaseList(folder, relative, arrived)
                                      : checkFile(folder, relative, arrived))) {
            return false;
        }
    }
    return true;
}

bool ReleaseVerifier::isReleaseList(const QString& relativePath)
{
    return relativePath == QLatin1String(ConfigNames::ManifestFile) ||
           relativePath == QLatin1String(ConfigNames::Md5ListFile);
}

bool ReleaseVerifier::checkReleaseList(const QString& folder, const QString& relativePath,
                                       const ArrivedDigests& arrived)
{
    // The release's own lists are written after its manifest is signed, so the manifest cannot
    // list them; instead they must agree with it: update.ini names its version, and md5.txt gives
    // every file it names the MD5 of the verified download.
    const QString path = QDir(folder).filePath(relativePath);
    if (relativePath == QLatin1String(ConfigNames::ManifestFile)) {
        if (ServerManifest::versionOf(path) == m_manifest.version) {
            return true;
        }
        return fail("release-list", QStringLiteral("update.ini的版本与发布清单不符"));
    }
    const Md5Map list = loadMd5List(path);
    for (auto it = list.cbegin(); it != list.cend(); ++it) {
        const QString listed = listedForm(it.key());
        const QString filePath = QDir(folder).filePath(listed);
        const ArrivedDigests::File* record =
            arrivedRecord(arrived, listed, filePath, &ArrivedDigests::File::md5);
        const QString md5 = record ? QString::fromLatin1(record->md5) : fileMd5(filePath);
        if (!m_manifest.find(listed) || md5 != it.value()) {
            return fail("release-list", QStringLiteral("md5.txt与发布清单不符: ") + listed);
        }
    }
    return true;
}

bool ReleaseVerifier::checkFile(const QString& folder, const QString& relativePath,
                                const ArrivedDigests& arrived)
{
    if (!checkListed({relativePath})) {
        return false;
    }
    const ReleaseManifestFile* listed = m_manifest.find(relativePath);
    const QString path = QDir(folder).filePath(relativePath);
    bool missing = false;
    if (matchesListing(path, *listed, missing,
                       arrivedRecord(arrived, relativePath, path, &ArrivedDigests::File::sha256))) {
        return true;
    }
    if (QFileInfo(path).size() != listed->size) {
        return fail("size", QStringLiteral("文件大小与发布清单不符: ") + relativePath);
    }
    return fail("sha256", QStringLiteral("文件SHA-256与发布清单不符: ") + relativePath);
}

void ReleaseVerifier::compareInstallation(const ReleaseManifest& manifest, const QString& installationFolder,
                                          QStringList& missing, QStringList& differing)
{
    for (const ReleaseManifestFile& listed : manifest.files) {
        bool absent = false;
        if (!matchesListing(QDir(installationFolder).filePath(listed.path), listed, absent)) {
            (absent ? missing : differing).append(listed.path);
        }
    }
}

bool ReleaseVerifier::fail(const char* rule, const QString& reason)
{
    m_lastError = reason;
    Logger::error(QStringLiteral("发布校验未通过，规则: %1，原因: %2").arg(QLatin1String(rule), reason));
    return false;
}
