// Whole runs of update.exe against TCP update services that fail or lie: each must end with the
// installation exactly as it was, nothing written outside it, and the host not started.
#include "faultrun.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/referenceservice.h"
#include "support/scriptedtcpservice.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

/// A check without a usable answer is a failure: success false, no update, and the reason.
void verifyFailedCheck(const ProcessResult& result, const QString& expectedError)
{
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QJsonObject json = QJsonDocument::fromJson(result.jsonLine()).object();
    QCOMPARE(json.value(QStringLiteral("success")).toBool(true), false);
    QCOMPARE(json.value(QStringLiteral("update")).toBool(true), false);
    QVERIFY2(json.value(QStringLiteral("errormsg")).toString().startsWith(expectedError),
             result.jsonLine().constData());
}
/// Logged once a failed download has been reported; the window then waits for the user.
const QByteArray DownloadFailed("下载错误处理完成");

const QMap<QString, QByteArray> Release = {
    {QStringLiteral("bin/core.dll"), QByteArray(70000, 'n')},
    {QStringLiteral("readme.txt"), "read me 2.0"},
};

/// Misbehaviours of the scripted service while the updater checks the version.
enum class CheckFault
{
    NeverAnswers,
    HeartbeatOnly,
    OversizedLength,
    HugeLengthThenClose,
    GarbageThenClose,
    UnrequestableRecord,
};

ScriptedTcpService::Answer answerCheck(CheckFault fault, const Frame& request)
{
    if (request.type == Heartbeat) {
        return {};
    }
    switch (fault) {
    case CheckFault::NeverAnswers:
        return {};
    case CheckFault::HeartbeatOnly:
        return {scriptedFrame(HeartbeatReply, encodeHeartbeat(1)), false};
    case CheckFault::OversizedLength:
        // A length no frame may have, with a valid magic: the client must not try to buffer it.
        return {encodeFrameHeader(VersionCheckReply, 0xFFFFFFF0u, 1) + QByteArray(64, 'x'), false};
    case CheckFault::HugeLengthThenClose:
        // Just within the limit: the client waits for the rest, which never comes.
        return {encodeFrameHeader(VersionCheckReply, 64u * 1024 * 1024, 1) + QByteArray(100, 'x'), true};
    case CheckFault::GarbageThenClose:
        return {QByteArray("HTTP/1.1 400 Bad Request\r\n\r\n"), true};
    case CheckFault::UnrequestableRecord: {
        if (request.type != VersionCheckRequest) {
            return {};
        }
        // A name filling all 32 bytes of its field: no request (31 bytes) can name it.
        QByteArray reply = encodeVersionCheckReply(true, QStringLiteral("2.0"), 1,
                                                   {{QStringLiteral("bin"), QString(31, QLatin1Char('n'))}});
        reply[TcpProtocol::VersionCheckReplyHeaderSize + TcpProtocol::FilePathFieldSize + 31] = 'n';
        return {scriptedFrame(VersionCheckReply, reply), false};
    }
    }
    return {};
}

/// The link release with its md5.txt, as publish-release lays out a TCP release.
void writeLinkRelease(const QTemporaryDir& dir)
{
    for (auto it = FaultRun::linkRelease().cbegin(); it != FaultRun::linkRelease().cend(); ++it) {
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
    }
    QVERIFY(writeFile(dir.filePath(QStringLiteral("md5.txt")), md5ListText(FaultRun::linkRelease())));
}

/// The reference service over the link release, behind a link emulator, and an installation
/// of the old version that reaches it through the link.
struct LinkedService
{
    QTemporaryDir releaseDir;
    ReferenceService service;
    std::unique_ptr<LinkEmulator> link;
    ScratchInstallation installation;
};

void startLinkedService(LinkedService& run)
{
    writeLinkRelease(run.releaseDir);
    QVERIFY2(run.service.start(run.releaseDir.path(), QStringLiteral("2.0")),
             qPrintable(run.service.errorString()));
    run.link = std::make_unique<LinkEmulator>(run.service.port());
    QVERIFY(run.link->startListening());
    FaultRun::installOldVersion(run.installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(run.link->port())}});
}

