#include "http/filedownload.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/nginxserver.h"
#include "support/scratchinstallation.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray SmallContent("small file content\n");

QByteArray largeContent()
{
    QByteArray content;
    for (int i = 0; content.size() < 3 * 1024 * 1024; ++i) {
        content += QByteArray::number(i) + ' ';
    }
    return content;
}

} // namespace

class TestFileDownload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void downloadsAndVerifies_data();
    void downloadsAndVerifies();
    void failuresRemoveTheFile_data();
    void failuresRemoveTheFile();
    void shortWriteIsAFailure();
    void streamsToDiskWhileReceiving();
    void abortReportsAtOnce();
    void stalledTransferTimesOut();
    void destructionRemovesPartialFile();
    void unpreparedTargetFailsAtStart();
    void httpsWorksAndIsNeverDowngraded();

private:
    struct Run
    {
        std::unique_ptr<CFileDownload> download;
        std::unique_ptr<QSignalSpy> finished;
        std::unique_ptr<QSignalSpy> errors;
    };
    Run startDownload(const QString& url, const QString& target, const QString& md5 = QString());

    QTemporaryDir m_root;
    std::unique_ptr<NginxServer> m_server;
    QNetworkAccessManager m_manager;
    QTemporaryDir m_target;
};

void TestFileDownload::initTestCase()
{
    QVERIFY(writeFile(m_root.filePath(QStringLiteral("files/small.txt")), SmallContent));
    QVERIFY(writeFile(m_root.filePath(QStringLiteral("files/large.bin")), largeContent()));
    QVERIFY(writeFile(m_root.filePath(QStringLiteral("slow/large.bin")), largeContent()));
    m_server =
        std::make_unique<NginxServer>(m_root.path(), QStringLiteral("location /slow/ { limit_rate 512k; }\n"
                                                                    "location = /moved.txt { return 301 "
                                                                    "/files/small.txt; }\n"
                                                                    "location = /loop.txt { return 302 "
                                                                    "/loop.txt; }\n"));
    QVERIFY2(m_server->start(), qPrintable(m_server->lastError()));
}

TestFileDownload::Run TestFileDownload::startDownload(const QString& url, const QString& target,
                                                      const QString& md5)
{
    Run run;
    run.download = std::make_unique<CFileDownload>(&m_manager);
    if (!md5.isNull()) {
        run.download->setExpectedMd5(md5);
    }
    run.finished = std::make_unique<QSignalSpy>(run.download.get(), &CFileDownload::sigFinished);
    run.errors = std::make_unique<QSignalSpy>(run.download.get(), &CFileDownload::sigNetworkError);
    run.download->start(url, target);
    return run;
}

void TestFileDownload::downloadsAndVerifies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("md5");

    QTest::newRow("small, no check") << "files/small.txt" << SmallContent << QString();
    QTest::newRow("small, lower-case digest") << "files/small.txt" << SmallContent << md5Hex(SmallContent);
    QTest::newRow("small, upper-case digest")
        << "files/small.txt" << SmallContent << md5Hex(SmallContent).toUpper();
    QTest::newRow("large") << "files/large.bin" << largeContent() << md5Hex(largeContent());
    QTest::newRow("redirect followed") << "moved.txt" << SmallContent << md5Hex(SmallContent);
}

void TestFileDownload::downloadsAndVerifies()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, content);
    QFETCH(QString, md5);
    const QString target = m_target.filePath(QStringLiteral("new/folder/") + path);

    Run run = startDownload(m_server->baseUrl() + path, target, md5);
    QVERIFY(run.download->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(run.finished->count(), 1, 20000);
    QCOMPARE(run.download->failure(), CFileDownload::NoFailure);
    QCOMPARE(run.errors->count(), 0);
    QVERIFY(!run.download->isRunning());
    QCOMPARE(run.download->actualMd5(), md5Hex(content));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

void TestFileDownload::failuresRemoveTheFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("networkError");

    QTest::newRow("not found") << "files/absent.txt" << QString() << int(CFileDownload::NetworkFailure)
                               << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("wrong digest") << "files/small.txt" << md5Hex("other") << int(CFileDownload::DigestFailure)
                                  << int(QNetworkReply::NoError);
    QTest::newRow("empty digest") << "files/small.txt" << QStringLiteral("")
                                  << int(CFileDownload::DigestFailure) << int(QNetworkReply::NoError);
    QTest::newRow("redirect loop") << "loop.txt" << QString() << int(CFileDownload::NetworkFailure)
                                   << int(QNetworkReply::TooManyRedirectsError);
}

