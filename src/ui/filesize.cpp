#include "ui/filesize.h"

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 GiB = 1024 * MiB;

QString formatScaled(qint64 bytes, qint64 unit, const char* suffix)
{
    return QStringLiteral("%1 %2")
        .arg(static_cast<double>(bytes) / static_cast<double>(unit), 0, 'f', 2)
        .arg(QLatin1String(suffix));
}

} // namespace

namespace FileSize {

QString toText(qint64 bytes)
{
    if (bytes >= GiB) {
        return formatScaled(bytes, GiB, "GB");
    }
    if (bytes >= MiB) {
        return formatScaled(bytes, MiB, "MB");
    }
    if (bytes >= KiB) {
        return formatScaled(bytes, KiB, "KB");
    }
    return QStringLiteral("%1 B").arg(bytes);
}

} // namespace FileSize
