// The reference update service's command line and its listing of a release folder.
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"
#include "tcp/qupdatetcpclient.h"

#include <QtTest>

class TestUpdateService : public QObject
{
    Q_OBJECT
private slots:
    void badCommandLines_data();
    void badCommandLines();
    void listingSkipsNamesTooLongForTheProtocol();
};

void TestUpdateService::badCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no root") << QStringList{"--version", "1", "--port", "0"} << "are required";
    QTest::newRow("missing root") << QStringList{"--root", "/nonexistent/release", "--version", "1", "--port",
                                                 "0"}
                                  << "does not exist";
    QTest::newRow("port out of range")
        << QStringList{"--root", ".", "--version", "1", "--port", "70000"} << "bad --port";
    QTest::newRow("zero chunk size") << QStringList{"--root", ".", "--version",    "1",
                                                    "--port", "0", "--chunk-size", "0"}
                                     << "bad --chunk-size";
    QTest::newRow("bad host") << QStringList{"--root", ".", "--version", "1",
                                             "--port", "0", "--host",    "nowhere"}
                              << "bad --host";
}

void TestUpdateService::badCommandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const ProcessResult result =
        runProcess(builtProgram(QStringLiteral("update-service")), arguments, dir.path(), 10000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.standardOutput.isEmpty());
    QVERIFY2(QString::fromUtf8(result.standardError).contains(message), result.standardError.constData());
}

void TestUpdateService::listingSkipsNamesTooLongForTheProtocol()
{
    QTemporaryDir release;
    const QStringList files{"a/" + QString(31, QLatin1Char('n')), "a/" + QString(32, QLatin1Char('n')),
                            QString(127, QLatin1Char('p')) + "/f", QString(128, QLatin1Char('p')) + "/f",
                            "z.txt"};
    for (const QString& file : files) {
        QVERIFY(QDir().mkpath(QFileInfo(release.filePath(file)).path()));
        QFile out(release.filePath(file));
        QVERIFY(out.open(QIODevice::WriteOnly));
    }
    ReferenceService service;
    QVERIFY2(service.start(release.path(), QStringLiteral("2")), qPrintable(service.errorString()));
    QObject owner;
    QUpdateTcpClient client(&owner);
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), service.port()));
    const VersionInfo info =
        client.checkVersion(encodeVersionCheckRequest(QStringLiteral("1"), 1, QString()), 5000);
    QStringList listed;
    for (const FileRecord& record : info.files) {
        listed.append(record.filePath() + QLatin1Char('/') + record.fileName());
    }
    QCOMPARE(listed, (QStringList{files.at(0), files.at(2), "/z.txt"}));
}

QTEST_GUILESS_MAIN(TestUpdateService)
#include "testupdateservice.moc"
