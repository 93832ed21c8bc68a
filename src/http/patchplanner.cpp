#include "http/patchplanner.h"

#include "formats/md5list.h"
#include "formats/patchapplier.h"
#include "formats/releasesignature.h"
#include "formats/sha256hash.h"
#include "log/logger.h"
#include "ui/widget.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const QLatin1String PatchFolderName("/.patches");
const QLatin1String PatchSuffix(".zst");
/// Without a key md5.txt gives no sizes; no release file reaches 4 GiB (the publisher refuses them).
constexpr qint64 MaxResultBytes = (qint64{1} << 32) - 1;

/// MD5 (lower-case hex) and, when `withSha256`, SHA-256 (raw) of a file in one read; false when it
/// cannot be read.
bool digestsOf(const QString& path, QString& md5, QByteArray& sha256, bool withSha256)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QCryptographicHash md5Hash(QCryptographicHash::Md5);
    Sha256Hash shaHash;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0) {
            return false;
        }
        if (read == 0) {
            break;
        }
        md5Hash.addData(buffer.constData(), int(read));
        if (withSha256) {
            shaHash.addData(buffer.constData(), read);
        }
    }
    md5 = QString::fromLatin1(md5Hash.result().toHex());
    sha256 = withSha256 ? shaHash.result() : QByteArray();
    return true;
}

/// The whole of a fetched list, or a null array when it did not arrive or is larger than `limit`.
QByteArray readFetched(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    const QByteArray bytes = file.read(limit + 1);
    return bytes.size() > limit ? QByteArray() : (bytes.isNull() ? QByteArray("") : bytes);
}

QString readableSize(qint64 bytes)
{
    return QStringLiteral("%1 字节").arg(bytes);
}

} // namespace

CPatchPlanner::CPatchPlanner(const QString& installFolder, const QString& tempFolder,
                             const QString& releaseAddress, QObject* parent)
    : QObject(parent), m_installFolder(installFolder), m_tempFolder(tempFolder),
      m_releaseAddress(releaseAddress)
{
}

QStringList CPatchPlanner::indexFiles(bool withKey)
{
    if (withKey) {
        return {QLatin1String(PatchIndex::SignedFileName),
                QLatin1String(PatchIndex::SignedSignatureFileName)};
    }
    return {QLatin1String(PatchIndex::PlainFileName)};
}

void CPatchPlanner::readIndex(const QString& folder, const ReleaseManifest* manifest,
                              const QStringList& publicKeys)
{
    m_index = PatchIndex();
    m_withKey = manifest != nullptr;
    if (manifest) {
        m_manifest = *manifest;
    }
    const QString listPath = QDir(folder).filePath(indexFiles(m_withKey).constFirst());
    QString reason;
    if (!QFileInfo(listPath).isFile()) {
        Logger::info(QStringLiteral("发布没有差分补丁列表，下载完整文件"));
    } else if (m_withKey
                   ? !acceptSigned(folder, publicKeys, reason)
                   : !PatchIndex::parsePlain(readFetched(listPath, PatchIndex::MaxBytes), m_index, reason)) {
        m_index = PatchIndex();
        Logger::warn(QStringLiteral("差分补丁列表无效，全部下载完整文件: ") + reason);
    }
    for (const QString& name : indexFiles(m_withKey)) {
        QFile::remove(QDir(folder).filePath(name));
    }
}

bool CPatchPlanner::acceptSigned(const QString& folder, const QStringList& publicKeys, QString& reason)
{
    const QByteArray list = readFetched(QDir(folder).filePath(indexFiles(true).at(0)), PatchIndex::MaxBytes);
    const QByteArray signature = readFetched(QDir(folder).filePath(indexFiles(true).at(1)), 4096);
    // The signature is checked over the exact bytes before the parser sees them.
    const bool verified = std::any_of(publicKeys.cbegin(), publicKeys.cend(), [&](const QString& text) {
        const QByteArray key = ReleaseSignature::decodePublicKey(text);
        return !key.isEmpty() && ReleaseSignature::verify(list, signature, key);
    });
    if (!verified) {
        reason = QStringLiteral("签名无效");
        return false;
    }
    if (!PatchIndex::parseSigned(list, m_index, reason)) {
        return false;
    }
    if (m_index.version != m_manifest.version || m_index.folder != m_manifest.folder) {
        reason = QStringLiteral("不属于此发布");
        return false;
    }
    return true;
}

