// Whole runs of the release publisher (tools/publish-release) in scratch folders.

#include "formats/releasemanifest.h"
#include "formats/releasesignature.h"
#include "support/scratchinstallation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int PublisherTimeoutMs = 60000;

/// A scratch area with a source folder and the two output roots.
class PublishArea
{
public:
    QString source() const { return m_dir.filePath(QStringLiteral("source")); }
    QString webRoot() const { return m_dir.filePath(QStringLiteral("www")); }
    QString tcpRoot() const { return m_dir.filePath(QStringLiteral("tcp")); }
    QString path(const QString& relative) const { return m_dir.filePath(relative); }

    bool writeSource(const QString& relative, const QByteArray& content) const
    {
        return writeFile(source() + QLatin1Char('/') + relative, content);
    }

    static bool writeFile(const QString& path, const QByteArray& content)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    /// Every entry (files and folders, hidden ones too) below `root`, relative and sorted.
    static QStringList entries(const QString& root)
    {
        QStringList found;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            found << QDir(root).relativeFilePath(it.next());
        }
        found.sort();
        return found;
    }

    ProcessResult publish(const QString& version, const QString& folder, const QStringList& extra = {}) const
    {
        return run(QStringList{source(), version, folder, QStringLiteral("--web-root"), webRoot(),
                               QStringLiteral("--tcp-root"), tcpRoot()} +
                   extra);
    }

    ProcessResult run(const QStringList& arguments) const
    {
        return runProcess(builtProgram(QStringLiteral("publish-release")), arguments, m_dir.path(),
                          PublisherTimeoutMs);
    }

private:
    QTemporaryDir m_dir;
};

QByteArray md5Hex(const QByteArray& content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}

QString manifestValue(const QString& manifestPath, const QString& key)
{
    return QSettings(manifestPath, QSettings::IniFormat).value(key).toString();
}

/// Makes a signing key pair in `area` with the publisher; the secret key file's path, or empty.
QString makeKeyPair(const PublishArea& area)
{
    const ProcessResult result = area.run({QStringLiteral("keygen"), area.path(QStringLiteral("keys"))});
    return result.exitCode == 0 ? area.path(QStringLiteral("keys/release-signing.key")) : QString();
}

} // namespace

class TestPublishRelease : public QObject
{
    Q_OBJECT

private slots:
    void writesBothLayouts();
    void listIsSortedByPathAsText();
    void manifestKeepsTheVersionText_data();
    void manifestKeepsTheVersionText();
    void refusesToReplaceAnExistingFolder();
    void replacesAnExistingFolderWhenForced();
    void refusesNamesAnUpdaterCouldNotTake_data();
    void refusesNamesAnUpdaterCouldNotTake();
    void refusesFilesDifferingOnlyInCase();
    void refusesALinkToAFolder();
    void refusesAFileTooLargeForTheTcpChannel();
    void refusesAFileItCannotRead();
    void refusesBadFolderNamesAndVersions_data();
    void refusesBadFolderNamesAndVersions();
    void refusesOverlappingFolders();
    void refusesAnEmptyOrMissingSource();
    void leavesTheUpdatersOwnFilesOut();
    void writesOnlyTheRequestedLayout();
    void keepsExecutablePermissions();
    void warnsWhenSystemCfgKeepsTheOldVersion_data();
    void warnsWhenSystemCfgKeepsTheOldVersion();
    void rejectsAnIncompleteCommandLine_data();
    void rejectsAnIncompleteCommandLine();
    void makesAKeyPairOnlyOnce();
    void signsTheReleaseManifestInBothLayouts_data();
    void signsTheReleaseManifestInBothLayouts();
    void refusesBadSigningOptions_data();
    void refusesBadSigningOptions();
};

