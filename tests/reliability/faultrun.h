#pragma once

#include <algorithm>

// Shared by the fault tests: a scratch installation of version 1.0 and the checks that every
// failed run must pass. Header only: helpers beside the tests are not compiled on their own.

#include "apply/faultswitch.h"
#include "support/consoleresult.h"
#include "support/installsnapshot.h"
#include "support/linkemulator.h"
#include "support/scratchinstallation.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

namespace FaultRun {

/// What the installation holds before every run.
inline const QMap<QString, QByteArray>& installedFiles()
{
    static const QMap<QString, QByteArray> files = {
        {QStringLiteral("bin/core.dll"), "core 1.0"},
        {QStringLiteral("readme.txt"), "read me 1.0"},
        {QStringLiteral("data/settings.dat"), "kept"},
    };
    return files;
}

/// Folders a failed run may leave changed: its log and its (emptied or partial) temporary folder.
inline const QStringList& runFolders()
{
    static const QStringList folders = {QStringLiteral("logs"), QStringLiteral("temp")};
    return folders;
}

inline const QString HostMarker = QStringLiteral("host-started.txt");

/// Writes the old version, the marker host and system.cfg (offline values with `overrides`).
inline void installOldVersion(ScratchInstallation& installation, const QMap<QString, QString>& overrides = {})
{
    QVERIFY(installation.isValid());
    for (auto it = installedFiles().cbegin(); it != installedFiles().cend(); ++it) {
        QVERIFY(installation.writeFile(it.key(), it.value()));
    }
    QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), HostMarker));
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
        config.insert(it.key(), it.value());
    }
    installation.writeConfig(config);
}

/// The installation without the folders a run may change.
inline QMap<QString, QByteArray> snapshot(const ScratchInstallation& installation)
{
    return snapshotFiles(installation.path(), runFolders());
}

/// Nothing beside the installation folder: no name a hostile server chose landed outside it.
inline QStringList filesBeside(const ScratchInstallation& installation)
{
    QDir parent = QFileInfo(installation.path()).dir();
    QStringList names;
    for (const QString& name :
         {QStringLiteral("evil.txt"), QStringLiteral("escaped"), QStringLiteral("outside.txt")}) {
        if (parent.exists(name) || QFileInfo::exists(QStringLiteral("/tmp/") + name)) {
            names << name;
        }
    }
    return names;
}

/// A release of three files that a link of LinkRate bytes a second carries in a few seconds.
inline const QMap<QString, QByteArray>& linkRelease()
{
    static const QMap<QString, QByteArray> files = {
        {QStringLiteral("a.bin"), QByteArray(300000, 'a')},
        {QStringLiteral("b.bin"), QByteArray(300000, 'b')},
        {QStringLiteral("c.bin"), QByteArray(300000, 'c')},
    };
    return files;
}
constexpr qint64 LinkRate = 400000;
constexpr qint64 LinkFileSize = 300000;

/// Starts update.exe in console mode and kills it by its pid once `link` has forwarded `bytes`
/// down: the first file of linkRelease() has arrived and the second is in flight.
inline void killOnceForwarded(const ScratchInstallation& installation, const LinkEmulator& link, qint64 bytes)
{
    QProcess process;
    process.setWorkingDirectory(installation.path());
    process.start(installation.updaterPath(), {QStringLiteral("console")});
    QVERIFY(process.waitForStarted(5000));
    QDeadlineTimer deadline(30000);
    while (link.bytesDown() < bytes && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForFinished(20);
    }
    QVERIFY2(link.bytesDown() >= bytes, process.readAllStandardOutput().right(2000).constData());
    process.kill();
    QVERIFY(process.waitForFinished(5000));
}

/// What a test does to the store between the killed run and the next one.
enum class StoreChange
{
    None,
    OtherVersion, ///< the record names another version
    DamagedFile,  ///< the file that had arrived no longer has its digest
};

} // namespace FaultRun

Q_DECLARE_METATYPE(FaultRun::StoreChange)

