// Whole runs of the Windows build of update.exe under Wine, against the reference update service and
// nginx running on Linux: the Windows code paths (code pages, the cmd.exe launcher, file sharing,
// the single-instance guard over a Windows file mapping, drive-letter paths) run for real here.
#include "support/files.h"
#include "support/httprelease.h"
#include "support/installsnapshot.h"
#include "support/nginxserver.h"
#include "support/processes.h"
#include "support/referenceservice.h"
#include "support/winerun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

constexpr int RunTimeoutMs = 20000;

const QString HostExe = QStringLiteral("主 程序.exe");
const QString HostRuns = QStringLiteral("host-runs.txt");

/// The installed version 1.0; the releases change some of these files and add others.
const QMap<QString, QByteArray> Installed = {
    {QStringLiteral("bin/core.dll"), "core 1.0"},
    {QStringLiteral("数据/新.txt"), "新 1.0"},
    {QStringLiteral("data/settings.dat"), "kept"},
};

/// Version 2.0 with non-ASCII names, nested folders and a file larger than one transfer block.
const QMap<QString, QByteArray> Release = {
    {QStringLiteral("bin/core.dll"), QByteArray(300000, 'n')},
    {QStringLiteral("数据/新.txt"), "新 2.0"},
    {QStringLiteral("新 文件夹/说明 2.txt"), "added in 2.0"},
};

/// `value` for system.cfg, whose reader takes bytes outside ASCII as Latin-1: other characters
/// are written with the reader's escapes, as QSettings writes them.
QByteArray iniEscaped(const QString& value)
{
    QByteArray text;
    for (const QChar c : value) {
        text += c.unicode() < 0x80 ? QByteArray(1, char(c.unicode()))
                                   : "\\x" + QByteArray::number(c.unicode(), 16);
    }
    return text;
}

/// An installation of the Windows updater in a folder whose path has blanks and Chinese characters.
class WineInstallation
{
public:
    WineInstallation()
    {
        m_path = m_base.filePath(QStringLiteral("我的 程序"));
        QDir().mkpath(m_path);
        m_deployed = m_base.isValid() && WineRun::deployUpdater(m_path);
    }

    bool isValid() const { return m_deployed; }
    QString path() const { return m_path; }
    QString filePath(const QString& relative) const { return m_path + QLatin1Char('/') + relative; }

    void writeConfig(const QMap<QString, QString>& values)
    {
        QByteArray text;
        QString section;
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            const QString group = it.key().section(QLatin1Char('/'), 0, 0);
            if (group != section) {
                section = group;
                text += "[" + (group == QLatin1String("General") ? QByteArray("%General") : group.toUtf8()) +
                        "]\n";
            }
            text += it.key().section(QLatin1Char('/'), 1).toUtf8() + "=" + iniEscaped(it.value()) + "\n";
        }
        writeFile(filePath(QStringLiteral("system.cfg")), text);
    }

    ProcessResult run(const QStringList& arguments, const char* locale, int timeoutMs = RunTimeoutMs) const
    {
        return WineRun::run(filePath(QStringLiteral("update.exe")), arguments, m_path, locale, timeoutMs);
    }

    /// Writes the installed version 1.0 and the stand-in host program.
    bool installOldVersion()
    {
        for (auto it = Installed.cbegin(); it != Installed.cend(); ++it) {
            if (!writeFile(filePath(it.key()), it.value())) {
                return false;
            }
        }
        return writeFile(filePath(QStringLiteral("update/update.ini")), "[Version]\nVersion=1.0\n") &&
               writeFile(filePath(QStringLiteral("md5.txt")), md5ListText(Installed)) &&
               QFile::copy(WineRun::windowsProgram(QStringLiteral("hostprobe.exe")), filePath(HostExe));
    }

    /// The release's files are installed byte for byte and the files it does not carry are kept.
    QString releaseDifference(const QMap<QString, QByteArray>& release) const
    {
        QMap<QString, QByteArray> expected = Installed;
        expected.insert(release);
        QMap<QString, QByteArray> actual;
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            actual.insert(it.key(), readFile(filePath(it.key())));
        }
        return describeDifference(actual, expected);
    }

    /// What update.exe (and the update helper) logged, for failure messages.
    QByteArray logs() const
    {
        return readFile(filePath(QStringLiteral("logs/update-helper.log"))) +
               readFile(filePath(QStringLiteral("logs/update.log")));
    }

    /// Whether the host program was started from this installation, by its Windows path: waits for
    /// the first line it writes (its own path and its command line).
    bool hostRelaunched() const
    {
        waitUntil([this] { return readFile(filePath(HostRuns)).endsWith('\n'); }, RunTimeoutMs);
        return QString::fromUtf8(readFile(filePath(HostRuns)))
            .startsWith(WineRun::windowsPath(filePath(HostExe)) + QLatin1Char('|'));
    }