void TestPublishRelease::writesBothLayouts()
{
    PublishArea area;
    // Larger than the publisher's copy buffer, so that a file is copied in several pieces.
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < large.size(); ++i) {
        large[i] = char((quint32(i) * 7919u) >> 3);
    }
    const QMap<QString, QByteArray> files = {
        {QStringLiteral("app.exe"), QByteArrayLiteral("new program\n")},
        {QStringLiteral("bin/plugins/large.dll"), large},
        {QStringLiteral("empty.txt"), QByteArray()},
        {QStringLiteral("system.cfg"), QByteArrayLiteral("[%General]\nVersion=2.0\n")},
        {QStringLiteral("资料/说明.txt"), QByteArrayLiteral("说明\n")},
    };
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(area.writeSource(it.key(), it.value()));
    }

    const ProcessResult result = area.publish(QStringLiteral("2.0"), QStringLiteral("v2"));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    // The list: digest, tab, path with a leading "/", line feed, sorted by path.
    QByteArray expectedList;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        expectedList += md5Hex(it.value()) + '\t' + '/' + it.key().toUtf8() + '\n';
    }
    const QString webFolder = area.webRoot() + QStringLiteral("/v2");
    const QString tcpFolder = area.tcpRoot() + QStringLiteral("/v2");
    QCOMPARE(PublishArea::readFile(webFolder + QStringLiteral("/md5.txt")), expectedList);
    QCOMPARE(PublishArea::readFile(tcpFolder + QStringLiteral("/md5.txt")), expectedList);

    QStringList webEntries = files.keys();
    webEntries << QStringLiteral("bin") << QStringLiteral("bin/plugins") << QStringLiteral("md5.txt")
               << QStringLiteral("资料");
    webEntries.sort();
    QCOMPARE(PublishArea::entries(webFolder), webEntries);
    QStringList tcpEntries = webEntries + QStringList{QStringLiteral("update.ini")};
    tcpEntries.sort();
    QCOMPARE(PublishArea::entries(tcpFolder), tcpEntries);
    QCOMPARE(QDir(area.webRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("update.ini"), QStringLiteral("v2")}));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QCOMPARE(PublishArea::readFile(webFolder + QLatin1Char('/') + it.key()), it.value());
        QCOMPARE(PublishArea::readFile(tcpFolder + QLatin1Char('/') + it.key()), it.value());
    }

    const QString manifest = area.webRoot() + QStringLiteral("/update.ini");
    QCOMPARE(manifestValue(manifest, QStringLiteral("Version/Version")), QStringLiteral("2.0"));
    QCOMPARE(manifestValue(manifest, QStringLiteral("Version/Folder")), QStringLiteral("v2"));
    QCOMPARE(PublishArea::readFile(tcpFolder + QStringLiteral("/update.ini")),
             PublishArea::readFile(manifest));

    qint64 totalSize = 0;
    for (const QByteArray& content : files) {
        totalSize += content.size();
    }
    const QByteArray summary = result.standardOutput;
    QVERIFY2(summary.contains("files:        5\n"), summary.constData());
    QVERIFY2(summary.contains("total size:   " + QByteArray::number(totalSize) + " bytes"),
             summary.constData());
    QVERIFY2(summary.contains("md5.txt MD5:  " + md5Hex(expectedList) + "\n"), summary.constData());
    QVERIFY2(result.standardError.isEmpty() || !result.standardError.contains("system.cfg"),
             result.standardError.constData());
}

void TestPublishRelease::listIsSortedByPathAsText()
{
    // Upper case sorts before lower case, and "-" (0x2D) before "/" (0x2F): the list is ordered by
    // the whole path as text, not folder by folder.
    PublishArea area;
    const QStringList names = {QStringLiteral("data/sub/z.dat"), QStringLiteral("data-x"),
                               QStringLiteral("B.txt"), QStringLiteral("a.txt"), QStringLiteral("data/a")};
    for (const QString& name : names) {
        QVERIFY(area.writeSource(name, name.toUtf8()));
    }
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("r2"));
    QCOMPARE(result.exitCode, 0);

    QByteArrayList paths;
    const QByteArray list = PublishArea::readFile(area.webRoot() + QStringLiteral("/r2/md5.txt"));
    for (const QByteArray& line : list.split('\n')) {
        if (!line.isEmpty()) {
            paths << line.split('\t').value(1);
        }
    }
    QCOMPARE(paths, (QByteArrayList{"/B.txt", "/a.txt", "/data-x", "/data/a", "/data/sub/z.dat"}));
}

