// Whole runs of update.exe in a scratch installation against the reference update service.
#include "support/consoleresult.h"
#include "support/installsnapshot.h"
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

const QString HostMarker = QStringLiteral("host-started.txt");
const QString UpdateLog = QStringLiteral("logs/update.log");

/// The release the service offers as version 2.0: files in nested folders and at the top.
const QMap<QString, QByteArray> Release = {
    {QStringLiteral("bin/core.dll"), QByteArray(70000, 'n')},
    {QStringLiteral("plugins/audio/mixer.dll"), "mixer 2.0"},
    {QStringLiteral("readme.txt"), "read me 2.0"},
};

/// What the installation holds before the run (version 1.0).
const QMap<QString, QByteArray> Installed = {
    {QStringLiteral("bin/core.dll"), "core 1.0"},
    {QStringLiteral("plugins/audio/mixer.dll"), "mixer 1.0"},
    {QStringLiteral("readme.txt"), "read me 1.0"},
    {QStringLiteral("data/settings.dat"), "kept"},
};

/// A scratch installation configured for the service, with a release folder beside it.
class RunSetup
{
public:
    ScratchInstallation installation;
    QTemporaryDir releaseDir;
    ReferenceService service;

    void prepare(const QStringList& serviceSwitches, const QString& offeredVersion = QStringLiteral("2.0"),
                 const QMap<QString, QByteArray>& extraRelease = {})
    {
        QVERIFY(installation.isValid() && releaseDir.isValid());
        QMap<QString, QByteArray> release = Release;
        release.insert(extraRelease);
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            const QString path = releaseDir.filePath(it.key());
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(it.value()) == it.value().size());
        }
        for (auto it = Installed.cbegin(); it != Installed.cend(); ++it) {
            QVERIFY(installation.writeFile(it.key(), it.value()));
        }
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), HostMarker));
        service.captureLog();
        QVERIFY2(service.start(releaseDir.path(), offeredVersion, serviceSwitches),
                 qPrintable(service.errorString()));
        QMap<QString, QString> config = ScratchInstallation::offlineConfig();
        config.insert(QStringLiteral("Server/UpdatePort"), QString::number(service.port()));
        installation.writeConfig(config);
    }

    bool installedUnchanged() const
    {
        for (auto it = Installed.cbegin(); it != Installed.cend(); ++it) {
            if (installation.readFile(it.key()) != it.value()) {
                return false;
            }
        }
        return true;
    }

    bool releaseInstalled() const
    {
        for (auto it = Release.cbegin(); it != Release.cend(); ++it) {
            if (installation.readFile(it.key()) != it.value()) {
                return false;
            }
        }
        return installation.readFile(QStringLiteral("data/settings.dat")) == "kept";
    }

    int countInUpdaterLog(const QString& text) const
    {
        return QString::fromUtf8(installation.readFile(UpdateLog)).count(text);
    }

    /// Runs update.exe until its console output holds `text`, then checks that it is still
    /// running (the window waits for the user) and ends it. True when both held. The console
    /// output is watched because the log file is only complete once the process ends normally.
    bool runUntilOutput(const QStringList& arguments, const QString& text, int timeoutMs)
    {
        QProcess process;
        process.setWorkingDirectory(installation.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(installation.updaterPath(), arguments);
        QDeadlineTimer deadline(timeoutMs);
        output.clear();
        while (!output.contains(text) && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(100);
            output += QString::fromUtf8(process.readAllStandardOutput());
        }
        const bool seen = output.contains(text);
        // The window stays open after a failed download; give a wrongful exit a moment to happen.
        const bool stillRunning = !process.waitForFinished(500);
        output += QString::fromUtf8(process.readAllStandardOutput());
        process.kill();
        process.waitForFinished(5000);
        return seen && stillRunning;
    }

    /// Console output of the last runUntilOutput().
    QString output;
};

} // namespace

