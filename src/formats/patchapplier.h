#pragma once

#include <QByteArray>
#include <QString>

/// Rebuilds a file from an earlier version of it (the base) and a zstd patch made against it.
///
/// The base is the patch's prefix dictionary: it is mapped, not read into memory, and the decoder
/// keeps at most a window of 2^MaxWindowLog bytes, so a patch that asks for more is refused before
/// anything is decoded. The result is streamed to its file and hashed on the way.
class PatchApplier
{
public:
    /// 128 MiB: the largest window (and so the largest base) a patch may need.
    static constexpr int MaxWindowLog = 27;

    enum Result
    {
        Applied,
        BaseUnreadable,  ///< the base cannot be opened or mapped, or is larger than the window
        PatchUnreadable, ///< the patch file cannot be read
        WindowTooLarge,  ///< the patch needs a window of more than 2^MaxWindowLog bytes
        Corrupt,         ///< not a zstd frame, a damaged one, or one made against another base
        Truncated,       ///< the patch ends inside its frame
        TooLarge,        ///< the result would be larger than the given limit
        WriteFailed      ///< the result cannot be written
    };

    /// Writes the result of `patchPath` over `basePath` to `outPath` (replaced); at most `maxBytes`
    /// of result (no limit when negative). On failure the result file is removed.
    Result apply(const QString& basePath, const QString& patchPath, const QString& outPath, qint64 maxBytes);

    /// Whether apply() also computes the result's SHA-256 (off by default: it costs a second hash).
    void setComputeSha256(bool compute) { m_computeSha256 = compute; }

    /// Why the last apply failed, for the log.
    QString errorString() const { return m_error; }
    /// Of the last successful apply: the result's size, lower-case hex MD5 and raw SHA-256 (empty
    /// unless asked for).
    qint64 resultSize() const { return m_resultSize; }
    QString resultMd5() const { return m_resultMd5; }
    QByteArray resultSha256() const { return m_resultSha256; }

private:
    Result fail(Result result, const QString& error);

    bool m_computeSha256 = false;
    QString m_error;
    qint64 m_resultSize = 0;
    QString m_resultMd5;
    QByteArray m_resultSha256;
};