void TestPublishRelease::manifestKeepsTheVersionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("plain") << QStringLiteral("2.0.1");
    QTest::newRow("comma and semicolon") << QStringLiteral("1.0, beta; x=y");
    QTest::newRow("quotes") << QStringLiteral("\"3\"");
    QTest::newRow("chinese") << QStringLiteral("版本 3");
    QTest::newRow("blanks around") << QStringLiteral(" 2.0 ");
    QTest::newRow("backslash") << QStringLiteral("2\\0");
    QTest::newRow("31 bytes") << QString(31, QLatin1Char('9'));
}

void TestPublishRelease::manifestKeepsTheVersionText()
{
    QFETCH(QString, version);
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    const ProcessResult result = area.publish(version, QStringLiteral("v"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(manifestValue(area.webRoot() + QStringLiteral("/update.ini"), QStringLiteral("Version/Version")),
             version);
    QCOMPARE(
        manifestValue(area.tcpRoot() + QStringLiteral("/v/update.ini"), QStringLiteral("Version/Version")),
        version);
}

void TestPublishRelease::refusesToReplaceAnExistingFolder()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "version 1"));
    QCOMPARE(area.publish(QStringLiteral("1"), QStringLiteral("v")).exitCode, 0);
    const QByteArray manifestBefore = PublishArea::readFile(area.webRoot() + QStringLiteral("/update.ini"));

    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "version 2"));
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("already exists") && result.standardError.contains("--force"),
             result.standardError.constData());
    QCOMPARE(PublishArea::readFile(area.webRoot() + QStringLiteral("/v/app.exe")), QByteArray("version 1"));
    QCOMPARE(PublishArea::readFile(area.tcpRoot() + QStringLiteral("/v/app.exe")), QByteArray("version 1"));
    QCOMPARE(PublishArea::readFile(area.webRoot() + QStringLiteral("/update.ini")), manifestBefore);
    QCOMPARE(QDir(area.webRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("update.ini"), QStringLiteral("v")}));
}

void TestPublishRelease::replacesAnExistingFolderWhenForced()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "version 1"));
    QVERIFY(area.writeSource(QStringLiteral("old-only.dll"), "dropped in version 2"));
    QCOMPARE(area.publish(QStringLiteral("1"), QStringLiteral("v")).exitCode, 0);

    QVERIFY(QFile::remove(area.source() + QStringLiteral("/old-only.dll")));
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "version 2"));
    const ProcessResult result =
        area.publish(QStringLiteral("2"), QStringLiteral("v"), {QStringLiteral("--force")});
    QCOMPARE(result.exitCode, 0);

    for (const QString& root : {area.webRoot(), area.tcpRoot()}) {
        QCOMPARE(PublishArea::readFile(root + QStringLiteral("/v/app.exe")), QByteArray("version 2"));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/v/old-only.dll")));
        QCOMPARE(PublishArea::readFile(root + QStringLiteral("/v/md5.txt")),
                 md5Hex("version 2") + QByteArray("\t/app.exe\n"));
    }
    QCOMPARE(manifestValue(area.webRoot() + QStringLiteral("/update.ini"), QStringLiteral("Version/Version")),
             QStringLiteral("2"));
    // No staging or replaced folder is left behind.
    QCOMPARE(QDir(area.webRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("update.ini"), QStringLiteral("v")}));
    QCOMPARE(QDir(area.tcpRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("v")});
}

