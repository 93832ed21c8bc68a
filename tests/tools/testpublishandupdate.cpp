#include "formats/md5list.h"
#include "support/consoleresult.h"
#include "support/nginxserver.h"
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

/// A release published with publish-release updates real installations over both channels, and
/// the list it publishes is the one the updater itself would write for the same files. The release
/// is signed; installations without a key take it as they take an unsigned one.
class TestPublishAndUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;

    QString work(const QString& relative) const { return m_work.filePath(relative); }

    static bool writeTree(const QString& root, const QMap<QString, QByteArray>& files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = root + QLatin1Char('/') + it.key();
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size()) {
                return false;
            }
        }
        return true;
    }

    static QMap<QString, QByteArray> version1()
    {
        return {{QStringLiteral("app.bin"), "app 1"},
                {QStringLiteral("data/greeting.txt"), "hello 1"},
                {QStringLiteral("docs/manual.txt"), "unchanged manual"}};
    }

    static QMap<QString, QByteArray> version2()
    {
        QByteArray large(300000, '\0');
        for (int i = 0; i < large.size(); ++i) {
            large[i] = static_cast<char>((i * 131) % 251);
        }
        return {{QStringLiteral("app.bin"), "app 2"},
                {QStringLiteral("data/greeting.txt"), "hello 2"},
                {QStringLiteral("data/new file.txt"), "added in 2"},
                {QStringLiteral("docs/manual.txt"), "unchanged manual"},
                {QStringLiteral("lib/deep/engine.dat"), large}};
    }

    static void installVersion1(ScratchInstallation& installation, const QMap<QString, QString>& config)
    {
        QVERIFY(writeTree(installation.path(), version1()));
        QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0\n"));
        installation.writeConfig(config);
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-ran.txt")));
    }

    static void verifyVersion2(const ScratchInstallation& installation)
    {
        const QMap<QString, QByteArray> expected = version2();
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(installation.readFile(it.key()) == it.value(), qPrintable(it.key()));
        }
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("backup")));
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-ran.txt")), 10000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        QVERIFY(writeTree(work(QStringLiteral("v2")), version2()));
        const QString publisher = builtProgram(QStringLiteral("publish-release"));
        const ProcessResult keys = runProcess(
            publisher, {QStringLiteral("keygen"), work(QStringLiteral("keys"))}, m_work.path(), 30000);
        QVERIFY2(keys.exitCode == 0, keys.standardError.constData());
        const ProcessResult published =
            runProcess(publisher,
                       {work(QStringLiteral("v2")), QStringLiteral("2.0"), QStringLiteral("r2"),
                        QStringLiteral("--web-root"), work(QStringLiteral("web")),
                        QStringLiteral("--tcp-root"), work(QStringLiteral("tcp")),
                        QStringLiteral("--sign-key"), work(QStringLiteral("keys/release-signing.key"))},
                       m_work.path(), 30000);
        QVERIFY2(published.exitCode == 0, published.standardError.constData());
    }

    void publishedListEqualsTheUpdatersOwn()
    {
        QTemporaryDir copy;
        QVERIFY(writeTree(copy.path(), version2()));
        generateMd5List(copy.path() + QLatin1Char('/'));
        QFile generated(copy.filePath(QStringLiteral("md5.txt")));
        QFile published(work(QStringLiteral("web/r2/md5.txt")));
        QVERIFY(generated.open(QIODevice::ReadOnly));
        QVERIFY(published.open(QIODevice::ReadOnly));
        const QByteArray list = published.readAll();
        QCOMPARE(list.count('\n'), version2().size());
        QCOMPARE(list, generated.readAll());
    }

    void publishedReleaseUpdatesOverTcp()
    {
        ReferenceService service;
        QVERIFY2(service.start(work(QStringLiteral("tcp/r2")), QStringLiteral("2.0")),
                 qPrintable(service.errorString()));
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Server/UpdatePort")] = QString::number(service.port());
        installVersion1(installation, config);

        const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
        verifyVersion2(installation);
        // The service offered the manifest like any other file, and it landed where it is kept.
        QFile manifest(work(QStringLiteral("tcp/r2/update/release.manifest")));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QCOMPARE(installation.readFile(QStringLiteral("update/release.manifest")), manifest.readAll());
    }

    void publishedReleaseUpdatesOverHttp()
    {
        NginxServer server(work(QStringLiteral("web")));
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Server/UpdatePort")] = QStringLiteral("0");
        config[QStringLiteral("Update/HttpEnable")] = QStringLiteral("true");
        config[QStringLiteral("Update/URL")] = server.baseUrl();
        installVersion1(installation, config);

        const ProcessResult result = installation.runUpdater({}, 60000);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        verifyVersion2(installation);
        QFile published(work(QStringLiteral("web/r2/md5.txt")));
        QVERIFY(published.open(QIODevice::ReadOnly));
        QCOMPARE(installation.readFile(QStringLiteral("md5.txt")), published.readAll());
        // The staged lists went with the update they described.
        QVERIFY(!installation.exists(QStringLiteral("update/md5Tmp.txt")));
        QVERIFY(installation.readFile(QStringLiteral("update/update.ini")).contains("2.0"));
    }
};

QTEST_GUILESS_MAIN(TestPublishAndUpdate)
#include "testpublishandupdate.moc"
