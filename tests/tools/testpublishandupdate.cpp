#include "formats/md5list.h"
#include "formats/patchindex.h"
#include "formats/releasemanifest.h"
#include "formats/releasesignature.h"
#include "support/consoleresult.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/installsnapshot.h"
#include "support/nginxserver.h"
#include "support/referenceservice.h"
#include "support/scratchinstallation.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

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

    /// Bytes that do not compress by themselves, so that only a patch against a base shrinks them.
    static QByteArray noise(int size, quint32 seed)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& c : bytes) {
            seed = seed * 1664525u + 1013904223u;
            c = static_cast<char>(seed >> 24);
        }
        return bytes;
    }

    /// Two versions for patches: large files changed in a few places, a small one and a new one.
    static QMap<QString, QByteArray> deltaVersion(int version)
    {
        QByteArray program = noise(400000, 7);
        QByteArray library = noise(150000, 8);
        if (version == 2) {
            program.replace(1000, 8, "fixed v2").replace(390000, 3, "new");
            library.insert(5000, "inserted in version 2");
        }
        QMap<QString, QByteArray> files{
            {QStringLiteral("app.exe"), program},
            {QStringLiteral("lib/core.dll"), library},
            {QStringLiteral("readme.txt"), "readme " + QByteArray::number(version)}};
        if (version == 2) {
            files.insert(QStringLiteral("new.txt"), "added in 2");
        }
        return files;
    }

    /// The update.log lines of every run so far.
    static QByteArray logOf(const ScratchInstallation& installation)
    {
        QByteArray log;
        for (const QString& file : installation.listFiles(QStringLiteral("logs"))) {
            log += installation.readFile(file);
        }
        return log;
    }

    struct KeyPair
    {
        QByteArray publicKey;
        QByteArray secretKey;
    };
    KeyPair m_key;
    KeyPair m_nextKey;
    KeyPair m_otherKey;

    /// The signed manifest of `files` as the vendor would publish it.
    static ReleaseManifest manifestFor(const QMap<QString, QByteArray>& files, const QString& version)
    {
        ReleaseManifest manifest;
        manifest.productType = QStringLiteral("1");
        manifest.version = version;
        manifest.folder = QStringLiteral("r2");
        manifest.created = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            manifest.files.append({it.key(), it.value().size(),
                                   QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256)});
        }
        return manifest;
    }

    /// Publishes version 2 signed, with the attack that `tamper` names applied after signing:
    /// the files go to `filesFolder` (through `writeFiles`), the manifest and its signature to
    /// `manifestPath`. Returns the manifest bytes published.
    QByteArray publishSigned(const QString& tamper, const QString& manifestPath,
                             const std::function<bool(const QMap<QString, QByteArray>&)>& writeFiles)
    {
        QMap<QString, QByteArray> served = version2();
        ReleaseManifest manifest = manifestFor(served, QStringLiteral("2.0"));
        if (tamper == QLatin1String("expired")) {
            manifest.expires = manifest.created.addDays(-1);
        }
        const KeyPair& signer = tamper == QLatin1String("other key")  ? m_otherKey
                                : tamper == QLatin1String("next key") ? m_nextKey
                                                                      : m_key;
        QByteArray bytes = manifest.serialize();
        const QByteArray signature = ReleaseSignature::sign(bytes, signer.secretKey);
        if (tamper == QLatin1String("changed byte")) {
            served[QStringLiteral("app.bin")] = "app 3";
        } else if (tamper == QLatin1String("edited manifest")) {
            // The attacker swaps a file and makes the manifest agree with it.
            served[QStringLiteral("app.bin")] = "bad 2";
            bytes.replace(QCryptographicHash::hash("app 2", QCryptographicHash::Sha256).toHex(),
                          QCryptographicHash::hash("bad 2", QCryptographicHash::Sha256).toHex());
        } else if (tamper == QLatin1String("extra file")) {
            served[QStringLiteral("extra.bin")] = "not signed";
        } else if (tamper == QLatin1String("oversized")) {
            served[QStringLiteral("app.bin")] = QByteArray("app 2") + QByteArray(4 * 1024 * 1024, 'x');
        }
        if (!writeFiles(served) ||
            (tamper != QLatin1String("no manifest") && !writeFile(manifestPath, bytes)) ||
            (tamper != QLatin1String("no signature") &&
             !writeFile(manifestPath + QStringLiteral(".sig"), signature))) {
            return QByteArray();
        }
        return bytes;
    }

    QMap<QString, QString> signedConfig() const
    {
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Security/PublicKey")] = ReleaseSignature::encodePublicKey(m_key.publicKey);
        config[QStringLiteral("Security/PublicKeyNext")] =
            ReleaseSignature::encodePublicKey(m_nextKey.publicKey);
        return config;
    }

    /// `update.exe verify` accepts the installation as installed, then names a changed and a
    /// missing file.
    static void checkVerifyCommand(ScratchInstallation& installation)
    {
        const ProcessResult intact = installation.runUpdater({QStringLiteral("verify")});
        QCOMPARE(intact.exitCode, 0);
        QCOMPARE(intact.jsonLine(), QByteArray("{\"differing\":[],\"missing\":[],\"success\":true}"));
        QVERIFY(installation.writeFile(QStringLiteral("app.bin"), "app 9"));
        QVERIFY(QFile::remove(installation.filePath(QStringLiteral("data/new file.txt"))));
        const ProcessResult damaged = installation.runUpdater({QStringLiteral("verify")});
        QCOMPARE(damaged.exitCode, 1);
        QCOMPARE(damaged.jsonLine(),
                 QByteArray(
                     "{\"differing\":[\"app.bin\"],\"missing\":[\"data/new file.txt\"],\"success\":false}"));
    }

    /// Runs the update and checks that it installed the release, or left the installation as it
    /// was with a clear reason.
    static void checkSignedRun(ScratchInstallation& installation, const QString& tamper, bool installs,
                               const QByteArray& publishedManifest)
    {
        if (tamper == QLatin1String("rollback")) {
            QVERIFY(installation.writeFile(QStringLiteral("update/release.manifest"),
                                           manifestFor(version1(), QStringLiteral("3.0")).serialize()));
        }
        const QStringList runFolders{QStringLiteral("logs"), QStringLiteral("temp")};
        const auto before = snapshotFiles(installation.path(), runFolders);
        if (installs) {
            const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
            QVERIFY2(result.finished, result.standardOutput.constData());
            QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
            verifyVersion2(installation);
            QCOMPARE(installation.readFile(QStringLiteral("update/release.manifest")), publishedManifest);
            checkVerifyCommand(installation);
            return;
        }
        const QByteArray refusal = QStringLiteral("更新未通过安全校验，未安装: ").toUtf8();
        const ProcessResult result =
            installation.runUpdaterUntil({QStringLiteral("console")}, refusal, 60000);
        QVERIFY2(result.markerSeen, result.standardOutput.constData());
        QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
        QCOMPARE(result.standardOutput.count("{\"errormsg\""), 1);
        const auto after = snapshotFiles(installation.path(), runFolders);
        QVERIFY2(after == before, qPrintable(describeDifference(after, before)));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        QVERIFY(!installation.exists(QStringLiteral("host-ran.txt")));
    }

    /// Rows shared by both channels: what the server offers, and whether it may be installed.
    static void signedRows()
    {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<bool>("installs");
        QTest::newRow("signed release installs") << QString() << true;
        QTest::newRow("signed with the next key") << QStringLiteral("next key") << true;
        QTest::newRow("one byte changed on the server") << QStringLiteral("changed byte") << false;
        QTest::newRow("manifest changed after signing") << QStringLiteral("edited manifest") << false;
        QTest::newRow("signature by another key") << QStringLiteral("other key") << false;
        QTest::newRow("older release offered") << QStringLiteral("rollback") << false;
        QTest::newRow("expired manifest") << QStringLiteral("expired") << false;
        QTest::newRow("extra file not in the manifest") << QStringLiteral("extra file") << false;
        QTest::newRow("manifest missing") << QStringLiteral("no manifest") << false;
        QTest::newRow("signature missing") << QStringLiteral("no signature") << false;
        QTest::newRow("file streamed past its size") << QStringLiteral("oversized") << false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        for (KeyPair* pair : {&m_key, &m_nextKey, &m_otherKey}) {
            QVERIFY(ReleaseSignature::generateKeyPair(pair->publicKey, pair->secretKey));
        }
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

        // Version 2 again, with patches against version 1, signed; an installation without a key
        // takes the plain list, one with the key the signed one.
        QVERIFY(writeTree(work(QStringLiteral("delta1")), deltaVersion(1)));
        QVERIFY(writeTree(work(QStringLiteral("delta2")), deltaVersion(2)));
        const ProcessResult withPatches =
            runProcess(publisher,
                       {work(QStringLiteral("delta2")), QStringLiteral("2.0"), QStringLiteral("r2"),
                        QStringLiteral("--web-root"), work(QStringLiteral("web-delta")),
                        QStringLiteral("--delta-from"), work(QStringLiteral("delta1")),
                        QStringLiteral("--sign-key"), work(QStringLiteral("keys/release-signing.key"))},
                       m_work.path(), 60000);
        QVERIFY2(withPatches.exitCode == 0, withPatches.standardError.constData());
        QVERIFY2(withPatches.standardOutput.contains("patches:      2 in .delta/"),
                 withPatches.standardOutput.constData());
    }

    void deltaUpdateOverHttp_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<int>("patchedFiles");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("patches install") << QString() << false << 2 << QByteArray("差分补丁下载 2 个文件");
        QTest::newRow("signed patches install")
            << QString() << true << 2 << QByteArray("差分补丁下载 2 个文件");
        QTest::newRow("corrupt patch")
            << QStringLiteral("corrupt") << false << 1 << QByteArray("补丁无法应用");
        QTest::newRow("patch missing") << QStringLiteral("missing") << false << 1
                                       << QByteArray("差分补丁不可用，改为下载完整文件: /app.exe (下载失败");
        QTest::newRow("tampered patch with a key")
            << QStringLiteral("corrupt") << true << 1 << QByteArray("补丁SHA-256与签名列表不符，未应用");
        QTest::newRow("installed file differs from every base")
            << QStringLiteral("local change") << false << 1 << QByteArray("已安装文件与所有补丁基准不同");
    }

    void deltaUpdateOverHttp()
    {
        QFETCH(QString, fault);
        QFETCH(bool, withKey);
        QFETCH(int, patchedFiles);
        QFETCH(QByteArray, logged);
        QTemporaryDir web;
        QVERIFY(runProcess(QStringLiteral("cp"),
                           {QStringLiteral("-a"), work(QStringLiteral("web-delta")) + "/.", web.path()},
                           m_work.path(), 30000)
                    .exitCode == 0);
        const QString patch =
            web.filePath(QStringLiteral("r2/") +
                         PatchIndex::patchLocation(QStringLiteral("/app.exe"),
                                                   md5Hex(deltaVersion(1).value(QStringLiteral("app.exe")))));
        QVERIFY(QFileInfo::exists(patch));
        if (fault == QLatin1String("missing")) {
            QVERIFY(QFile::remove(patch));
        } else if (fault == QLatin1String("corrupt")) {
            // A damaged patch whose plain list entry was made to match it: only applying shows it.
            QByteArray bytes = readFile(patch);
            const QString oldMd5 = md5Hex(bytes);
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
            QVERIFY(writeFile(patch, bytes));
            QByteArray list = readFile(web.filePath(QStringLiteral("r2/delta.txt")));
            list.replace(oldMd5.toLatin1(), md5Hex(bytes).toLatin1());
            QVERIFY(writeFile(web.filePath(QStringLiteral("r2/delta.txt")), list));
        }
        NginxServer server(web.path());
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        if (withKey) {
            config[QStringLiteral("Security/PublicKey")] =
                QString::fromLatin1(readFile(work(QStringLiteral("keys/release-signing.pub"))).trimmed());
        }
        config[QStringLiteral("Server/UpdatePort")] = QStringLiteral("0");
        config[QStringLiteral("Update/HttpEnable")] = QStringLiteral("true");
        config[QStringLiteral("Update/URL")] = server.baseUrl();
        QVERIFY(writeTree(installation.path(), deltaVersion(1)));
        if (fault == QLatin1String("local change")) {
            QByteArray changed = deltaVersion(1).value(QStringLiteral("app.exe"));
            changed[10] = 'x';
            QVERIFY(installation.writeFile(QStringLiteral("app.exe"), changed));
        }
        QVERIFY(installation.writeFile(QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0\n"));
        installation.writeConfig(config);
        QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), QStringLiteral("host-ran.txt")));

        const ProcessResult result = installation.runUpdater({QStringLiteral("console")}, 60000);
        QVERIFY2(result.finished, result.standardOutput.constData());
        QCOMPARE(result.jsonLine(), ConsoleResult::updateAvailable());
        const QMap<QString, QByteArray> expected = deltaVersion(2);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(installation.readFile(it.key()) == it.value(), qPrintable(it.key()));
        }
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("host-ran.txt")), 10000));
        QVERIFY(!installation.exists(QStringLiteral("temp")));
        const QByteArray requests = server.requestLog();
        const QByteArray log = logOf(installation);
        QVERIFY2(log.contains(logged), logged.constData());
        QCOMPARE(requests.count(".zst HTTP"), fault == QLatin1String("local change") ? 1 : 2);
        // Every file that did not come as a patch came whole, the library always as a patch.
        QCOMPARE(requests.count("GET /r2//app.exe HTTP") + requests.count("GET /r2//lib/core.dll HTTP"),
                 2 - patchedFiles);
        QVERIFY(requests.contains(withKey ? "release.patches.sig" : "delta.txt"));
        QVERIFY(!requests.contains(withKey ? "delta.txt" : "release.patches"));
        QCOMPARE(log.count("差分补丁不可用"),
                 fault.isEmpty() || fault == QLatin1String("local change") ? 0 : 1);
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
        // The installation trusts the key the release was published with.
        ScratchInstallation installation;
        auto config = ScratchInstallation::offlineConfig();
        config[QStringLiteral("Security/PublicKey")] =
            QString::fromLatin1(readFile(work(QStringLiteral("keys/release-signing.pub"))).trimmed());
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

    void signedReleaseOverTcp_data() { signedRows(); }
    void signedReleaseOverTcp()
    {
        QFETCH(QString, tamper);
        QFETCH(bool, installs);
        QTemporaryDir root;
        const QByteArray manifest = publishSigned(
            tamper, root.filePath(QStringLiteral("update/release.manifest")),
            [&root](const QMap<QString, QByteArray>& files) { return writeTree(root.path(), files); });
        QVERIFY(!manifest.isEmpty());
        ReferenceService service;
        QVERIFY2(service.start(root.path(), QStringLiteral("2.0")), qPrintable(service.errorString()));
        ScratchInstallation installation;
        auto config = signedConfig();
        config[QStringLiteral("Server/UpdatePort")] = QString::number(service.port());
        installVersion1(installation, config);
        checkSignedRun(installation, tamper, installs, manifest);
    }

    void signedReleaseOverHttp_data() { signedRows(); }
    void signedReleaseOverHttp()
    {
        QFETCH(QString, tamper);
        QFETCH(bool, installs);
        QTemporaryDir web;
        const QByteArray manifest = publishSigned(
            tamper, web.filePath(QStringLiteral("r2/release.manifest")),
            [&web](const QMap<QString, QByteArray>& files) {
                return writeHttpRelease(web.path(), QStringLiteral("r2"), QStringLiteral("2.0"), files);
            });
        QVERIFY(!manifest.isEmpty());
        NginxServer server(web.path());
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        ScratchInstallation installation;
        auto config = signedConfig();
        config[QStringLiteral("Server/UpdatePort")] = QStringLiteral("0");
        config[QStringLiteral("Update/HttpEnable")] = QStringLiteral("true");
        config[QStringLiteral("Update/URL")] = server.baseUrl();
        installVersion1(installation, config);
        // The list the check would otherwise generate, so that a refused run changes nothing.
        generateMd5List(installation.path() + QLatin1Char('/'));
        checkSignedRun(installation, tamper, installs, manifest);
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
