// The update helper. The updater starts it with two file names, "update.exe" "update.exe": the new
// program in the temporary folder and the installed program it replaces. It waits until the
// updater has quit, swaps the program, and starts the updater again as
// "update.exe updatehelper HelperSuccess", or "update.exe updatehelper HelperFaile" when it failed,
// so that the updater cleans up or rolls the installation back. Folders come from the same
// system.cfg beside it.

#include "programswap.h"

#include "apply/pathguard.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QProcess>

namespace {

constexpr int ExitWaitMs = 30000;
constexpr int ReplaceRetryMs = 30000;

void logInfo(const QString& text)
{
    Logger::info(text.toStdString());
}

void logError(const QString& text)
{
    Logger::error(text.toStdString());
}

/// A bare file name: the helper never writes anywhere but the two folders it knows.
bool isPlainFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QLatin1Char(':'));
}

QString withSlash(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

bool swapProgram(const QStringList& arguments, const QString& installDir, QString& installedName)
{
    if (arguments.size() < 2 || !isPlainFileName(arguments.at(0)) || !isPlainFileName(arguments.at(1))) {
        logError(QStringLiteral("expected two file names, got: ") + arguments.join(QLatin1Char(' ')));
        return false;
    }
    installedName = arguments.at(1);
    const CConfigManager& config = CConfigManager::instance();
    const QString tempDir = withSlash(installDir + config.getTempDir());
    if (config.getTempDir().isEmpty() || !PathGuard::isSafeRunFolder(installDir, tempDir)) {
        logError(QStringLiteral("unusable temporary folder: ") + tempDir);
        return false;
    }

    ProgramSwap swap(tempDir + arguments.at(0), installDir + installedName);
    logInfo(QStringLiteral("waiting for the updater to quit: ") + installDir + installedName);
    if (!swap.waitForExit(ExitWaitMs) || !swap.replace(ReplaceRetryMs)) {
        logError(swap.lastError());
        return false;
    }
    logInfo(QStringLiteral("installed ") + tempDir + arguments.at(0) + QStringLiteral("->") + installDir +
            installedName);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString installDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    Logger::init((installDir + CConfigManager::instance().getLogDir() + QStringLiteral("update-helper.log"))
                     .toUtf8()
                     .toStdString());
    logInfo(QStringLiteral("update helper started: ") + QCoreApplication::arguments().join(QLatin1Char(' ')));

    QString installedName = QLatin1String(ConfigNames::UpdaterExe);
    const bool swapped = swapProgram(QCoreApplication::arguments().mid(1), installDir, installedName);

    const QStringList restartArguments = {
        QLatin1String(ConfigNames::SwitchUpdateHelper),
        QLatin1String(swapped ? ConfigNames::SwitchHelperSuccess : ConfigNames::SwitchHelperFailed)};
    const QString updater = installDir + installedName;
    if (!QProcess::startDetached(updater, restartArguments, installDir)) {
        logError(QStringLiteral("cannot start ") + updater);
        return 2;
    }
    logInfo(QStringLiteral("started ") + updater + QLatin1Char(' ') +
            restartArguments.join(QLatin1Char(' ')));
    return swapped ? 0 : 1;
}
