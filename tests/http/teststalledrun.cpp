// A whole run of update.exe whose file transfer stalls every time it is tried. The test-only
// UPDATER_TEST_TRANSFER_TIMEOUT_MS shortens the 120-second transfer timeout of each attempt.
#include "support/httprelease.h"
#include "support/installsnapshot.h"
#include "support/nginxserver.h"
#include "support/scratchinstallation.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

class TestStalledRun : public QObject
{
    Q_OBJECT
private slots:
    void stalledTransferFailsAndLeavesInstallationUnchanged();
};

void TestStalledRun::stalledTransferFailsAndLeavesInstallationUnchanged()
{
    // The upstream takes connections (the kernel completes them) and never answers; nginx waits
    // for it longer than the updater waits for nginx.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir served;
    NginxServer server(served.path(), QStringLiteral("location /r2/app.bin { proxy_pass http://127.0.0.1:%1; "
                                                     "proxy_read_timeout 600s; }")
                                          .arg(silent.serverPort()));
    QVERIFY2(server.start(), qPrintable(server.lastError()));
    QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"),
                             {{QStringLiteral("app.bin"), QByteArray("new program")}}));

    ScratchInstallation installation;
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    config.insert(QStringLiteral("Update/HttpEnable"), QStringLiteral("true"));
    config.insert(QStringLiteral("Update/URL"), server.baseUrl());
    installation.writeConfig(config);
    QVERIFY(installation.writeFile(QStringLiteral("app.bin"), "old program"));
    QVERIFY(installation.writeFile(QStringLiteral("md5.txt"),
                                   md5ListText({{QStringLiteral("app.bin"), "old program"}})));
    QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"),
                                   manifestText(QStringLiteral("r1"), "1.0")));
    const QStringList runFolders{QStringLiteral("logs"), QStringLiteral("temp")};
    const auto before = snapshotFiles(installation.path(), runFolders);

    qputenv("UPDATER_TEST_TRANSFER_TIMEOUT_MS", "3000");
    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, "取消/失败后清理临时文件完成", 60000);
    qunsetenv("UPDATER_TEST_TRANSFER_TIMEOUT_MS");
    QVERIFY2(result.markerSeen, result.standardOutput.constData());
    // Four attempts, each ended by the timeout.
    QCOMPARE(result.standardOutput.count("重试下载: app.bin"), 3);
    QVERIFY(result.standardOutput.contains("超过3000毫秒未收到数据"));
    // nginx logs an aborted request once it has noticed the client going away.
    QTRY_VERIFY_WITH_TIMEOUT(server.requestLog().contains("GET /r2//app.bin"), 10000);
    QVERIFY(!installation.exists(QStringLiteral("temp/app.bin")));
    const auto after = snapshotFiles(installation.path(), runFolders);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
}

QTEST_GUILESS_MAIN(TestStalledRun)
#include "teststalledrun.moc"
