// Whole runs of update.exe against web servers that fail, break off or send broken lists: each
// must end with the installation exactly as it was and the host not started.
#include "faultrun.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/nginxserver.h"
#include "support/rawtcpresponder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

/// Logged once a failed HTTP update has cleaned up; the dialog then waits for the user.
const QByteArray DownloadFailed("取消/失败后清理临时文件完成");

const QMap<QString, QByteArray> Release = {
    {QStringLiteral("bin/core.dll"), "core 2.0"},
    {QStringLiteral("readme.txt"), "read me 2.0"},
};

/// Per case, the web server's tree lies below its own first path segment, which the case's
/// system.cfg makes the base address. These locations break parts of some of those trees.
QString faultLocations(quint16 cutPort)
{
    return QStringLiteral("location = /manifest500/update.ini { return 500; }\n"
                          "location = /list500/r2/md5.txt { return 500; }\n"
                          "location = /file500/r2/readme.txt { return 500; }\n"
                          "location = /listloop/r2/md5.txt { return 302 /listloop/r2/md5.txt; }\n"
                          "location = /fileloop/r2/readme.txt { return 302 /fileloop/r2/readme.txt; }\n"
                          "location = /filecut/r2/readme.txt { proxy_pass http://127.0.0.1:%1; }\n"
                          "location /trickle/ { limit_rate 1; }\n")
        .arg(cutPort);
}

/// A manifest whose Description is a typed value: about 600 KB of lists nested in lists, which
/// Qt's INI reader would decode recursively until the stack runs out.
QByteArray nestedListManifest()
{
    QByteArray nested;
    for (int i = 0; i < 40000; ++i) {
        nested += "\\0\\0\\0\\t\\0\\0\\0\\x1";
    }
    return "[Version]\nFolder=r2\nVersion=2.0\nDescription=@Variant(" + nested + ")\n";
}

/// A valid manifest padded with comment lines beyond 1 MiB.
QByteArray oversizedManifest()
{
    QByteArray text("[Version]\nFolder=r2\nVersion=2.0\n");
    while (text.size() <= 1024 * 1024) {
        text += ";" + QByteArray(99, 'c') + "\n";
    }
    return text;
}

} // namespace

class TestHttpFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void checkFaults_data();
    void checkFaults();
    void failedCheckStillStartsTheHost();
    void downloadFaults_data();
    void downloadFaults();
    void listGarbageWithoutTabsIsSkipped();
    void killedDownloadResumes_data();
    void killedDownloadResumes();
    void fullVolumeRefusesTheDownload();

private:
    /// Serves the link release below `base` and points `installation` at it through `link`.
    void prepareBehindLink(ScratchInstallation& installation, const QString& base, const LinkEmulator& link);
    /// Lays out the case's tree below `base`: the release unless `withRelease` is false, the
    /// manifest `manifest` (the normal one when null) and the list plus `extraListLines`.
    void serve(const QString& base, const QByteArray& manifest, bool withList,
               const QByteArray& extraListLines);
    void prepare(ScratchInstallation& installation, const QString& base);

    QTemporaryDir m_served;
    std::unique_ptr<RawTcpResponder> m_cut;
    std::unique_ptr<NginxServer> m_server;
};

void TestHttpFaults::initTestCase()
{
    // Announces 1000 bytes, sends 11 and closes.
    m_cut = std::make_unique<RawTcpResponder>("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nread me 2.0");
    QVERIFY(m_cut->startListening());
    m_server = std::make_unique<NginxServer>(m_served.path(), faultLocations(m_cut->port()));
    QVERIFY2(m_server->start(), qPrintable(m_server->lastError()));
}

void TestHttpFaults::serve(const QString& base, const QByteArray& manifest, bool withList,
                           const QByteArray& extraListLines)
{
    const QString root = m_served.filePath(base);
    QVERIFY(writeHttpRelease(root, QStringLiteral("r2"), QStringLiteral("2.0"), Release));
    if (!manifest.isNull()) {
        QVERIFY(writeFile(root + QStringLiteral("/update.ini"), manifest));
    }
    if (!withList) {
        QVERIFY(QFile::remove(root + QStringLiteral("/r2/md5.txt")));
    } else if (!extraListLines.isEmpty()) {
        QVERIFY(writeFile(root + QStringLiteral("/r2/md5.txt"), md5ListText(Release) + extraListLines));
    }
}