private:
    QTemporaryDir m_base;
    QString m_path;
    bool m_deployed = false;
};

/// system.cfg of an installation that reaches no TCP service; HTTP from `url` when it is set.
QMap<QString, QString> configFor(const QString& url = QString())
{
    return {
        {QStringLiteral("Update/HostExe"), QStringLiteral("主 程序.exe")},
        {QStringLiteral("Update/UpdateHelperExe"), QStringLiteral("update-helper.exe")},
        {QStringLiteral("Update/UpdateExe"), QStringLiteral("update.exe")},
        {QStringLiteral("Update/HttpEnable"),
         url.isEmpty() ? QStringLiteral("false") : QStringLiteral("true")},
        {QStringLiteral("Update/URL"), url},
        {QStringLiteral("Server/UpdateServer"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("Server/UpdatePort"), QStringLiteral("1")},
        {QStringLiteral("General/Version"), QStringLiteral("1.0")},
        {QStringLiteral("Paths/Backup"), QStringLiteral("backup/")},
        {QStringLiteral("Paths/Temp"), QStringLiteral("temp/")},
        {QStringLiteral("Paths/Log"), QStringLiteral("logs/")},
    };
}

const QString UpdateLine = QStringLiteral(R"({"errormsg":"","success":true,"update":true})");

/// The JSON line as update.exe writes it in the code page `codec`.
QByteArray inCodePage(const QString& line, const char* codec)
{
    return QTextCodec::codecForName(codec)->fromUnicode(line);
}

} // namespace

