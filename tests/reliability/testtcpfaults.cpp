// Whole runs of update.exe against TCP update services that fail or lie: each must end with the
// installation exactly as it was, nothing written outside it, and the host not started.
#include "faultrun.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/referenceservice.h"
#include "support/scriptedtcpservice.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

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
    }
    return {};
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
};

void TestTcpFaults::versionCheckFaults_data()
{
    QTest::addColumn<CheckFault>("fault");
    QTest::newRow("service never answers") << CheckFault::NeverAnswers;
    QTest::newRow("heartbeat replies only") << CheckFault::HeartbeatOnly;
    QTest::newRow("oversized length") << CheckFault::OversizedLength;
    QTest::newRow("64 MiB announced, then closed") << CheckFault::HugeLengthThenClose;
    QTest::newRow("not the protocol, then closed") << CheckFault::GarbageThenClose;
}

void TestTcpFaults::versionCheckFaults()
{
    QFETCH(CheckFault, fault);
    ScriptedTcpService service([fault](const Frame& request) { return answerCheck(fault, request); });
    QVERIFY(service.startListening());
    ScratchInstallation installation;
    FaultRun::installOldVersion(installation,
                                {{QStringLiteral("Server/UpdatePort"), QString::number(service.port())}});
    const auto before = FaultRun::snapshot(installation);

    const ProcessResult result = installation.runUpdater({QStringLiteral("console")});

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    // A check that got no usable answer counts as "no update": the host may not learn more.
    QCOMPARE(result.jsonLine(), ConsoleResult::noUpdate());
    QVERIFY(service.requestCount() >= 1);
    VERIFY_INSTALLATION_UNCHANGED(installation, before);
}

void TestTcpFaults::referenceServiceCheckFaults_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::newRow("error reply to the version check") << QStringList{QStringLiteral("--error-version")};
    QTest::newRow("wrong magic before the answer") << QStringList{QStringLiteral("--corrupt")};
}

void TestTcpFaults::referenceServiceCheckFaults()
{
    QFETCH(QStringList, switches);
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

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLine(), ConsoleResult::noUpdate());
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
        << QByteArray("Incomplete file data: bin/core.dll (70000 of 10 bytes)");
    QTest::newRow("file shorter than announced")
        << QStringList{QStringLiteral("--announce-size"), QStringLiteral("1000000")}
        << QByteArray("Incomplete file data: bin/core.dll (70000 of 1000000 bytes)");
    QTest::newRow("record climbing out of the installation")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("../..|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: ../../evil.txt");
    QTest::newRow("record with an absolute folder")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("/tmp|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: /tmp/evil.txt");
    QTest::newRow("record with a drive letter")
        << QStringList{QStringLiteral("--extra-record"), QStringLiteral("C:|evil.txt")}
        << QByteArray("Refused file path outside the temporary folder: C:/evil.txt");
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

QTEST_GUILESS_MAIN(TestTcpFaults)
#include "testtcpfaults.moc"
