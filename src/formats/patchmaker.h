#pragma once

#include <QByteArray>
#include <QString>

/// Makes the zstd patch that turns one file (the base) into another: the base is the prefix
/// dictionary and long-distance matching finds what both share, however far apart. The window
/// spans the base and the new file together (twice the larger one), so both must be at most
/// 2^(PatchApplier::MaxWindowLog - 1) bytes: 64 MiB.
class PatchMaker
{
public:
    /// The patch of `targetPath` against `basePath`, or false and a reason in `error`.
    static bool make(const QString& basePath, const QString& targetPath, QByteArray& patch, QString& error);
    /// The same for contents in memory.
    static bool make(const QByteArray& base, const QByteArray& target, QByteArray& patch, QString& error);
    /// The window log a patch between files of these sizes uses; larger than
    /// PatchApplier::MaxWindowLog when no patch can be made.
    static int windowLogFor(qint64 baseSize, qint64 targetSize);
};
