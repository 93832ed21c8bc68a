#include "formats/patchapplier.h"

#include "formats/sha256hash.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>
#include <zstd.h>
#include <zstd_errors.h>

namespace {

struct DecoderFree
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

/// The decoder's output and what the result must satisfy while it is written.
class ResultSink
{
public:
    ResultSink(QFile& file, qint64 maxBytes, bool withSha256)
        : m_file(file), m_maxBytes(maxBytes), m_withSha256(withSha256)
    {
    }

    /// False when the bytes do not fit the limit or cannot be written; `tooLarge` says which.
    bool take(const char* data, qint64 size, bool& tooLarge)
    {
        m_size += size;
        tooLarge = m_maxBytes >= 0 && m_size > m_maxBytes;
        if (tooLarge) {
            return false;
        }
        m_md5.addData(data, int(size));
        if (m_withSha256) {
            m_sha256.addData(data, qint64(size));
        }
        return m_file.write(data, size) == size;
    }

    qint64 size() const { return m_size; }
    QString md5() const { return QString::fromLatin1(m_md5.result().toHex()); }
    QByteArray sha256() const { return m_withSha256 ? m_sha256.result() : QByteArray(); }

private:
    QFile& m_file;
    qint64 m_maxBytes;
    bool m_withSha256;
    qint64 m_size = 0;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    Sha256Hash m_sha256;
};

/// Streams the one frame of `patch` through `decoder` into `sink`; anything after it is refused.
PatchApplier::Result decodeFrame(ZSTD_DCtx& decoder, QFile& patch, ResultSink& sink, QString& error)
{
    const auto fail = [&error](PatchApplier::Result result, const QString& text) {
        error = text;
        return result;
    };
    QByteArray input(int(ZSTD_DStreamInSize()), Qt::Uninitialized);
    QByteArray output(int(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    size_t pending = 1; // 0 once the frame is complete
    for (;;) {
        const qint64 read = patch.read(input.data(), input.size());
        if (read < 0) {
            return fail(PatchApplier::PatchUnreadable,
                        QStringLiteral("cannot read the patch: ") + patch.errorString());
        }
        if (read == 0) {
            break;
        }
        ZSTD_inBuffer in{input.constData(), size_t(read), 0};
        bool outputFull = false;
        while (in.pos < in.size || outputFull) {
            if (pending == 0) {
                return fail(PatchApplier::Corrupt, QStringLiteral("data after the end of the patch"));
            }
            ZSTD_outBuffer chunk{output.data(), size_t(output.size()), 0};
            pending = ZSTD_decompressStream(&decoder, &chunk, &in);
            if (ZSTD_isError(pending)) {
                const bool window = ZSTD_getErrorCode(pending) == ZSTD_error_frameParameter_windowTooLarge;
                return fail(window ? PatchApplier::WindowTooLarge : PatchApplier::Corrupt,
                            QString::fromLatin1(ZSTD_getErrorName(pending)));
            }
            bool tooLarge = false;
            if (!sink.take(output.constData(), qint64(chunk.pos), tooLarge)) {
                return tooLarge ? fail(PatchApplier::TooLarge,
                                       QStringLiteral("the result is larger than expected"))
                                : fail(PatchApplier::WriteFailed, QStringLiteral("cannot write the result"));
            }
            outputFull = chunk.pos == chunk.size && pending != 0;
        }
    }
    if (pending != 0) {
        return fail(PatchApplier::Truncated, QStringLiteral("the patch ends inside its frame"));
    }
    return PatchApplier::Applied;
}

} // namespace

PatchApplier::Result PatchApplier::apply(const QString& basePath, const QString& patchPath,
                                         const QString& outPath, qint64 maxBytes)
{
    m_error.clear();
    m_resultSize = 0;
    m_resultMd5.clear();
    m_resultSha256.clear();

    QFile base(basePath);
    if (!base.open(QIODevice::ReadOnly)) {
        return fail(BaseUnreadable, QStringLiteral("cannot open the base: ") + base.errorString());
    }
    const qint64 baseSize = base.size();
    if (baseSize > (qint64{1} << MaxWindowLog)) {
        return fail(BaseUnreadable, QStringLiteral("the base is larger than the largest window"));
    }
    // An empty base cannot be mapped, and needs no mapping.
    const uchar* baseBytes = baseSize > 0 ? base.map(0, baseSize) : nullptr;
    if (baseSize > 0 && !baseBytes) {
        return fail(BaseUnreadable, QStringLiteral("cannot map the base: ") + base.errorString());
    }
    QFile patch(patchPath);
    if (!patch.open(QIODevice::ReadOnly)) {
        return fail(PatchUnreadable, QStringLiteral("cannot open the patch: ") + patch.errorString());
    }
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return fail(WriteFailed, QStringLiteral("cannot write the result: ") + out.errorString());
    }

    std::unique_ptr<ZSTD_DCtx, DecoderFree> decoder(ZSTD_createDCtx());
    if (!decoder || ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, MaxWindowLog)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.get(), baseBytes, size_t(baseSize)))) {
        out.remove();
        return fail(Corrupt, QStringLiteral("cannot start the decoder"));
    }
    ResultSink sink(out, maxBytes, m_computeSha256);
    const Result result = decodeFrame(*decoder, patch, sink, m_error);
    out.close();
    if (result == Applied && out.error() != QFileDevice::NoError) {
        out.remove();
        return fail(WriteFailed, QStringLiteral("cannot write the result: ") + out.errorString());
    }
    if (result != Applied) {
        out.remove();
        return result;
    }
    m_resultSize = sink.size();
    m_resultMd5 = sink.md5();
    m_resultSha256 = sink.sha256();
    return Applied;
}

PatchApplier::Result PatchApplier::fail(Result result, const QString& error)
{
    m_error = error;
    return result;
}
