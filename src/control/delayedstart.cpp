#include "control/delayedstart.h"

#include "control/launchscript.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtGlobal>

namespace {

void warn(const QString& text)
{
    qWarning("%s", qUtf8Printable(text));
}

/// Removes what a failed launch left of the script and its folder.
void removeScript(const QString& folder, const QString& script)
{
    if (folder.isEmpty()) {
        return;
    }
    QFile::remove(script);
    QDir().rmdir(folder);
}

/// The script text for the interpreter that the platform runs scripts with.
QString delayedStartScript(const QString& program, const QStringList& arguments, const QString& scriptPath)
{
    if (Platform::scriptShell() == Platform::ScriptShell::WindowsBatch) {
        return LaunchScript::windowsBatch(program, arguments, scriptPath);
    }
    return LaunchScript::posixShell(program, arguments, scriptPath);
}

/// The script's bytes, with every path in a form the interpreter's encoding can carry (a Chinese
/// installation folder on a Western system goes in by its short name). False when some text has
/// no such form: a script that names another program must never be run.
bool encodedScript(const QString& program, const QStringList& arguments, const QString& folder,
                   const QString& script, QByteArray& bytes)
{
    const QString scriptInText =
        Platform::scriptSafePath(folder) + QLatin1Char('/') + QFileInfo(script).fileName();
    const QString text = delayedStartScript(Platform::scriptSafePath(program), arguments, scriptInText);
    return Platform::encodeScriptText(text, bytes);
}

} // namespace

void startDelayed(const QString& program, const QStringList& arguments)
{
    const QString absolute = QDir::current().filePath(program);
    // The shared temporary folder lets any local user plant a link or a pipe at a name; the script
    // goes into a fresh folder of the updater's own and is created there, never opened.
    const QString folder = Platform::createPrivateFolder(QDir::tempPath());
    const QString script = (folder.isEmpty() ? QDir::tempPath() : folder) + QLatin1Char('/') +
                           Platform::delayedStartScriptName(QDateTime::currentMSecsSinceEpoch());

    QByteArray text;
    if (folder.isEmpty() || !encodedScript(absolute, arguments, folder, script, text) ||
        !Platform::writeNewFile(script, text)) {
        warn(QStringLiteral("无法创建批处理文件:") + script);
        removeScript(folder, script);
        QProcess::startDetached(absolute, arguments);
        return;
    }

    if (!Platform::startScript(script)) {
        warn(QStringLiteral("无法启动批处理脚本:") + script);
        removeScript(folder, script);
        QProcess::startDetached(Platform::nativeProgramPath(absolute), arguments);
    }
}