void TestPublishRelease::refusesNamesAnUpdaterCouldNotTake_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("backslash") << QStringLiteral("bin\\app.exe");
    QTest::newRow("drive letter") << QStringLiteral("c:app.exe");
    QTest::newRow("hidden file") << QStringLiteral(".config");
    QTest::newRow("hidden folder") << QStringLiteral("sub/.git/config");
    QTest::newRow("device name") << QStringLiteral("CON");
    QTest::newRow("device name with extension") << QStringLiteral("lib/nul.txt");
    QTest::newRow("question mark") << QStringLiteral("what?.txt");
    QTest::newRow("hash") << QStringLiteral("a#b.txt");
    QTest::newRow("percent") << QStringLiteral("a%20b.txt");
    QTest::newRow("trailing dot") << QStringLiteral("readme.");
    QTest::newRow("trailing blank") << QStringLiteral("readme ");
    QTest::newRow("tab") << QStringLiteral("tab\tname");
    QTest::newRow("line feed") << QStringLiteral("line\nfeed");
    QTest::newRow("32-byte file name") << QString(32, QLatin1Char('n'));
    QTest::newRow("11 chinese characters (33 bytes)") << QString(11, QChar(0x6587));
    QTest::newRow("128-byte folder part") << QString(63, QLatin1Char('d')) + QLatin1Char('/') +
                                                 QString(63, QLatin1Char('e')) + QStringLiteral("/f");
}

void TestPublishRelease::refusesNamesAnUpdaterCouldNotTake()
{
    QFETCH(QString, name);
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("good.txt"), "fine"));
    QVERIFY(area.writeSource(name, "refused"));

    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains(name.toUtf8()), result.standardError.constData());
    QVERIFY(!result.standardError.contains("good.txt"));
    QVERIFY(PublishArea::entries(area.webRoot()).isEmpty());
    QVERIFY(PublishArea::entries(area.tcpRoot()).isEmpty());
}

void TestPublishRelease::refusesFilesDifferingOnlyInCase()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("App.dll"), "one"));
    QVERIFY(area.writeSource(QStringLiteral("app.dll"), "two"));
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("differs only in case"), result.standardError.constData());
    QVERIFY(PublishArea::entries(area.webRoot()).isEmpty());
}

void TestPublishRelease::refusesALinkToAFolder()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("real/file.txt"), "x"));
    QVERIFY(QFile::link(area.source() + QStringLiteral("/real"), area.source() + QStringLiteral("/linked")));
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("linked: a link to a folder"), result.standardError.constData());
}

void TestPublishRelease::refusesAFileTooLargeForTheTcpChannel()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("huge.bin"), QByteArray()));
    QFile huge(area.source() + QStringLiteral("/huge.bin"));
    // Sparse: the size is refused before any byte is read.
    if (!huge.resize(Q_INT64_C(0x100000000))) {
        QSKIP("the file system cannot hold a 4 GiB sparse file");
    }
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("huge.bin: larger than the TCP channel carries"),
             result.standardError.constData());
}

void TestPublishRelease::refusesAFileItCannotRead()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("good.txt"), "x"));
    // A regular file by its metadata whose first read fails (EIO): the publisher's own memory.
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), area.source() + QStringLiteral("/unreadable.bin")));
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("cannot read"), result.standardError.constData());
    // Nothing is published, so no list can carry an entry without a digest.
    QVERIFY(!QFileInfo::exists(area.webRoot() + QStringLiteral("/v/md5.txt")));
    QVERIFY(!QFileInfo::exists(area.webRoot() + QStringLiteral("/update.ini")));
}