void TestFileDownload::failuresRemoveTheFile()
{
    QFETCH(QString, path);
    QFETCH(QString, md5);
    QFETCH(int, failure);
    QFETCH(int, networkError);
    const QString target = m_target.filePath(QStringLiteral("failed.bin"));
    QVERIFY(writeFile(target, "an older file of the same name"));

    Run run = startDownload(m_server->baseUrl() + path, target, md5);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished->count(), 1, 20000);
    QCOMPARE(int(run.download->failure()), failure);
    QCOMPARE(int(run.download->networkError()), networkError);
    QCOMPARE(run.errors->count(), networkError == QNetworkReply::NoError ? 0 : 1);
    QVERIFY(!run.download->errorString().isEmpty());
    QVERIFY(!QFileInfo::exists(target));
}

void TestFileDownload::shortWriteIsAFailure()
{
    // Every write to /dev/full fails as on a full disk.
    const QString target = m_target.filePath(QStringLiteral("full.bin"));
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), target));

    Run run = startDownload(m_server->baseUrl() + QStringLiteral("files/large.bin"), target,
                            md5Hex(largeContent()));
    QTRY_COMPARE_WITH_TIMEOUT(run.finished->count(), 1, 20000);
    QCOMPARE(run.download->failure(), CFileDownload::WriteFailure);
    QCOMPARE(run.errors->count(), 0);
    QVERIFY(!QFileInfo(target).isSymLink());
}

void TestFileDownload::streamsToDiskWhileReceiving()
{
    const QString target = m_target.filePath(QStringLiteral("streamed.bin"));
    Run run =
        startDownload(m_server->baseUrl() + QStringLiteral("slow/large.bin"), target, md5Hex(largeContent()));
    // Data reaches the disk long before the (rate-limited) transfer ends.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(target).size() > 0 && QFileInfo(target).size() < largeContent().size(),
                             20000);
    QVERIFY(run.download->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(run.finished->count(), 1, 30000);
    QCOMPARE(run.download->failure(), CFileDownload::NoFailure);
    QCOMPARE(QFileInfo(target).size(), qint64(largeContent().size()));
}

void TestFileDownload::abortReportsAtOnce()
{
    const QString target = m_target.filePath(QStringLiteral("aborted.bin"));
    Run run = startDownload(m_server->baseUrl() + QStringLiteral("slow/large.bin"), target);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(target).size() > 0, 20000);
    bool goneWhenReported = false;
    connect(run.download.get(), &CFileDownload::sigNetworkError, this,
            [&] { goneWhenReported = !QFileInfo::exists(target); });

    run.download->abort();
    QVERIFY(goneWhenReported);
    QCOMPARE(run.errors->count(), 1);
    QCOMPARE(run.errors->at(0).at(0).value<QNetworkReply::NetworkError>(),
             QNetworkReply::OperationCanceledError);
    QCOMPARE(run.finished->count(), 1);
    QVERIFY(!run.download->isRunning());
    QVERIFY(!QFileInfo::exists(target));
}

void TestFileDownload::stalledTransferTimesOut()
{
    // Accepts the connection and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QString target = m_target.filePath(QStringLiteral("stalled.bin"));

    auto download = std::make_unique<CFileDownload>(&m_manager);
    download->setTransferTimeout(300);
    QSignalSpy finished(download.get(), &CFileDownload::sigFinished);
    QVERIFY(download->start(QStringLiteral("http://127.0.0.1:%1/file.bin").arg(silent.serverPort()), target));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(download->failure(), CFileDownload::NetworkFailure);
    QCOMPARE(download->networkError(), QNetworkReply::OperationCanceledError);
    QVERIFY(!QFileInfo::exists(target));
}