void TestHttpFaults::prepare(ScratchInstallation& installation, const QString& base)
{
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Update/HttpEnable"), QStringLiteral("true")},
                                 {QStringLiteral("Update/URL"), m_server->baseUrl() + base + '/'}});
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), md5ListText(FaultRun::installedFiles())));
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   manifestText(QStringLiteral("r1"), "1.0")));
}

void TestHttpFaults::checkFaults_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<bool>("withList");
    QTest::addColumn<QByteArray>("listLines");
    QTest::addColumn<QString>("failure");

    // A check that cannot be finished fails with the channel's reason.
    const QByteArray none;
    QTest::newRow("manifest 404") << QStringLiteral("manifest404") << none << true << none
                                  << QStringLiteral("/manifest404/update.ini失败: ");
    QTest::newRow("manifest 500") << QStringLiteral("manifest500") << none << true << none
                                  << QStringLiteral("/manifest500/update.ini失败: ");
    QTest::newRow("manifest without Folder")
        << QStringLiteral("nofolder") << QByteArray("[Version]\nVersion=2.0\n") << true << none
        << QStringLiteral("服务端版本解析失败");
    QTest::newRow("manifest without Version")
        << QStringLiteral("noversion") << QByteArray("[Version]\nFolder=r2\n") << true << none
        << QStringLiteral("服务端版本解析失败");
    QTest::newRow("manifest of binary junk")
        << QStringLiteral("junkmanifest") << QByteArray("\x00\xff[\x01Version\n=\xfe\xfe", 14) << true << none
        << QStringLiteral("服务端update.ini不是文本");
    QTest::newRow("manifest with a typed value of nested lists")
        << QStringLiteral("typedmanifest") << nestedListManifest() << true << none
        << QStringLiteral("服务端update.ini含有类型化的值");
    QTest::newRow("manifest above 1 MiB") << QStringLiteral("hugemanifest") << oversizedManifest() << true
                                          << none << QStringLiteral("服务端update.ini超过1 MiB");
    QTest::newRow("manifest trickled a byte a second")
        << QStringLiteral("trickle")
        << manifestText(QStringLiteral("r2"), "2.0") + ";" + QByteArray(100, 'c') + "\n"
        << true << none << QStringLiteral("检查更新超时");
    QTest::newRow("list 404") << QStringLiteral("list404") << none << false << none
                              << QStringLiteral("/list404/r2/md5.txt失败: ");
    QTest::newRow("list 500") << QStringLiteral("list500") << none << true << none
                              << QStringLiteral("/list500/r2/md5.txt失败: ");
    QTest::newRow("list redirect loop")
        << QStringLiteral("listloop") << none << true << none << QStringLiteral("/listloop/r2/md5.txt失败: ");
    QTest::newRow("list above 16 MiB")
        << QStringLiteral("hugelist") << none << true << QByteArray(17 * 1024 * 1024, '\n')
        << QStringLiteral("服务端md5.txt超过16 MiB");
    QTest::newRow("list entry without a digest")
        << QStringLiteral("nodigest") << none << true << QByteArray("\t/bin/plugin.dll\n")
        << QStringLiteral("MD5列表条目缺少摘要:/bin/plugin.dll");
    QTest::newRow("list entry with an empty key")
        << QStringLiteral("emptykey") << none << true << QByteArray("\t\n")
        << QStringLiteral("MD5列表条目缺少摘要:");
}

void TestHttpFaults::checkFaults()
{
    QFETCH(QString, base);
    QFETCH(QByteArray, manifest);
    QFETCH(bool, withList);
    QFETCH(QByteArray, listLines);
    QFETCH(QString, failure);
    if (base != QLatin1String("manifest404")) {
        serve(base, manifest, withList, listLines);
    }
    ScratchInstallation installation;
    prepare(installation, base);
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 90000);

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    // A check that could not be finished is a failure, with the channel's reason.
    const QJsonObject json = QJsonDocument::fromJson(result.jsonLine()).object();
    QCOMPARE(json.value(QStringLiteral("success")).toBool(true), false);
    QCOMPARE(json.value(QStringLiteral("update")).toBool(true), false);
    QVERIFY2(json.value(QStringLiteral("errormsg")).toString().contains(failure),
             result.jsonLine().constData());
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
    QVERIFY(!m_server->requestLog().contains("GET /" + base.toUtf8() + "/r2/readme.txt"));
}

