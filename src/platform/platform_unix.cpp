#include "platform/platform.h"

#include <QFile>
#include <QProcess>

#include <spdlog/sinks/stdout_color_sinks.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

QString delayedStartScriptName(qint64 msecsSinceEpoch)
{
    return QStringLiteral("delay_start_%1.sh").arg(msecsSinceEpoch);
}

ScriptShell scriptShell()
{
    return ScriptShell::PosixShell;
}

QString createPrivateFolder(const QString& parent)
{
    // mkdtemp picks an unpredictable name, creates it exclusively and with mode 0700.
    QByteArray name = QFile::encodeName(parent + QStringLiteral("/update-launch-XXXXXX"));
    if (::mkdtemp(name.data()) == nullptr) {
        return QString();
    }
    return QFile::decodeName(name);
}

bool writeNewFile(const QString& path, const QByteArray& content)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRWXU);
    if (fd < 0) {
        return false;
    }
    qint64 written = 0;
    while (written < content.size()) {
        const ssize_t n =
            ::write(fd, content.constData() + written, static_cast<size_t>(content.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += n;
    }
    const bool closed = ::close(fd) == 0;
    return written == content.size() && closed;
}

bool startScript(const QString& scriptPath)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {scriptPath});
}

QString nativeProgramPath(const QString& path)
{
    return path;
}

std::shared_ptr<spdlog::sinks::sink> createConsoleSink()
{
    return std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
}

void prepareProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
    const bool hasDisplay =
        qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    if (!hasDisplay && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

} // namespace Platform