void TestFileDownload::destructionRemovesPartialFile()
{
    const QString target = m_target.filePath(QStringLiteral("dropped.bin"));
    Run run = startDownload(m_server->baseUrl() + QStringLiteral("slow/large.bin"), target);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(target).size() > 0, 20000);
    run.finished.reset();
    run.errors.reset();
    run.download.reset();
    QVERIFY(!QFileInfo::exists(target));
}

void TestFileDownload::unpreparedTargetFailsAtStart()
{
    QVERIFY(writeFile(m_target.filePath(QStringLiteral("plainfile")), "x"));
    CFileDownload download(&m_manager);
    QSignalSpy finished(&download, &CFileDownload::sigFinished);

    QVERIFY(!download.start(m_server->baseUrl() + QStringLiteral("files/small.txt"),
                            m_target.filePath(QStringLiteral("plainfile/sub/a.txt"))));
    QCOMPARE(download.failure(), CFileDownload::FolderFailure);

    QVERIFY(QDir(m_target.path()).mkpath(QStringLiteral("afolder")));
    QVERIFY(!download.start(m_server->baseUrl() + QStringLiteral("files/small.txt"),
                            m_target.filePath(QStringLiteral("afolder"))));
    QCOMPARE(download.failure(), CFileDownload::OpenFailure);
    QVERIFY(!download.isRunning());
    QCOMPARE(finished.count(), 0);
}

void TestFileDownload::httpsWorksAndIsNeverDowngraded()
{
    if (!QSslSocket::supportsSsl()) {
        QSKIP("Qt has no TLS backend here");
    }
    QTemporaryDir tls;
    const QString certificate = tls.filePath(QStringLiteral("cert.pem"));
    const QString key = tls.filePath(QStringLiteral("key.pem"));
    const ProcessResult generated =
        runProcess(QStringLiteral("openssl"),
                   {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                    QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                    QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                    QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificate},
                   tls.path(), 30000);
    QVERIFY2(generated.finished && generated.exitCode == 0, generated.standardError.constData());

    // Trust the test certificate in this process only.
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.addCaCertificates(QSslCertificate::fromPath(certificate));
    QSslConfiguration::setDefaultConfiguration(trusting);

    NginxServer secure(m_root.path(), QStringLiteral("location = /up.txt { return 301 /files/small.txt; }\n"
                                                     "location = /down.txt { return 301 %1files/small.txt; }")
                                          .arg(m_server->baseUrl()));
    secure.setTls(certificate, key);
    QVERIFY2(secure.start(), qPrintable(secure.lastError()));
    QVERIFY(secure.baseUrl().startsWith(QLatin1String("https://")));

    const QString target = m_target.filePath(QStringLiteral("secure.txt"));
    Run direct = startDownload(secure.baseUrl() + QStringLiteral("up.txt"), target, md5Hex(SmallContent));
    QTRY_COMPARE_WITH_TIMEOUT(direct.finished->count(), 1, 20000);
    QCOMPARE(direct.download->failure(), CFileDownload::NoFailure);

    Run downgraded =
        startDownload(secure.baseUrl() + QStringLiteral("down.txt"), target, md5Hex(SmallContent));
    QTRY_COMPARE_WITH_TIMEOUT(downgraded.finished->count(), 1, 20000);
    QCOMPARE(downgraded.download->failure(), CFileDownload::NetworkFailure);
    QCOMPARE(downgraded.download->networkError(), QNetworkReply::InsecureRedirectError);
    QVERIFY(!QFileInfo::exists(target));
}

QTEST_GUILESS_MAIN(TestFileDownload)
#include "testfiledownload.moc"
