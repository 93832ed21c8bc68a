#include "control/delayedstart.h"

#include "control/launchscript.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtGlobal>

namespace {

void warn(const QString& text)
{
    qWarning("%s", qUtf8Printable(text));
}

/// The script text for the interpreter that the platform runs scripts with.
QByteArray delayedStartScript(const QString& program, const QStringList& arguments, const QString& scriptPath)
{
    if (Platform::scriptShell() == Platform::ScriptShell::WindowsBatch) {
        return LaunchScript::windowsBatch(program, arguments, scriptPath);
    }
    return LaunchScript::posixShell(program, arguments, scriptPath);
}

} // namespace

void startDelayed(const QString& program, const QStringList& arguments)
{
    const QString absolute = QDir::current().filePath(program);
    const QString script = QDir::tempPath() + QLatin1Char('/') +
                           Platform::delayedStartScriptName(QDateTime::currentMSecsSinceEpoch());

    QFile file(script);
    const QByteArray text = delayedStartScript(absolute, arguments, script);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                         file.write(text) == text.size() && file.flush();
    file.close();
    if (!written) {
        warn(QStringLiteral("无法创建批处理文件:") + script);
        file.remove();
        QProcess::startDetached(absolute, arguments);
        return;
    }

    if (!Platform::startScript(script)) {
        warn(QStringLiteral("无法启动批处理脚本:") + script);
        file.remove();
        QProcess::startDetached(Platform::nativeProgramPath(absolute), arguments);
    }
}