void TestHttpFaults::failedCheckStillStartsTheHost()
{
    ScratchInstallation installation;
    prepare(installation, QStringLiteral("absent"));
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({}, 60000);

    // Started by a user on a machine that cannot reach the server, the installed version runs.
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(waitForFile(installation.filePath(FaultRun::HostMarker), 15000));
    auto after = FaultRun::snapshot(installation);
    after.remove(FaultRun::HostMarker);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
}

void TestHttpFaults::downloadFaults_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QByteArray>("extraListLines");
    QTest::addColumn<QByteArray>("expectedInLog");

    QTest::newRow("file 500") << "file500" << QByteArray() << QByteArray("readme.txt");
    QTest::newRow("file redirect loop") << "fileloop" << QByteArray() << QByteArray("readme.txt");
    QTest::newRow("file body cut short") << "filecut" << QByteArray() << QByteArray("readme.txt");
    QTest::newRow("list entry with a tab and a made-up key")
        << "bogusentry" << QByteArray("junk\tjunk\n") << QByteArray("junk");
    QTest::newRow("list entry naming the temporary folder's parent")
        << "parentkey" << QByteArray("d41d8cd98f00b204e9800998ecf8427e\t/..\n")
        << QByteArray("更新文件路径不安全，已拒绝:/..");
}

void TestHttpFaults::downloadFaults()
{
    QFETCH(QString, base);
    QFETCH(QByteArray, extraListLines);
    QFETCH(QByteArray, expectedInLog);
    serve(base, QByteArray(), true, extraListLines);
    ScratchInstallation installation;
    prepare(installation, base);
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, DownloadFailed, 60000);

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    QVERIFY2(result.standardOutput.contains(expectedInLog), result.standardOutput.right(3000).constData());
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestHttpFaults::listGarbageWithoutTabsIsSkipped()
{
    QByteArray garbage("no tab on this line\n\n\r\n");
    garbage += QByteArray(100000, 'x') + '\n';
    garbage += QByteArray("\x00\x01\x02\xff\xfe binary\n", 14);
    serve(QStringLiteral("garbage"), QByteArray(), true, garbage);
    ScratchInstallation installation;
    prepare(installation, QStringLiteral("garbage"));

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);

    QVERIFY2(result.finished, result.standardOutput.right(3000).constData());
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    for (auto it = Release.cbegin(); it != Release.cend(); ++it) {
        QCOMPARE(installation.readFile(it.key()), it.value());
    }
    QCOMPARE(installation.readFile(QStringLiteral("data/settings.dat")), QByteArray("kept"));
    QVERIFY(!installation.exists(QStringLiteral("backup")));
    QVERIFY(waitForFile(installation.filePath(FaultRun::HostMarker), 15000));
}

void TestHttpFaults::prepareBehindLink(ScratchInstallation& installation, const QString& base,
                                       const LinkEmulator& link)
{
    QVERIFY(writeHttpRelease(m_served.filePath(base), QStringLiteral("r2"), QStringLiteral("2.0"),
                             FaultRun::linkRelease()));
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Update/HttpEnable"), QStringLiteral("true")},
                                 {QStringLiteral("Update/URL"),
                                  QStringLiteral("http://127.0.0.1:%1/%2/").arg(link.port()).arg(base)}});
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"), md5ListText(FaultRun::installedFiles())));
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   manifestText(QStringLiteral("r1"), "1.0")));
}

void TestHttpFaults::killedDownloadResumes_data()
{
    FaultRun::addStoreChangeRows();
}

void TestHttpFaults::killedDownloadResumes()
{
    QFETCH(FaultRun::StoreChange, change);
    QFETCH(int, filesAgain);
    LinkEmulator link(m_server->port());
    QVERIFY(link.startListening());
    link.setBandwidth(0, FaultRun::LinkRate);
    ScratchInstallation installation;
    prepareBehindLink(installation, QStringLiteral("resume"), link);

    // The lists and a.bin have arrived, half of b.bin has gone down when the run is killed.
    FaultRun::killOnceForwarded(installation, link, FaultRun::LinkFileSize * 3 / 2);
    FaultRun::changeStore(installation, change);
    FaultRun::verifyResumedRun(installation, link, filesAgain);
}

void TestHttpFaults::fullVolumeRefusesTheDownload()
{
    LinkEmulator link(m_server->port());
    QVERIFY(link.startListening());
    ScratchInstallation installation;
    prepareBehindLink(installation, QStringLiteral("fullvolume"), link);
    FaultRun::verifyFullVolumeRefusal(installation, link);
}

QTEST_GUILESS_MAIN(TestHttpFaults)
#include "testhttpfaults.moc"