void writeRelease(const QTemporaryDir& dir)
{
    for (auto it = Release.cbegin(); it != Release.cend(); ++it) {
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
    }
}

} // namespace

Q_DECLARE_METATYPE(CheckFault)

class TestTcpFaults : public QObject
{
    Q_OBJECT
private slots:
    void versionCheckFaults_data();
    void versionCheckFaults();
    void referenceServiceCheckFaults_data();
    void referenceServiceCheckFaults();
    void downloadFaults_data();
    void downloadFaults();
    void wrongMagicInsideAFile();
    void updateWithoutFilesEndsTheRun();
    void killedRunLeavesItsLog();
    void linkFaults_data();
    void linkFaults();
    void killedDownloadResumes_data();
    void killedDownloadResumes();
    void fullVolumeRefusesTheDownload();
};

void TestTcpFaults::versionCheckFaults_data()
{
    QTest::addColumn<CheckFault>("fault");
    QTest::addColumn<QString>("expectedError");
    const QString timeout = QStringLiteral("版本检查超时，升级服务无应答");
    const QString closed = QStringLiteral("The remote host closed the connection");
    QTest::newRow("service never answers") << CheckFault::NeverAnswers << timeout;
    QTest::newRow("heartbeat replies only") << CheckFault::HeartbeatOnly << timeout;
    QTest::newRow("oversized length") << CheckFault::OversizedLength << timeout;
    QTest::newRow("64 MiB announced, then closed") << CheckFault::HugeLengthThenClose << closed;
    QTest::newRow("not the protocol, then closed") << CheckFault::GarbageThenClose << closed;
    QTest::newRow("record that no request can name")
        << CheckFault::UnrequestableRecord << QStringLiteral("版本应答格式错误");
}

void TestTcpFaults::versionCheckFaults()
{
    QFETCH(CheckFault, fault);
    QFETCH(QString, expectedError);
    ScriptedTcpService service([fault](const Frame& request) { return answerCheck(fault, request); });
    QVERIFY(service.startListening());
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    verifyFailedCheck(result, expectedError);
    QVERIFY(service.requestCount() >= 1);
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestTcpFaults::referenceServiceCheckFaults_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("expectedError");
    QTest::newRow("error reply to the version check")
        << QStringList{QStringLiteral("--error-version")}
        << QStringLiteral("服务器返回错误: version check refused by --error-version");
    QTest::newRow("wrong magic before the answer")
        << QStringList{QStringLiteral("--corrupt")} << QStringLiteral("版本检查超时，升级服务无应答");
}

void TestTcpFaults::referenceServiceCheckFaults()
{
    QFETCH(QStringList, switches);
    QFETCH(QString, expectedError);
    QTemporaryDir releaseDir;
    writeRelease(releaseDir);
    ReferenceService service;
    service.captureLog();
    QVERIFY2(service.start(releaseDir.path(), QStringLiteral("2.0"), switches),
             qPrintable(service.errorString()));
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    verifyFailedCheck(result, expectedError);
    QCOMPARE(service.countInLog("] serving "), 0);
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestTcpFaults::downloadFaults_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QByteArray>("expectedInLog");

    // 16384-byte chunks make frames of 16577 bytes: dropping after exactly one frame ends the
    // connection between two frames of a file.
    QTest::newRow("connection dropped between frames of a file")
        << QStringList{QStringLiteral("--chunk-size"), QStringLiteral("16384"),
                       QStringLiteral("--drop-after"), QStringLiteral("16577"),
                       QStringLiteral("--drop-times"), QStringLiteral("100")}
        << QByteArray("文件: core.dll 错误类型: 0");
    QTest::newRow("file larger than announced")
        << QStringList{QStringLiteral("--announce-size"), QStringLiteral("10")}
        << QByteArray("文件: core.dll 错误类型: 0 原因: Connection delivered incomplete file data: "
                      "bin/core.dll (70000 of 10 bytes)");
    QTest::newRow("file shorter than announced")
        << QStringList{QStringLiteral("--announce-size"), QStringLiteral("1000000")}
        << QByteArray("文件: core.dll 错误类型: 0 原因: Connection delivered incomplete file data: "
                      "bin/core.dll (70000 of 1000000 bytes)");
    QTest::newRow("record climbing out of the installation")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("../..|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: ../../evil.txt");
    QTest::newRow("record with an absolute folder")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("/tmp|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: /tmp/evil.txt");
    QTest::newRow("record with a drive letter")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("C:|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: C:/evil.txt");
    QTest::newRow("record whose name forges a result line")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("bin|x\n{\"forged\":true}")}
        << QByteArray("x\\n{\"forged\":true}");
}