class TestWineRuns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString reason = WineRun::unavailableReason();
        if (!reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
    }

    void cleanup() { WineRun::endAll(); }

    void consoleWithoutServiceWritesTheLineInTheCodePage_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QByteArray>("codec");
        QTest::newRow("Chinese (GBK)") << QByteArray(WineRun::ChineseLocale) << QByteArray("GBK");
        QTest::newRow("Western (1252)") << QByteArray(WineRun::WesternLocale) << QByteArray("windows-1252");
    }

    void consoleWithoutServiceWritesTheLineInTheCodePage()
    {
        QFETCH(QByteArray, locale);
        QFETCH(QByteArray, codec);
        WineInstallation installation;
        QVERIFY(installation.isValid());
        installation.writeConfig(configFor());

        const ProcessResult result = installation.run({QStringLiteral("console")}, locale.constData());
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        const QByteArray line =
            inCodePage(QStringLiteral(R"({"errormsg":"TCP升级服务连接失败","success":false,"update":false})"),
                       codec.constData());
        QVERIFY2(result.standardOutput.contains(line + "\r\n"), result.standardOutput.constData());
        QCOMPARE(result.standardOutput.count('{'), 1);
        // The log lies in the installation's own folder, whose name is not in the ASCII range.
        QVERIFY(
            readFile(installation.filePath(QStringLiteral("logs/update.log"))).contains("Update started"));
    }

    void secondCopyIsRefusedWhileTheFirstRuns_data()
    {
        QTest::addColumn<bool>("otherCase");
        QTest::newRow("same path") << false;
        QTest::newRow("path in other letter case") << true;
    }

    void secondCopyIsRefusedWhileTheFirstRuns()
    {
        QFETCH(bool, otherCase);
        // The first copy stays busy downloading a release that nginx hands out slowly.
        QTemporaryDir served;
        QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"),
                                 {{QStringLiteral("big.bin"), QByteArray(8 << 20, 'b')}}));
        NginxServer server(served.path(), QStringLiteral("location /r2/ { limit_rate 64k; }\n"));
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        WineInstallation installation;
        QVERIFY(installation.isValid());
        installation.writeConfig(configFor(server.baseUrl()));

        QProcess first;
        first.setProcessEnvironment(WineRun::processEnvironment(WineRun::ChineseLocale));
        first.setWorkingDirectory(installation.path());
        first.start(WineRun::loader(), {installation.filePath(QStringLiteral("update.exe"))});
        // Once the list is staged the first copy is downloading (nginx logs a request only at its end).
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("update/md5Tmp.txt")), RunTimeoutMs));

        QString second = WineRun::windowsPath(installation.filePath(QStringLiteral("update.exe")));
        if (otherCase) {
            second.replace(QStringLiteral("update.exe"), QStringLiteral("UPDATE.EXE"));
        }
        const ProcessResult refused = WineRun::run(second, {QStringLiteral("console")}, installation.path(),
                                                   WineRun::ChineseLocale, RunTimeoutMs);
        QVERIFY(refused.finished);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(!refused.standardOutput.contains('{'), refused.standardOutput.constData());
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        first.waitForFinished(10000);
    }

    void fullUpdateOverTcp()
    {
        QTemporaryDir releaseDir;
        for (auto it = Release.cbegin(); it != Release.cend(); ++it) {
            QVERIFY(writeFile(releaseDir.filePath(it.key()), it.value()));
        }
        ReferenceService service;
        QVERIFY2(service.start(releaseDir.path(), QStringLiteral("2.0")), qPrintable(service.errorString()));
        WineInstallation installation;
        QVERIFY(installation.isValid() && installation.installOldVersion());
        QMap<QString, QString> config = configFor();
        config.insert(QStringLiteral("Server/UpdatePort"), QString::number(service.port()));
        installation.writeConfig(config);

        const ProcessResult result = installation.run({QStringLiteral("console")}, WineRun::ChineseLocale);
        QVERIFY(result.finished);
        QCOMPARE(result.jsonLine(), inCodePage(UpdateLine, "GBK"));
        const QString difference = installation.releaseDifference(Release);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        // Relaunched through the batch launcher from the folder with blanks and Chinese characters.
        QVERIFY2(installation.hostRelaunched(), installation.logs().right(1500).constData());
    }

    void fullUpdateOverHttp_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<bool>("withPatch");
        QTest::newRow("Chinese (GBK)") << QByteArray(WineRun::ChineseLocale) << false;
        QTest::newRow("Western (1252)") << QByteArray(WineRun::WesternLocale) << false;
        QTest::newRow("Chinese (GBK), a file as a patch") << QByteArray(WineRun::ChineseLocale) << true;
    }

    void fullUpdateOverHttp()
    {
        QFETCH(QByteArray, locale);
        QFETCH(bool, withPatch);
        QTemporaryDir served;
        QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), Release));
        const QString patched = QStringLiteral("bin/core.dll");
        QVERIFY(!withPatch || writeHttpPatch(served.path(), QStringLiteral("r2"), patched,
                                             Installed.value(patched), Release.value(patched)));
        NginxServer server(served.path());
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        WineInstallation installation;
        QVERIFY(installation.isValid() && installation.installOldVersion());
        installation.writeConfig(configFor(server.baseUrl()));

        const ProcessResult result = installation.run({}, locale.constData());
        QVERIFY(result.finished);
        const QString difference = installation.releaseDifference(Release);
        QVERIFY2(difference.isEmpty(), qPrintable(difference + QString::fromUtf8(server.requestLog())));
        QVERIFY2(installation.hostRelaunched(), installation.logs().right(1500).constData());
        // The patched file came as its patch, rebuilt by the Windows build's libzstd.
        QCOMPARE(server.requestLog().contains(".zst HTTP"), withPatch);
        QCOMPARE(server.requestLog().contains("GET /r2//bin/core.dll HTTP"), !withPatch);
    }

    void selfUpdateReplacesTheRunningProgram()
    {
        WineInstallation installation;
        QVERIFY(installation.isValid() && installation.installOldVersion());
        QVERIFY(QFile::copy(WineRun::windowsProgram(QStringLiteral("update-helper.exe")),
                            installation.filePath(QStringLiteral("update-helper.exe"))));
        // The new update.exe is the built one with a tail: it differs, and still runs.
        QMap<QString, QByteArray> release = Release;
        release.insert(QStringLiteral("update.exe"),
                       readFile(installation.filePath(QStringLiteral("update.exe"))) + "\nnew build\n");
        QTemporaryDir served;
        QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), release));
        NginxServer server(served.path());
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        installation.writeConfig(configFor(server.baseUrl()));

        const ProcessResult result = installation.run({}, WineRun::ChineseLocale);
        QVERIFY(result.finished);
        // The helper swaps update.exe once it quit; the finishing run cleans up and starts the host.
        QVERIFY2(installation.hostRelaunched(), installation.logs().right(1500).constData());
        const QString difference = installation.releaseDifference(release);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(waitUntil([&] { return !QFileInfo::exists(installation.filePath(QStringLiteral("temp"))); },
                          RunTimeoutMs));
        QVERIFY(!QFileInfo::exists(installation.filePath(QStringLiteral("backup"))));
    }

    void fileHeldOpenByAnotherProgramLeavesTheOldInstallation_data()
    {
        QTest::addColumn<QString>("sharing");
        QTest::addColumn<QByteArray>("outcome");
        // Nobody may read the file: its backup fails, and nothing is replaced.
        QTest::newRow("no sharing") << QStringLiteral("none") << QByteArray("备份文件失败");
        // Others may read it, as a running program's files: the backup succeeds, the replacement
        // fails on it, and the rollback restores what was already replaced.
        QTest::newRow("read sharing") << QStringLiteral("read") << QByteArray("文件回退完成");
    }

    void fileHeldOpenByAnotherProgramLeavesTheOldInstallation()
    {
        QFETCH(QString, sharing);
        QFETCH(QByteArray, outcome);
        QTemporaryDir served;
        QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"), Release));
        NginxServer server(served.path());
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        WineInstallation installation;
        QVERIFY(installation.isValid() && installation.installOldVersion());
        installation.writeConfig(configFor(server.baseUrl()));
        const QStringList runFolders = {QStringLiteral("logs"), QStringLiteral("temp"),
                                        QStringLiteral("backup")};
        const QMap<QString, QByteArray> before = snapshotFiles(installation.path(), runFolders);

        // Another program holds a file that the release replaces (the second one in order).
        QProcess locker;
        locker.setProcessEnvironment(WineRun::processEnvironment(WineRun::ChineseLocale));
        locker.start(WineRun::loader(),
                     {WineRun::windowsProgram(QStringLiteral("filelocker.exe")),
                      WineRun::windowsPath(installation.filePath(QStringLiteral("数据/新.txt"))),
                      QStringLiteral("120"), sharing,
                      WineRun::windowsPath(installation.filePath(QStringLiteral("locked")))});
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("locked")), RunTimeoutMs));
        QVERIFY(QFile::remove(installation.filePath(QStringLiteral("locked"))));

        const ProcessResult result =
            WineRun::runUntil(installation.filePath(QStringLiteral("update.exe")), {}, installation.path(),
                              WineRun::ChineseLocale, outcome, RunTimeoutMs);
        QVERIFY2(result.markerSeen, result.standardOutput.right(1500).constData());
        locker.kill();
        locker.waitForFinished(10000);
        WineRun::endAll();
        // The staged lists may stay until the next check; the installed manifest and list may not change.
        QMap<QString, QByteArray> after = snapshotFiles(installation.path(), runFolders);
        after.remove(QStringLiteral("update/updateTmp.ini"));
        after.remove(QStringLiteral("update/md5Tmp.txt"));
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QVERIFY(!QFileInfo::exists(installation.filePath(HostRuns)));
    }
};

QTEST_GUILESS_MAIN(TestWineRuns)
#include "testwineruns.moc"
