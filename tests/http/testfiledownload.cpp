#include "http/filedownload.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/linkemulator.h"
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
    void resumesAfterBreaks_data();
    void resumesAfterBreaks();
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
    QVERIFY(writeFile(m_root.filePath(QStringLiteral("noranges/large.bin")), largeContent()));
    m_server =
        std::make_unique<NginxServer>(m_root.path(), QStringLiteral("location /slow/ { limit_rate 512k; }\n"
                                                                    "location /noranges/ { max_ranges 0; }\n"
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
    run.download->setMaximumRetries(CFileDownload::StandardRetries);
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
    // None of these is transient: no second attempt.
    QCOMPARE(run.download->attempts(), 1);
    QVERIFY(!run.download->errorString().isEmpty());
    QVERIFY(!QFileInfo::exists(target));
}

void TestFileDownload::resumesAfterBreaks_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<bool>("repeat");
    QTest::addColumn<qint64>("maximumSize");
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<double>("minSent");
    QTest::addColumn<double>("maxSent");

    // minSent and maxSent bound what the link carried down, in sizes of the file; what the
    // sockets held when the link broke is sent again.
    const qint64 size = largeContent().size();
    QTest::newRow("a drop in the middle resumes") << "files/large.bin" << size / 2 << false << qint64(-1)
                                                  << int(CFileDownload::NoFailure) << 2 << 1.0 << 1.2;
    QTest::newRow("two drops resume twice") << "files/large.bin" << size * 2 / 5 << true << qint64(-1)
                                            << int(CFileDownload::NoFailure) << 3 << 1.0 << 1.3;
    QTest::newRow("a server without ranges sends it again")
        << "noranges/large.bin" << size / 2 << false << qint64(-1) << int(CFileDownload::NoFailure) << 2
        << 1.45 << 1.55;
    QTest::newRow("drops after progress resume past the retries")
        << "files/large.bin" << size / 5 << true << qint64(-1) << int(CFileDownload::NoFailure) << 6 << 1.0
        << 1.3;
    QTest::newRow("drops without progress fail after the retries")
        << "noranges/large.bin" << size / 2 << true << qint64(-1) << int(CFileDownload::NetworkFailure) << 4
        << 1.9 << 2.1;
    QTest::newRow("the size cap holds across attempts")
        << "files/large.bin" << size / 2 << false << size - 1 << int(CFileDownload::SizeFailure) << 2 << 0.95
        << 1.3;
}

void TestFileDownload::resumesAfterBreaks()
{
    QFETCH(QString, path);
    QFETCH(qint64, dropAfter);
    QFETCH(bool, repeat);
    QFETCH(qint64, maximumSize);
    QFETCH(int, failure);
    QFETCH(int, attempts);
    QFETCH(double, minSent);
    QFETCH(double, maxSent);
    LinkEmulator link(m_server->port());
    QVERIFY(link.startListening());
    link.setDropAfter(dropAfter, repeat);
    const QString target = m_target.filePath(QStringLiteral("resumed.bin"));

    CFileDownload download(&m_manager);
    download.setMaximumRetries(CFileDownload::StandardRetries);
    download.setMaximumSize(maximumSize);
    download.setExpectedMd5(md5Hex(largeContent()));
    QSignalSpy finished(&download, &CFileDownload::sigFinished);
    QSignalSpy retries(&download, &CFileDownload::sigRetrying);
    QVERIFY(download.start(QStringLiteral("http://127.0.0.1:%1/").arg(link.port()) + path, target));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

    QCOMPARE(int(download.failure()), failure);
    QCOMPARE(download.requestCount(), attempts);
    QCOMPARE(retries.count(), attempts - 1);
    const double sent = double(link.bytesDown()) / double(largeContent().size());
    QVERIFY2(sent >= minSent && sent <= maxSent, qPrintable(QString::number(sent)));
    if (failure == CFileDownload::NoFailure) {
        QCOMPARE(readFile(target), largeContent());
        QCOMPARE(download.actualMd5(), md5Hex(largeContent()));
    } else {
        QVERIFY(!QFileInfo::exists(target));
    }
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
    download->setMaximumRetries(CFileDownload::StandardRetries);
    QSignalSpy retries(download.get(), &CFileDownload::sigRetrying);
    QSignalSpy finished(download.get(), &CFileDownload::sigFinished);
    QVERIFY(download->start(QStringLiteral("http://127.0.0.1:%1/file.bin").arg(silent.serverPort()), target));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(download->failure(), CFileDownload::NetworkFailure);
    // Qt reports the timeout as a cancellation; only an abort() is one.
    QCOMPARE(download->networkError(), QNetworkReply::TimeoutError);
    QCOMPARE(retries.count(), CFileDownload::StandardRetries);
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