void TestPublishRelease::refusesBadFolderNamesAndVersions_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("reason");
    const QString v = QStringLiteral("2.0");
    QTest::newRow("parent folder") << v << QStringLiteral("..") << QByteArray("leaves its folder");
    QTest::newRow("current folder") << v << QStringLiteral(".") << QByteArray("leaves its folder");
    QTest::newRow("nested") << v << QStringLiteral("a/b") << QByteArray("one folder name");
    QTest::newRow("absolute") << v << QStringLiteral("/srv/v2") << QByteArray("one folder name");
    QTest::newRow("drive") << v << QStringLiteral("C:") << QByteArray("colon");
    QTest::newRow("backslash") << v << QStringLiteral("a\\b") << QByteArray("backslash");
    QTest::newRow("empty") << v << QString() << QByteArray("empty name");
    QTest::newRow("manifest name") << v << QStringLiteral("update.ini") << QByteArray("manifest");
    QTest::newRow("hash") << v << QStringLiteral("v#2") << QByteArray("download address");
    QTest::newRow("empty version") << QString() << QStringLiteral("v2") << QByteArray("empty");
    QTest::newRow("blank version") << QStringLiteral("  ") << QStringLiteral("v2") << QByteArray("empty");
    QTest::newRow("32-byte version") << QString(32, QLatin1Char('1')) << QStringLiteral("v2")
                                     << QByteArray("longer than 31 bytes");
    QTest::newRow("line feed in version")
        << QStringLiteral("2\n3") << QStringLiteral("v2") << QByteArray("control character");
}

void TestPublishRelease::refusesBadFolderNamesAndVersions()
{
    QFETCH(QString, version);
    QFETCH(QString, folder);
    QFETCH(QByteArray, reason);
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    const ProcessResult result = area.publish(version, folder);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains(reason), result.standardError.constData());
    QVERIFY(PublishArea::entries(area.webRoot()).isEmpty());
    QVERIFY(PublishArea::entries(area.tcpRoot()).isEmpty());
}

void TestPublishRelease::refusesOverlappingFolders()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));

    ProcessResult result = area.run({area.source(), QStringLiteral("2"), QStringLiteral("v"),
                                     QStringLiteral("--web-root"), area.source() + QStringLiteral("/www")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("overlap"), result.standardError.constData());
    QCOMPARE(PublishArea::entries(area.source()), QStringList{QStringLiteral("app.exe")});

    result = area.run({area.source(), QStringLiteral("2"), QStringLiteral("v"), QStringLiteral("--web-root"),
                       area.webRoot(), QStringLiteral("--tcp-root"), area.webRoot()});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("would both write"), result.standardError.constData());
}

void TestPublishRelease::refusesAnEmptyOrMissingSource()
{
    PublishArea area;
    QVERIFY(QDir().mkpath(area.source() + QStringLiteral("/only/empty/folders")));
    ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("no file to publish"), result.standardError.constData());

    QVERIFY(QDir(area.source()).removeRecursively());
    result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("is not a folder"), result.standardError.constData());
    QVERIFY(PublishArea::entries(area.webRoot()).isEmpty());
}

void TestPublishRelease::leavesTheUpdatersOwnFilesOut()
{
    // A copy of an installed version carries the updater's list and manifests; publishing them would
    // install a stale manifest (and clash with the list the publisher writes).
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "new"));
    QVERIFY(area.writeSource(QStringLiteral("md5.txt"), "stale list"));
    QVERIFY(area.writeSource(QStringLiteral("update.ini"), "[Version]\nVersion=1\n"));
    QVERIFY(area.writeSource(QStringLiteral("update/update.ini"), "[Version]\nVersion=1\n"));
    QVERIFY(area.writeSource(QStringLiteral("update/md5Tmp.txt"), "staged"));
    QVERIFY(area.writeSource(QStringLiteral("update/release.manifest"), "installed manifest"));
    QVERIFY(area.writeSource(QStringLiteral("Release.Manifest.sig"), "stale signature"));
    QVERIFY(area.writeSource(QStringLiteral("update/readme.txt"), "kept"));

    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(PublishArea::readFile(area.webRoot() + QStringLiteral("/v/md5.txt")),
             md5Hex("new") + "\t/app.exe\n" + md5Hex("kept") + "\t/update/readme.txt\n");
    QCOMPARE(PublishArea::entries(area.tcpRoot() + QStringLiteral("/v")),
             (QStringList{QStringLiteral("app.exe"), QStringLiteral("md5.txt"), QStringLiteral("update"),
                          QStringLiteral("update.ini"), QStringLiteral("update/readme.txt")}));
    QCOMPARE(
        manifestValue(area.tcpRoot() + QStringLiteral("/v/update.ini"), QStringLiteral("Version/Version")),
        QStringLiteral("2"));
    QVERIFY2(result.standardOutput.contains("skipped:      update/update.ini"),
             result.standardOutput.constData());
}