void TestTcpFaults::downloadFaults()
{
    QFETCH(QStringList, switches);
    QFETCH(QByteArray, expectedInLog);
    QTemporaryDir releaseDir;
    writeRelease(releaseDir);
    // The hostile names exist in the release too, so that only the updater's refusal stops them.
    QVERIFY(writeFile(releaseDir.filePath(QStringLiteral("evil.txt")), "evil"));
    ReferenceService service;
    service.captureLog();
    QVERIFY2(service.start(releaseDir.path(), QStringLiteral("2.0"), switches),
             qPrintable(service.errorString()));
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, DownloadFailed, 60000);

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QVERIFY2(result.standardOutput.contains(expectedInLog), result.standardOutput.right(3000).constData());
    // The check itself succeeded; the download's failure is shown in the window and the log.
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    // Names from the service never start a line of their own.
    QCOMPARE(result.standardOutput.count("\n{"), result.standardOutput.startsWith('{') ? 0 : 1);
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestTcpFaults::wrongMagicInsideAFile()
{
    // The first chunk of a file is followed by its final chunk with a wrong magic; then the
    // connection closes.
    const QVector<FileTransferRequest> files{{QStringLiteral("bin"), QStringLiteral("core.dll")}};
    ScriptedTcpService service([&files](const Frame& request) -> ScriptedTcpService::Answer {
        if (request.type == VersionCheckRequest) {
            return {scriptedFrame(VersionCheckReply,
                                  encodeVersionCheckReply(true, QStringLiteral("2.0"), 1, files)),
                    false};
        }
        if (request.type != FileDownloadRequest) {
            return {};
        }
        const QByteArray half(100, 'n');
        const QByteArray first = scriptedFrame(FileData, encodeFileData(files.first(), 200, false, half));
        QByteArray corrupt = scriptedFrame(FileData, encodeFileData(files.first(), 200, true, half));
        corrupt[0] = 0x77;
        return {first + corrupt, true};
    });
    QVERIFY(service.startListening());
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result =
        installation.runUpdaterUntil({QStringLiteral("console")}, DownloadFailed, 60000);

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QVERIFY(result.standardOutput.contains("Discarded received data with a bad frame header"));
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestTcpFaults::updateWithoutFilesEndsTheRun()
{
    ScriptedTcpService service([](const Frame& request) -> ScriptedTcpService::Answer {
        if (request.type != VersionCheckRequest) {
            return {};
        }
        return {scriptedFrame(VersionCheckReply, encodeVersionCheckReply(true, QStringLiteral("2.0"), 1, {})),
                false};
    });
    QVERIFY(service.startListening());
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    // Nothing to install: the run ends as after an update, with the host started.
    QVERIFY2(result.finished, "the window must not wait for files that never come");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
    QVERIFY(waitForFile(installation.filePath(FaultRun::HostMarker), 15000));
    auto after = FaultRun::snapshot(installation);
    after.remove(FaultRun::HostMarker);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    QVERIFY(!installation.exists(QStringLiteral("backup")));
}

void TestTcpFaults::killedRunLeavesItsLog()
{
    // The file is offered and then never sent: the run waits in its download.
    const QVector<FileTransferRequest> files{{QStringLiteral("bin"), QStringLiteral("core.dll")}};
    ScriptedTcpService service([&files](const Frame& request) -> ScriptedTcpService::Answer {
        if (request.type != VersionCheckRequest) {
            return {};
        }
        return {
            scriptedFrame(VersionCheckReply, encodeVersionCheckReply(true, QStringLiteral("2.0"), 1, files)),
            false};
    });
    QVERIFY(service.startListening());
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const QByteArray waiting("开始下载文件: core.dll");

    QProcess process;
    process.setWorkingDirectory(installation.path());
    process.start(installation.updaterPath(), {QStringLiteral("console")});
    QByteArray output;
    QDeadlineTimer deadline(20000);
    while (!output.contains(waiting) && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        output += process.readAllStandardOutput();
    }
    QVERIFY2(output.contains(waiting), output.constData());
    // Longer than the log's flush interval, then ended as a crash would end it.
    QTest::qWait(2500);
    process.kill();
    QVERIFY(process.waitForFinished(5000));

    QVERIFY(installation.readFile(QStringLiteral("logs/update.log")).contains(waiting));
}

void TestTcpFaults::linkFaults_data()
{
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<qint64>("stallAfter");
    QTest::addColumn<bool>("installs");
    // Half way through the first file; a dropped file is requested again on a new connection.
    QTest::newRow("connection dropped in the middle of a file") << qint64(150000) << qint64(0) << true;
    QTest::newRow("link stalls in the middle of a file") << qint64(0) << qint64(150000) << false;
}

void TestTcpFaults::linkFaults()
{
    QFETCH(qint64, dropAfter);
    QFETCH(qint64, stallAfter);
    QFETCH(bool, installs);
    LinkedService run;
    startLinkedService(run);
    QVERIFY(!QTest::currentTestFailed());
    LinkEmulator& link = *run.link;
    const ScratchInstallation& installation = run.installation;
    link.setDelayMs(20, 20);
    link.setDropAfter(dropAfter);
    link.setStallAfter(stallAfter);
    const auto before = FaultRun::snapshot(installation);

    if (!installs) {
        // The stall timeout is shortened from 120 s: four attempts then end within seconds.
        const ProcessResult result = runProcessUntil(
            installation.updaterPath(), {QStringLiteral("console")}, installation.path(), DownloadFailed,
            60000, {{QLatin1String(FaultSwitch::stallTimeoutVariable), QStringLiteral("1500")}});
        QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
        QVERIFY(result.standardOutput.contains("下载错误处理完成，文件: a.bin 错误类型: 2"));
        // The first attempt and three retries.
        QCOMPARE(result.standardOutput.count("文件下载失败: a.bin"), 4);
        VERIFY_INSTALLATION_UNCHANGED(installation, before);
        return;
    }
    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
    QVERIFY2(result.finished, result.standardOutput.right(3000).constData());
    QVERIFY(result.standardOutput.contains("重试下载: a.bin, 尝试次数: 1"));
    QCOMPARE(link.dropCount(), 1);
    QVERIFY(waitForFile(installation.filePath(FaultRun::HostMarker), 15000));
    for (auto it = FaultRun::linkRelease().cbegin(); it != FaultRun::linkRelease().cend(); ++it) {
        QCOMPARE(installation.readFile(it.key()), it.value());
    }
}

void TestTcpFaults::killedDownloadResumes_data()
{
    FaultRun::addStoreChangeRows();
}

void TestTcpFaults::killedDownloadResumes()
{
    QFETCH(FaultRun::StoreChange, change);
    QFETCH(int, filesAgain);
    LinkedService run;
    startLinkedService(run);
    QVERIFY(!QTest::currentTestFailed());
    run.link->setBandwidth(0, FaultRun::LinkRate);

    // md5.txt comes first, then a.bin; half of b.bin has gone down when the run is killed.
    FaultRun::killOnceForwarded(run.installation, *run.link, FaultRun::LinkFileSize * 3 / 2);
    FaultRun::changeStore(run.installation, change);
    FaultRun::verifyResumedRun(run.installation, *run.link, filesAgain);
}

void TestTcpFaults::fullVolumeRefusesTheDownload()
{
    LinkedService run;
    startLinkedService(run);
    QVERIFY(!QTest::currentTestFailed());
    FaultRun::verifyFullVolumeRefusal(run.installation, *run.link);
}

QTEST_GUILESS_MAIN(TestTcpFaults)
#include "testtcpfaults.moc"
