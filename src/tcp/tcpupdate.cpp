#include "tcp/tcpupdate.h"

#include <QStringList>

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

bool containsAny(const QString& text, const QStringList& keywords)
{
    for (const QString& keyword : keywords) {
        if (text.contains(keyword, Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

} // namespace

CTCPUpdate::CTCPUpdate(QObject* parent) : QObject(parent) {}

QString CTCPUpdate::formatFileSize(qint64 bytes)
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

CTCPUpdate::ErrorClass CTCPUpdate::classifyError(const QString& message)
{
    // Order matters: a text such as "connection timeout" is a timeout first.
    static const QList<QPair<QStringList, ErrorClass>> groups = {
        {{QStringLiteral("timeout"), QStringLiteral("超时")}, TimeoutError},
        {{QStringLiteral("network"), QStringLiteral("connection"), QStringLiteral("网络"),
          QStringLiteral("连接")},
         NetworkError},
        {{QStringLiteral("file"), QStringLiteral("disk"), QStringLiteral("文件"), QStringLiteral("磁盘")},
         FileSystemError},
        {{QStringLiteral("cancel"), QStringLiteral("取消")}, CancelledError},
    };
    for (const auto& group : groups) {
        if (containsAny(message, group.first)) {
            return group.second;
        }
    }
    return UnknownError;
}