class TestTcpUpdateRun : public QObject
{
    Q_OBJECT
private slots:
    void updateInstallsAndRelaunches_data();
    void updateInstallsAndRelaunches();
    void noUpdate_data();
    void noUpdate();
    void releaseWithItsOwnListsInstallsThem_data();
    void releaseWithItsOwnListsInstallsThem();
    void versionCheckTimesOut();
    void fileFailsEveryAttempt();
    void fileFailsOnceThenSucceeds();
    void connectionDroppedEveryTime();
};

void TestTcpUpdateRun::updateInstallsAndRelaunches_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("expectedJson");

    QTest::newRow("normal") << QStringList() << QByteArray();
    QTest::newRow("console") << QStringList({QStringLiteral("console")}) << ConsoleResult::updateAvailable();
}

void TestTcpUpdateRun::updateInstallsAndRelaunches()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, expectedJson);
    RunSetup setup;
    setup.prepare({QStringLiteral("--chunk-size"), QStringLiteral("16384")});

    const ProcessResult result = setup.installation.runUpdater(arguments);

    QVERIFY2(result.finished, "the run must end by itself after installing");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), expectedJson);
    QVERIFY(setup.releaseInstalled());
    QVERIFY(!setup.installation.exists(QStringLiteral("temp")));
    QVERIFY(!setup.installation.exists(QStringLiteral("backup")));
    QVERIFY(waitForFile(setup.installation.filePath(HostMarker), 10000));
    QCOMPARE(setup.service.countInLog("] serving "), Release.size());
    QCOMPARE(setup.countInUpdaterLog(QStringLiteral("所有文件下载完成")), 1);
}

void TestTcpUpdateRun::noUpdate_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("expectedJson");
    QTest::addColumn<bool>("hostStarted");

    QTest::newRow("normal") << QStringList() << QByteArray() << true;
    QTest::newRow("console") << QStringList({QStringLiteral("console")}) << ConsoleResult::noUpdate()
                             << false;
}

void TestTcpUpdateRun::noUpdate()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, expectedJson);
    QFETCH(bool, hostStarted);
    RunSetup setup;
    setup.prepare({}, QStringLiteral("1.0"));

    const ProcessResult result = setup.installation.runUpdater(arguments);

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), expectedJson);
    QVERIFY(setup.installedUnchanged());
    QCOMPARE(setup.service.countInLog("] serving "), 0);
    QCOMPARE(waitForFile(setup.installation.filePath(HostMarker), hostStarted ? 10000 : 2000), hostStarted);
}

void TestTcpUpdateRun::releaseWithItsOwnListsInstallsThem_data()
{
    QTest::addColumn<bool>("staleStagedLists");
    QTest::addColumn<bool>("carriesManifest");
    QTest::newRow("release carrying update/update.ini") << false << true;
    QTest::newRow("lists left staged by an earlier HTTP update") << true << false;
}

void TestTcpUpdateRun::releaseWithItsOwnListsInstallsThem()
{
    QFETCH(bool, staleStagedLists);
    QFETCH(bool, carriesManifest);
    QMap<QString, QByteArray> lists = {{QStringLiteral("md5.txt"), "tcp release list\n"}};
    if (carriesManifest) {
        lists.insert(QStringLiteral("update/update.ini"), "[Version]\nVersion=2.0\n");
    }
    RunSetup setup;
    setup.prepare({}, QStringLiteral("2.0"), lists);
    QVERIFY(setup.installation.writeFile(QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0\n"));
    QVERIFY(setup.installation.writeFile(QStringLiteral("md5.txt"), "installed list\n"));
    const QStringList runFolders = {QStringLiteral("logs")};
    auto expected = snapshotFiles(setup.installation.path(), runFolders);
    expected.insert(Release);
    expected.insert(lists);
    if (staleStagedLists) {
        QVERIFY(
            setup.installation.writeFile(QStringLiteral("update/updateTmp.ini"), "[Version]\nVersion=1.5\n"));
        QVERIFY(setup.installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "http release list\n"));
    }

    const ProcessResult result = setup.installation.runUpdater({});

    QVERIFY2(result.finished, "the run must end by itself after installing");
    QVERIFY(waitForFile(setup.installation.filePath(HostMarker), 10000));
    auto after = snapshotFiles(setup.installation.path(), runFolders);
    after.remove(HostMarker);
    QVERIFY2(after == expected, qPrintable(describeDifference(after, expected)));
}

void TestTcpUpdateRun::versionCheckTimesOut()
{
    RunSetup setup;
    setup.prepare({QStringLiteral("--delay"), QStringLiteral("3000")});

    const ProcessResult result = setup.installation.runUpdater({QStringLiteral("console")});

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(),
             QByteArray(R"({"errormsg":"版本检查超时，升级服务无应答","success":false,"update":false})"));
    QVERIFY(setup.installedUnchanged());
}

