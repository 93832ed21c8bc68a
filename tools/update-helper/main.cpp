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
#include "config/folderpath.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QProcess>

namespace {

constexpr int ExitWaitMs = 30000;
constexpr int ReplaceRetryMs = 30000;

/// A bare file name: the helper never writes anywhere but the two folders it knows.
bool isPlainFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QLatin1Char(':'));
}

bool swapProgram(const QStringList& arguments, const QString& installDir, QString& installedName)
{
    if (arguments.size() < 2 || !isPlainFileName(arguments.at(0)) || !isPlainFileName(arguments.at(1))) {
        Logger::error(QStringLiteral("expected two file names, got: ") + arguments.join(QLatin1Char(' ')));
        return false;
    }
    installedName = arguments.at(1);
    const CConfigManager& config = CConfigManager::instance();
    const QString tempDir = withTrailingSlash(installDir + config.getTempDir());
    if (config.getTempDir().isEmpty() || !PathGuard::isSafeRunFolder(installDir, tempDir)) {
        Logger::error(QStringLiteral("unusable temporary folder: ") + tempDir);
        return false;
    }

    ProgramSwap swap(tempDir + arguments.at(0), installDir + installedName);
    Logger::info(QStringLiteral("waiting for the updater to quit: ") + installDir + installedName);
    if (!swap.waitForExit(ExitWaitMs) || !swap.replace(ReplaceRetryMs)) {
        Logger::error(swap.lastError());
        return false;
    }
    Logger::info(QStringLiteral("installed ") + tempDir + arguments.at(0) + QStringLiteral("->") +
                 installDir + installedName);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString installDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    Logger::init(installDir + CConfigManager::instance().getLogDir() + QStringLiteral("update-helper.log"));
    Logger::info(QStringLiteral("update helper started: ") +
                 QCoreApplication::arguments().join(QLatin1Char(' ')));

    QString installedName = QLatin1String(ConfigNames::UpdaterExe);
    const bool swapped = swapProgram(QCoreApplication::arguments().mid(1), installDir, installedName);

    const QStringList restartArguments = {
        QLatin1String(ConfigNames::SwitchUpdateHelper),
        QLatin1String(swapped ? ConfigNames::SwitchHelperSuccess : ConfigNames::SwitchHelperFailed)};
    const QString updater = installDir + installedName;
    if (!QProcess::startDetached(updater, restartArguments, installDir)) {
        Logger::error(QStringLiteral("cannot start ") + updater);
        return 2;
    }
    Logger::info(QStringLiteral("started ") + updater + QLatin1Char(' ') +
                 restartArguments.join(QLatin1Char(' ')));
    return swapped ? 0 : 1;
}
