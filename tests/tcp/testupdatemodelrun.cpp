// Channel selection of the update model, in whole runs of update.exe against the reference
// service: what decides whether the TCP channel is tried, and that it wins when it answers.
#include "support/consoleresult.h"
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"

#include <QTemporaryDir>
#include <QTest>

class TestUpdateModelRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void channelChoice_data();
    void channelChoice();

private:
    QTemporaryDir m_release;
    ReferenceService m_service;
};

void TestUpdateModelRun::initTestCase()
{
    QVERIFY(m_release.isValid());
    m_service.captureLog();
    QVERIFY2(m_service.start(m_release.path(), QStringLiteral("1.0")), qPrintable(m_service.errorString()));
}

void TestUpdateModelRun::channelChoice_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("httpEnable");
    QTest::addColumn<QByteArray>("expectedJson");
    QTest::addColumn<bool>("tcpChecked");

    const QString service = QString::number(m_service.port());
    const QString local = QStringLiteral("127.0.0.1");
    QTest::newRow("service answers") << local << service << "false" << ConsoleResult::noUpdate() << true;
    // An update service that answers wins over an enabled HTTP channel, however it is spelt.
    QTest::newRow("service wins over HTTP")
        << local << service << "TRUE" << ConsoleResult::noUpdate() << true;
    // Only the low 16 bits of the configured number are the port.
    QTest::newRow("65536 is port 0") << local << "65536"
                                     << "false" << ConsoleResult::serviceUnreachable() << false;
    QTest::newRow("65536 + port is port")
        << local << QString::number(65536 + m_service.port()) << "false" << ConsoleResult::noUpdate() << true;
    QTest::newRow("no server") << "" << service << "false" << ConsoleResult::serviceUnreachable() << false;
    QTest::newRow("port not a number") << local << "port"
                                       << "false" << ConsoleResult::serviceUnreachable() << false;
}

void TestUpdateModelRun::channelChoice()
{
    QFETCH(QString, server);
    QFETCH(QString, port);
    QFETCH(QString, httpEnable);
    QFETCH(QByteArray, expectedJson);
    QFETCH(bool, tcpChecked);

    ScratchInstallation installation;
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    config.insert(QStringLiteral("Server/UpdateServer"), server);
    config.insert(QStringLiteral("Server/UpdatePort"), port);
    config.insert(QStringLiteral("Update/HttpEnable"), httpEnable);
    installation.writeConfig(config);
    const int checksBefore = m_service.countInLog("version check from");

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), expectedJson);
    QCOMPARE(m_service.countInLog("version check from") - checksBefore, tcpChecked ? 1 : 0);
}

QTEST_MAIN(TestUpdateModelRun)
#include "testupdatemodelrun.moc"