void TestPublishRelease::writesOnlyTheRequestedLayout()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    const ProcessResult result = area.run({area.source(), QStringLiteral("2"), QStringLiteral("v"),
                                           QStringLiteral("--web-root"), area.webRoot()});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(QFileInfo::exists(area.webRoot() + QStringLiteral("/v/app.exe")));
    QVERIFY(!QFileInfo::exists(area.tcpRoot()));
    QVERIFY(!result.standardOutput.contains("TCP release"));
}

void TestPublishRelease::keepsExecutablePermissions()
{
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("host.sh"), "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(area.source() + QStringLiteral("/host.sh"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(area.publish(QStringLiteral("2"), QStringLiteral("v")).exitCode, 0);
    QVERIFY(QFileInfo(area.tcpRoot() + QStringLiteral("/v/host.sh")).isExecutable());
    QVERIFY(QFileInfo(area.webRoot() + QStringLiteral("/v/host.sh")).isExecutable());
}

void TestPublishRelease::warnsWhenSystemCfgKeepsTheOldVersion_data()
{
    QTest::addColumn<QByteArray>("systemCfg");
    QTest::addColumn<bool>("warns");
    QTest::newRow("no system.cfg") << QByteArray() << true;
    QTest::newRow("new version") << QByteArray("[%General]\nVersion=2.0\n") << false;
    QTest::newRow("old version") << QByteArray("[%General]\nVersion=1.0\n") << true;
    QTest::newRow("[General] is not read") << QByteArray("[General]\nVersion=2.0\n") << true;
}

void TestPublishRelease::warnsWhenSystemCfgKeepsTheOldVersion()
{
    QFETCH(QByteArray, systemCfg);
    QFETCH(bool, warns);
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    if (!systemCfg.isEmpty()) {
        QVERIFY(area.writeSource(QStringLiteral("system.cfg"), systemCfg));
    }
    const ProcessResult result = area.publish(QStringLiteral("2.0"), QStringLiteral("v"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardError.contains("warning: ") && result.standardError.contains("system.cfg"),
             warns);
}

void TestPublishRelease::rejectsAnIncompleteCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList();
    QTest::newRow("no folder") << QStringList{QStringLiteral("source"), QStringLiteral("2"),
                                              QStringLiteral("--web-root"), QStringLiteral("www")};
    QTest::newRow("no output root") << QStringList{QStringLiteral("source"), QStringLiteral("2"),
                                                   QStringLiteral("v")};
}

void TestPublishRelease::rejectsAnIncompleteCommandLine()
{
    QFETCH(QStringList, arguments);
    PublishArea area;
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    const ProcessResult result = area.run(arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.standardError.contains("usage: publish-release"), result.standardError.constData());
    QVERIFY(!QFileInfo::exists(area.webRoot()));
}

void TestPublishRelease::makesAKeyPairOnlyOnce()
{
    PublishArea area;
    const QString keys = area.path(QStringLiteral("keys"));
    const ProcessResult made = area.run({QStringLiteral("keygen"), keys});
    QCOMPARE(made.exitCode, 0);
    const QByteArray publicText = PublishArea::readFile(keys + QStringLiteral("/release-signing.pub"));
    const QByteArray publicKey = ReleaseSignature::decodePublicKey(QString::fromLatin1(publicText));
    QCOMPARE(publicKey.size(), 32);
    QVERIFY(publicText.endsWith('\n') && publicText.count('\n') == 1);
    QVERIFY2(made.standardOutput.startsWith(publicText), made.standardOutput.constData());
    QVERIFY2(made.standardOutput.contains("[Security]\nPublicKey=" + publicText),
             made.standardOutput.constData());

    const QString secretPath = keys + QStringLiteral("/release-signing.key");
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(secretPath).permissions() & others, QFile::Permissions());
    QString error;
    const QByteArray secretKey = ReleaseSignature::readSecretKeyFile(secretPath, error);
    QVERIFY2(!secretKey.isEmpty(), qPrintable(error));
    QCOMPARE(ReleaseSignature::publicKeyOf(secretKey), publicKey);
    QCOMPARE(QDir(keys).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("release-signing.key"), QStringLiteral("release-signing.pub")}));

    // A second pair would orphan every installation that lists the first.
    const QByteArray secretText = PublishArea::readFile(secretPath);
    QVERIFY(QFile::remove(keys + QStringLiteral("/release-signing.pub")));
    QVERIFY(PublishArea::writeFile(keys + QStringLiteral("/release-signing.pub"), publicText));
    const ProcessResult again = area.run({QStringLiteral("keygen"), keys});
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.standardError.contains("already exists"), again.standardError.constData());
    QCOMPARE(PublishArea::readFile(secretPath), secretText);
    QCOMPARE(PublishArea::readFile(keys + QStringLiteral("/release-signing.pub")), publicText);
}