void TestTcpUpdateRun::fileFailsEveryAttempt()
{
    RunSetup setup;
    setup.prepare({QStringLiteral("--error-file"), QStringLiteral("plugins/audio/mixer.dll")});

    QVERIFY(setup.runUntilOutput({}, QStringLiteral("下载错误处理完成"), 30000));

    QCOMPARE(setup.service.countInLog("error reply"), 4);
    QCOMPARE(setup.output.count(QStringLiteral("下载失败，等待重试: mixer.dll")), 3);
    QCOMPARE(setup.output.count(QStringLiteral("下载最终失败，已达到最大重试次数: mixer.dll")), 1);
    // An error reply is of no known class (4); its reason is reported.
    QCOMPARE(setup.output.count(QStringLiteral("文件: mixer.dll 错误类型: 4 原因: 服务器返回错误: refused by "
                                               "--error-file: plugins/audio/mixer.dll")),
             1);
    QVERIFY(setup.installedUnchanged());
    QVERIFY(!setup.installation.exists(QStringLiteral("backup")));
    QVERIFY(!QFileInfo::exists(setup.installation.filePath(HostMarker)));
}

void TestTcpUpdateRun::fileFailsOnceThenSucceeds()
{
    RunSetup setup;
    setup.prepare({QStringLiteral("--chunk-size"), QStringLiteral("16384"), QStringLiteral("--drop-after"),
                   QStringLiteral("20000"), QStringLiteral("--drop-times"), QStringLiteral("1")});

    const ProcessResult result = setup.installation.runUpdater({});

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(setup.countInUpdaterLog(QStringLiteral("重试下载: core.dll, 尝试次数: 1")), 1);
    QCOMPARE(setup.countInUpdaterLog(QStringLiteral("重试下载")), 1);
    QVERIFY(setup.releaseInstalled());
    QVERIFY(!setup.installation.exists(QStringLiteral("temp")));
    QVERIFY(waitForFile(setup.installation.filePath(HostMarker), 10000));
}

void TestTcpUpdateRun::connectionDroppedEveryTime()
{
    RunSetup setup;
    setup.prepare({QStringLiteral("--chunk-size"), QStringLiteral("16384"), QStringLiteral("--drop-after"),
                   QStringLiteral("20000"), QStringLiteral("--drop-times"), QStringLiteral("100")});

    QVERIFY(setup.runUntilOutput({QStringLiteral("console")}, QStringLiteral("下载错误处理完成"), 30000));

    QCOMPARE(setup.output.count(QStringLiteral("文件: core.dll 错误类型: 0")), 1);
    QCOMPARE(setup.service.countInLog("] serving bin/core.dll"), 4);
    QVERIFY(setup.installedUnchanged());
    QVERIFY(!QFileInfo::exists(setup.installation.filePath(HostMarker)));
}

QTEST_MAIN(TestTcpUpdateRun)
#include "testtcpupdaterun.moc"