namespace FaultRun {

inline void changeStore(ScratchInstallation& installation, StoreChange change)
{
    const QString record = QStringLiteral("temp/.update-resume");
    QVERIFY2(installation.exists(record), "the killed run keeps its downloads");
    if (change == StoreChange::OtherVersion) {
        QByteArray text = installation.readFile(record);
        text.replace("version=2.0", "version=1.9");
        QVERIFY(installation.writeFile(record, text));
    } else if (change == StoreChange::DamagedFile) {
        QVERIFY(installation.writeFile(QStringLiteral("temp/a.bin"), QByteArray(int(LinkFileSize), 'x')));
    }
}

/// The rows of the kill-and-rerun tests: what happens to the store before the next run, and how
/// many files of linkRelease() that run fetches.
inline void addStoreChangeRows()
{
    QTest::addColumn<StoreChange>("change");
    QTest::addColumn<int>("filesAgain");
    QTest::newRow("same release: the file in flight and the rest") << StoreChange::None << 2;
    QTest::newRow("kept for another version: everything") << StoreChange::OtherVersion << 3;
    QTest::newRow("kept file damaged: everything") << StoreChange::DamagedFile << 3;
}

/// The second run after a kill: it installs the release and fetches `filesAgain` of its files
/// (the one in flight and those after it when the store holds, all three otherwise), the lists
/// and the protocol's own bytes.
inline void verifyResumedRun(const ScratchInstallation& installation, const LinkEmulator& link,
                             int filesAgain)
{
    const qint64 firstRun = link.bytesDown();
    const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
    const qint64 secondRun = link.bytesDown() - firstRun;
    qInfo("bytes at the proxy: killed run %lld, next run %lld", firstRun, secondRun);
    QVERIFY2(result.finished, result.standardOutput.right(3000).constData());
    QVERIFY(waitForFile(installation.filePath(HostMarker), 15000));
    for (auto it = linkRelease().cbegin(); it != linkRelease().cend(); ++it) {
        QCOMPARE(installation.readFile(it.key()), it.value());
    }
    QCOMPARE(result.standardOutput.contains("使用已下载并校验通过的文件:"), filesAgain < 3);
    QVERIFY2(secondRun >= filesAgain * LinkFileSize && secondRun < filesAgain * LinkFileSize + 32768,
             qPrintable(QString::number(secondRun)));
    QVERIFY(!installation.exists(QStringLiteral("temp")));
}

/// The last console-mode JSON line: after a refusal past the check, the one with its reason.
inline QByteArray lastJsonLine(const ProcessResult& result)
{
    QByteArray last;
    for (const QByteArray& line : result.standardOutput.split('\n')) {
        if (line.startsWith('{')) {
            last = line.trimmed();
        }
    }
    return last;
}

/// A run on a volume that looks full: it refuses before any file of linkRelease() is requested,
/// with the reason in an error line after the check's one result line, and changes nothing.
inline void verifyFullVolumeRefusal(const ScratchInstallation& installation, const LinkEmulator& link)
{
    const auto before = snapshot(installation);
    const QByteArray reason = QStringLiteral("磁盘空间不足，未开始下载: 需要16 MB，可用1 MB").toUtf8();
    const ProcessResult result =
        runProcessUntil(installation.updaterPath(), {QStringLiteral("console")}, installation.path(), reason,
                        30000, {{QLatin1String(FaultSwitch::freeBytesVariable), QStringLiteral("1000000")}});

    QVERIFY2(result.markerSeen, result.standardOutput.right(3000).constData());
    QCOMPARE(lastJsonLine(result), ConsoleResult::line(true, true));
    const QList<QByteArray> lines = result.standardOutput.split('\n');
    const auto reasonLine =
        std::find_if(lines.cbegin(), lines.cend(), [&](const QByteArray& l) { return l.contains(reason); });
    QVERIFY(reasonLine != lines.cend() && reasonLine->contains("error"));
    // Only the lists crossed the link.
    QVERIFY2(link.bytesDown() < 4096, qPrintable(QString::number(link.bytesDown())));
    const auto after = snapshot(installation);
    QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
    QVERIFY(installation.listFiles(QStringLiteral("backup")).isEmpty());
    QVERIFY(!installation.exists(HostMarker));
}

} // namespace FaultRun

/// The installation is exactly as before, no backup is left and the host was not started.
#define VERIFY_INSTALLATION_UNCHANGED(installation, before)                                                  \
    do {                                                                                                     \
        const auto after_ = FaultRun::snapshot(installation);                                                \
        QVERIFY2(after_ == (before), qPrintable(describeDifference(after_, (before))));                      \
        QVERIFY((installation).listFiles(QStringLiteral("backup")).isEmpty());                               \
        QVERIFY(!(installation).exists(FaultRun::HostMarker));                                               \
        QCOMPARE(FaultRun::filesBeside(installation), QStringList());                                        \
    } while (false)
