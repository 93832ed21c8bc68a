#include "platform/platform.h"

#include <QFile>

#include <spdlog/sinks/stdout_color_sinks.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

bool encodeScriptText(const QString& text, QByteArray& encoded)
{
    encoded = text.toUtf8();
    return true;
}

QString scriptSafePath(const QString& path)
{
    return path;
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
    // Not QProcess::startDetached: the script and the program it starts would inherit the
    // updater's standard streams, and a caller reading the updater's output to its end would wait
    // for the host program to exit. They get /dev/null and a session of their own instead.
    const QByteArray script = QFile::encodeName(scriptPath);
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        setsid();
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO) {
                close(null);
            }
        }
        // A second fork hands the script to init, so that no zombie waits for this process.
        const pid_t grandchild = fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        execl("/bin/sh", "sh", script.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

QString nativeProgramPath(const QString& path)
{
    return path;
}

spdlog::filename_t logFileName(const std::string& utf8Path)
{
    return utf8Path;
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
