#include "support/scratchtestmain.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const char* const InScratchVariable = "UPDATER_TEST_IN_SCRATCH";
const int ChildTimeoutMs = 280000;

} // namespace

int runTestInScratchFolder(int argc, char** argv, int (*runTests)(int, char**))
{
    if (qEnvironmentVariableIsSet(InScratchVariable)) {
        return runTests(argc, argv);
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString copy = scratch.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    if (!scratch.isValid() || !QFile::copy(QCoreApplication::applicationFilePath(), copy)) {
        qCritical("cannot copy the test executable into a scratch folder");
        return 1;
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(InScratchVariable), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(copy, QCoreApplication::arguments().mid(1));
    // Just under ctest's limit, so that the copy is ended (by its pid) and the folder removed.
    if (!child.waitForFinished(ChildTimeoutMs)) {
        child.kill();
        child.waitForFinished(5000);
        return 1;
    }
    if (child.exitStatus() != QProcess::NormalExit) {
        return 1;
    }
    return child.exitCode();
}

QString scratchFolder()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

bool runningInScratchFolder()
{
    return qEnvironmentVariableIsSet(InScratchVariable);
}
