#include "support/winerun.h"

#include "support/processes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace WineRun {

const char* const ChineseLocale = "zh_CN.UTF-8";
const char* const WesternLocale = "en_US.UTF-8";

namespace {

QString windowsBin()
{
    return qEnvironmentVariable("UPDATER_WINDOWS_BIN");
}

/// Copies `source` into `target` with every file and folder below it.
bool copyTree(const QString& source, const QString& target)
{
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    const QDir base(source);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString copy = target + QLatin1Char('/') + base.relativeFilePath(file);
        if (!QDir().mkpath(QFileInfo(copy).path()) || !QFile::copy(file, copy)) {
            return false;
        }
    }
    return true;
}

} // namespace

QString unavailableReason()
{
    if (windowsBin().isEmpty()) {
        return QStringLiteral("UPDATER_WINDOWS_BIN is not set; scripts/windows-test.sh runs these tests");
    }
    if (!QFileInfo::exists(windowsProgram(QStringLiteral("update.exe")))) {
        return QStringLiteral("no update.exe in %1; run scripts/windows-build.sh").arg(windowsBin());
    }
    if (!QFileInfo(loader()).isExecutable()) {
        return QStringLiteral("%1 is missing; run scripts/setup.sh").arg(loader());
    }
    return QString();
}

QString windowsProgram(const QString& name)
{
    return windowsBin() + QLatin1Char('/') + name;
}

bool deployUpdater(const QString& folder)
{
    const QDir bin(windowsBin());
    QStringList files = bin.entryList({QStringLiteral("*.dll")}, QDir::Files);
    files << QStringLiteral("update.exe");
    for (const QString& file : files) {
        if (!QFile::copy(bin.filePath(file), folder + QLatin1Char('/') + file)) {
            return false;
        }
    }
    for (const QString& plugins :
         {QStringLiteral("platforms"), QStringLiteral("imageformats"), QStringLiteral("styles")}) {
        if (!copyTree(bin.filePath(plugins), folder + QLatin1Char('/') + plugins)) {
            return false;
        }
    }
    return true;
}

QString windowsPath(const QString& linuxPath)
{
    // QDir::toNativeSeparators leaves the slashes alone on Linux.
    return QStringLiteral("Z:") +
           QFileInfo(linuxPath).absoluteFilePath().replace(QLatin1Char('/'), QLatin1Char('\\'));
}

namespace {

QMap<QString, QString> variablesFor(const char* locale)
{
    const QString name = QString::fromLatin1(locale);
    return {{QStringLiteral("LANG"), name},
            {QStringLiteral("LC_ALL"), name},
            {QStringLiteral("WINEDEBUG"), QStringLiteral("-all")},
            {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")}};
}

} // namespace

QProcessEnvironment processEnvironment(const char* locale)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QMap<QString, QString> variables = variablesFor(locale);
    for (auto it = variables.cbegin(); it != variables.cend(); ++it) {
        environment.insert(it.key(), it.value());
    }
    return environment;
}

ProcessResult run(const QString& program, const QStringList& arguments, const QString& workingDir,
                  const char* locale, int timeoutMs)
{
    return runProcessWithEnvironment(loader(), QStringList{program} + arguments, workingDir,
                                     variablesFor(locale), timeoutMs);
}

ProcessResult runUntil(const QString& program, const QStringList& arguments, const QString& workingDir,
                       const char* locale, const QByteArray& marker, int timeoutMs)
{
    return runProcessUntil(loader(), QStringList{program} + arguments, workingDir, marker, timeoutMs,
                           variablesFor(locale));
}

QString loader()
{
    const QString configured = qEnvironmentVariable("UPDATER_WINE");
    return configured.isEmpty() ? QStringLiteral("/usr/lib/wine/wine64") : configured;
}

void endAll()
{
    QProcess server;
    server.start(QFileInfo(loader()).path() + QStringLiteral("/wineserver"), {QStringLiteral("-k")});
    server.waitForFinished(10000);
}

} // namespace WineRun
