#pragma once

#include <QByteArray>
#include <QString>

/// The one JSON line that update.exe prints in console mode, byte for byte as a host program reads
/// it (ProcessResult::jsonLine() picks it out of a run's output).
namespace ConsoleResult {

/// The line for `success`, `update` and `errormsg`, compact, keys in the order update.exe writes.
inline QByteArray line(bool success, bool update, const QString& errormsg = QString())
{
    return QByteArray("{\"errormsg\":\"") + errormsg.toUtf8() +
           "\",\"success\":" + (success ? "true" : "false") + ",\"update\":" + (update ? "true" : "false") +
           "}";
}

/// The check found a newer version.
inline QByteArray updateAvailable()
{
    return line(true, true);
}

/// The check succeeded and found nothing newer.
inline QByteArray noUpdate()
{
    return line(true, false);
}

/// The TCP service did not answer and HTTP is off.
inline QByteArray serviceUnreachable()
{
    return line(false, false, QStringLiteral("TCP升级服务连接失败"));
}

} // namespace ConsoleResult