void TestPublishRelease::signsTheReleaseManifestInBothLayouts_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("productType");
    QTest::addColumn<qint64>("expiresInSeconds"); // -1: never
    QTest::addColumn<QDateTime>("expiresAt");

    const QDateTime none;
    QTest::newRow("defaults") << QStringList() << "1" << qint64{-1} << none;
    QTest::newRow("product type") << QStringList{QStringLiteral("--product-type"), QStringLiteral("4")} << "4"
                                  << qint64{-1} << none;
    QTest::newRow("expires in days") << QStringList{QStringLiteral("--expires-in-days"), QStringLiteral("30")}
                                     << "1" << qint64{30} * 24 * 3600 << none;
    QTest::newRow("expires at a time with zone")
        << QStringList{QStringLiteral("--expires"), QStringLiteral("2099-01-31T20:00:00.250+08:00")} << "1"
        << qint64{-1} << QDateTime(QDate(2099, 1, 31), QTime(12, 0), Qt::UTC);
}

void TestPublishRelease::signsTheReleaseManifestInBothLayouts()
{
    QFETCH(QStringList, options);
    QFETCH(QString, productType);
    QFETCH(qint64, expiresInSeconds);
    QFETCH(QDateTime, expiresAt);
    PublishArea area;
    const QString secretKey = makeKeyPair(area);
    QVERIFY(!secretKey.isEmpty());
    const QMap<QString, QByteArray> files = {{QStringLiteral("app.exe"), "new program"},
                                             {QStringLiteral("bin/core.dll"), QByteArray(70000, 'c')},
                                             {QStringLiteral("empty.txt"), QByteArray()},
                                             {QStringLiteral("资料/说明.txt"), "说明"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(area.writeSource(it.key(), it.value()));
    }
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const ProcessResult result = area.publish(QStringLiteral("2.1"), QStringLiteral("v2.1"),
                                              QStringList{QStringLiteral("--sign-key"), secretKey} + options);
    QCOMPARE(result.exitCode, 0);

    const QString web = area.webRoot() + QStringLiteral("/v2.1/");
    const QString tcp = area.tcpRoot() + QStringLiteral("/v2.1/update/");
    const QByteArray text = PublishArea::readFile(web + QStringLiteral("release.manifest"));
    const QByteArray signature = PublishArea::readFile(web + QStringLiteral("release.manifest.sig"));
    QCOMPARE(PublishArea::readFile(tcp + QStringLiteral("release.manifest")), text);
    QCOMPARE(PublishArea::readFile(tcp + QStringLiteral("release.manifest.sig")), signature);
    const QByteArray publicKey = ReleaseSignature::decodePublicKey(
        QString::fromLatin1(PublishArea::readFile(area.path(QStringLiteral("keys/release-signing.pub")))));
    QVERIFY(ReleaseSignature::verify(text, signature, publicKey));
    QVERIFY2(result.standardOutput.contains("with public key " + publicKey.toBase64()),
             result.standardOutput.constData());

    ReleaseManifest manifest;
    QString error;
    QVERIFY2(ReleaseManifest::parse(text, manifest, error), qPrintable(error));
    QCOMPARE(manifest.productType, productType);
    QCOMPARE(manifest.version, QStringLiteral("2.1"));
    QCOMPARE(manifest.folder, QStringLiteral("v2.1"));
    QVERIFY(manifest.created >= before && manifest.created <= QDateTime::currentDateTimeUtc());
    if (expiresInSeconds >= 0) {
        QVERIFY(qAbs(manifest.created.secsTo(manifest.expires) - expiresInSeconds) <= 1);
    } else {
        QCOMPARE(manifest.expires, expiresAt);
    }
    // Exactly the published files, by their installation paths; md5.txt does not list the manifest.
    QCOMPARE(manifest.files.size(), files.size());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const ReleaseManifestFile* listed = manifest.find(it.key());
        QVERIFY2(listed, qPrintable(it.key()));
        QCOMPARE(listed->size, qint64(it.value().size()));
        QCOMPARE(listed->sha256, QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256));
    }
    QVERIFY(!PublishArea::readFile(web + QStringLiteral("md5.txt")).contains("release.manifest"));
}