PatchPlan CPatchPlanner::planFor(const DownloadTask& task)
{
    const QString key = task.localPath.mid(m_tempFolder.size());
    if (!m_index.hasPath(key) || m_failed.contains(key)) {
        return PatchPlan();
    }
    PatchPlan plan;
    plan.key = key;
    plan.basePath = localPathForKey(m_installFolder, key);
    plan.patchPath = localPathForKey(m_tempFolder + PatchFolderName, key + PatchSuffix);
    const QFileInfo base(plan.basePath);
    QString baseMd5;
    QByteArray baseSha256;
    if (plan.basePath.isEmpty() || plan.patchPath.isEmpty() || !base.isFile() ||
        base.size() > (qint64{1} << PatchApplier::MaxWindowLog) ||
        !digestsOf(plan.basePath, baseMd5, baseSha256, m_withKey)) {
        return PatchPlan();
    }
    const PatchEntry* entry =
        m_withKey ? m_index.findBySha256(key, baseSha256) : m_index.findByMd5(key, baseMd5);
    if (!entry) {
        Logger::info(QStringLiteral("已安装文件与所有补丁基准不同，下载完整文件: ") + key);
        return PatchPlan();
    }
    plan.url = m_releaseAddress + PatchIndex::patchLocation(key, baseMd5);
    plan.patchMd5 = entry->patchMd5;
    plan.patchSha256 = entry->patchSha256;
    plan.size = entry->size;
    return plan;
}

bool CPatchPlanner::choosePatch(const DownloadTask& task, DownloadTask& fetch)
{
    const PatchPlan plan = planFor(task);
    if (!plan.isValid()) {
        return false;
    }
    m_running.insert(task.localPath, plan);
    fetch = task;
    fetch.url = plan.url;
    fetch.localPath = plan.patchPath;
    fetch.md5 = plan.patchMd5;
    fetch.maxBytes = plan.size;
    return true;
}

bool CPatchPlanner::isFetchingPatch(const DownloadTask& task) const
{
    return m_running.contains(task.localPath);
}

bool CPatchPlanner::finishPatch(const DownloadTask& task, const QString& fetchError)
{
    const PatchPlan plan = m_running.take(task.localPath);
    QString reason = fetchError;
    const bool applied = reason.isEmpty() && applyPatch(plan, task, reason);
    QFile::remove(plan.patchPath);
    if (!applied) {
        fallBack(plan.key, reason);
        return false;
    }
    m_patched << plan.key;
    return true;
}

bool CPatchPlanner::applyPatch(const PatchPlan& plan, const DownloadTask& task, QString& reason)
{
    const QFileInfo patch(plan.patchPath);
    if (patch.size() != plan.size) {
        reason = QStringLiteral("补丁大小 %1 不是所列的 %2").arg(patch.size()).arg(plan.size);
        return false;
    }
    if (m_withKey) {
        QString md5;
        QByteArray sha256;
        if (!digestsOf(plan.patchPath, md5, sha256, true) || sha256 != plan.patchSha256) {
            reason = QStringLiteral("补丁SHA-256与签名列表不符，未应用");
            return false;
        }
    }
    // The patch came into a folder of its own; the result's folder may not exist yet.
    QDir().mkpath(QFileInfo(task.localPath).absolutePath());
    PatchApplier applier;
    applier.setComputeSha256(m_withKey);
    if (applier.apply(plan.basePath, plan.patchPath, task.localPath,
                      task.maxBytes >= 0 ? task.maxBytes : MaxResultBytes) != PatchApplier::Applied) {
        reason = QStringLiteral("补丁无法应用: ") + applier.errorString();
        return false;
    }
    if (!checkResult(plan, task, applier.resultMd5(), applier.resultSha256(), applier.resultSize(), reason)) {
        QFile::remove(task.localPath);
        return false;
    }
    m_patchBytes += plan.size;
    m_savedBytes += applier.resultSize() - plan.size;
    return true;
}

bool CPatchPlanner::checkResult(const PatchPlan& plan, const DownloadTask& task, const QString& md5,
                                const QByteArray& sha256, qint64 size, QString& reason) const
{
    if (md5.compare(task.md5, Qt::CaseInsensitive) != 0) {
        reason = QStringLiteral("补丁结果的MD5 %1 不是 %2").arg(md5, task.md5);
        return false;
    }
    if (!m_withKey) {
        return true;
    }
    const ReleaseManifestFile* listed = m_manifest.find(plan.key.mid(1));
    if (!listed || listed->size != size || listed->sha256 != sha256) {
        reason = QStringLiteral("补丁结果与发布清单不符");
        return false;
    }
    return true;
}

void CPatchPlanner::fallBack(const QString& key, const QString& reason)
{
    m_failed.insert(key);
    Logger::warn(QStringLiteral("差分补丁不可用，改为下载完整文件: ") + key + QStringLiteral(" (") + reason +
                 QLatin1Char(')'));
}

QString CPatchPlanner::summary() const
{
    if (m_patched.isEmpty()) {
        return QString();
    }
    return QStringLiteral("差分补丁下载 %1 个文件 (%2)，补丁共 %3，节省 %4")
        .arg(m_patched.size())
        .arg(m_patched.join(QStringLiteral(", ")), readableSize(m_patchBytes), readableSize(m_savedBytes));
}

void CPatchPlanner::removeLeftovers() const
{
    QDir(m_tempFolder + PatchFolderName).removeRecursively();
}