void TestPublishRelease::refusesBadSigningOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("reason");

    const QString key = QStringLiteral("keys/release-signing.key");
    const QString signKey = QStringLiteral("--sign-key");
    QTest::newRow("missing key file") << QStringList{signKey, QStringLiteral("keys/absent.key")} << 1
                                      << QByteArray("cannot sign: cannot read");
    QTest::newRow("public key file as secret key")
        << QStringList{signKey, QStringLiteral("keys/release-signing.pub")} << 1
        << QByteArray("not a secret key file");
    QTest::newRow("a folder as key file")
        << QStringList{signKey, QStringLiteral("keys")} << 1 << QByteArray("cannot sign");
    QTest::newRow("product type 7") << QStringList{signKey, key, QStringLiteral("--product-type"),
                                                   QStringLiteral("7")}
                                    << 1 << QByteArray("from 1 to 6");
    QTest::newRow("expiry passed") << QStringList{signKey, key, QStringLiteral("--expires"),
                                                  QStringLiteral("2001-01-01T00:00:00Z")}
                                   << 1 << QByteArray("already passed");
    QTest::newRow("expiry without zone")
        << QStringList{signKey, key, QStringLiteral("--expires"), QStringLiteral("2099-01-01T00:00:00")} << 2
        << QByteArray("with its zone");
    QTest::newRow("zero days") << QStringList{signKey, key, QStringLiteral("--expires-in-days"),
                                              QStringLiteral("0")}
                               << 2 << QByteArray("from 1 to");
    QTest::newRow("both expiries") << QStringList{signKey,
                                                  key,
                                                  QStringLiteral("--expires-in-days"),
                                                  QStringLiteral("3"),
                                                  QStringLiteral("--expires"),
                                                  QStringLiteral("2099-01-01T00:00:00Z")}
                                   << 2 << QByteArray("not both");
    QTest::newRow("expiry without key")
        << QStringList{QStringLiteral("--expires-in-days"), QStringLiteral("3")} << 2
        << QByteArray("give --sign-key");
    QTest::newRow("empty key path") << QStringList{signKey, QString()} << 2 << QByteArray("needs the path");
}

void TestPublishRelease::refusesBadSigningOptions()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, reason);
    PublishArea area;
    QVERIFY(!makeKeyPair(area).isEmpty());
    QVERIFY(area.writeSource(QStringLiteral("app.exe"), "x"));
    const ProcessResult result = area.publish(QStringLiteral("2"), QStringLiteral("v"), options);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.standardError.contains(reason), result.standardError.constData());
    QVERIFY(!QFileInfo::exists(area.webRoot()));
    QVERIFY(!QFileInfo::exists(area.tcpRoot()));
}

QTEST_GUILESS_MAIN(TestPublishRelease)
#include "testpublishrelease.moc"
