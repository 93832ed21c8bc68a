// Whole runs of the Windows build of update.exe under Wine, against the reference update service and
// nginx running on Linux: the Windows code paths (code pages, the cmd.exe launcher, file sharing,
// the single-instance guard over a Windows file mapping, drive-letter paths) run for real here.
#include "support/applydriver.h"
#include "support/filehelpers.h"
#include "support/httprelease.h"
#include "support/nginxserver.h"
#include "support/scratchinstallation.h"
#include "support/winerun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

constexpr int RunTimeoutMs = 20000;

/// An installation of the Windows updater in a folder whose path has blanks and Chinese characters.
class WineInstallation
{
public:
    WineInstallation()
    {
        m_path = m_base.filePath(QStringLiteral("我的 程序"));
        QDir().mkpath(m_path);
        m_deployed = m_base.isValid() && WineRun::deployUpdater(m_path);
    }

    bool isValid() const { return m_deployed; }
    QString path() const { return m_path; }
    QString filePath(const QString& relative) const { return m_path + QLatin1Char('/') + relative; }

    void writeConfig(const QMap<QString, QString>& values)
    {
        QByteArray text;
        QString section;
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            const QString group = it.key().section(QLatin1Char('/'), 0, 0);
            if (group != section) {
                section = group;
                text += "[" + (group == QLatin1String("General") ? QByteArray("%General") : group.toUtf8()) +
                        "]\n";
            }
            text += it.key().section(QLatin1Char('/'), 1).toUtf8() + "=" + it.value().toUtf8() + "\n";
        }
        writeBytes(filePath(QStringLiteral("system.cfg")), text);
    }

    ProcessResult run(const QStringList& arguments, const char* locale, int timeoutMs = RunTimeoutMs) const
    {
        return WineRun::run(filePath(QStringLiteral("update.exe")), arguments, m_path, locale, timeoutMs);
    }

private:
    QTemporaryDir m_base;
    QString m_path;
    bool m_deployed = false;
};

/// system.cfg of an installation that reaches no TCP service; HTTP from `url` when it is set.
QMap<QString, QString> configFor(const QString& url = QString())
{
    return {
        {QStringLiteral("Update/HostExe"), QStringLiteral("主 程序.exe")},
        {QStringLiteral("Update/UpdateHelperExe"), QStringLiteral("update-helper.exe")},
        {QStringLiteral("Update/UpdateExe"), QStringLiteral("update.exe")},
        {QStringLiteral("Update/HttpEnable"),
         url.isEmpty() ? QStringLiteral("false") : QStringLiteral("true")},
        {QStringLiteral("Update/URL"), url},
        {QStringLiteral("Server/UpdateServer"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("Server/UpdatePort"), QStringLiteral("1")},
        {QStringLiteral("General/Version"), QStringLiteral("1.0")},
        {QStringLiteral("Paths/Backup"), QStringLiteral("backup/")},
        {QStringLiteral("Paths/Temp"), QStringLiteral("temp/")},
        {QStringLiteral("Paths/Log"), QStringLiteral("logs/")},
    };
}

/// The JSON line as update.exe writes it in the code page `codec`.
QByteArray inCodePage(const QString& line, const char* codec)
{
    return QTextCodec::codecForName(codec)->fromUnicode(line);
}

} // namespace

class TestWineRuns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString reason = WineRun::unavailableReason();
        if (!reason.isEmpty()) {
            QSKIP(qPrintable(reason));
        }
    }

    void cleanup() { WineRun::endAll(); }

    void consoleWithoutServiceWritesTheLineInTheCodePage_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QByteArray>("codec");
        QTest::newRow("Chinese (GBK)") << QByteArray(WineRun::ChineseLocale) << QByteArray("GBK");
        QTest::newRow("Western (1252)") << QByteArray(WineRun::WesternLocale) << QByteArray("windows-1252");
    }

    void consoleWithoutServiceWritesTheLineInTheCodePage()
    {
        QFETCH(QByteArray, locale);
        QFETCH(QByteArray, codec);
        WineInstallation installation;
        QVERIFY(installation.isValid());
        installation.writeConfig(configFor());

        const ProcessResult result = installation.run({QStringLiteral("console")}, locale.constData());
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        const QByteArray line =
            inCodePage(QStringLiteral(R"({"errormsg":"TCP升级服务连接失败","success":false,"update":false})"),
                       codec.constData());
        QVERIFY2(result.standardOutput.contains(line + "\r\n"), result.standardOutput.constData());
        QCOMPARE(result.standardOutput.count('{'), 1);
        // The log lies in the installation's own folder, whose name is not in the ASCII range.
        QVERIFY(
            readFile(installation.filePath(QStringLiteral("logs/update.log"))).contains("Update started"));
    }

    void secondCopyIsRefusedWhileTheFirstRuns_data()
    {
        QTest::addColumn<bool>("otherCase");
        QTest::newRow("same path") << false;
        QTest::newRow("path in other letter case") << true;
    }

    void secondCopyIsRefusedWhileTheFirstRuns()
    {
        QFETCH(bool, otherCase);
        // The first copy stays busy downloading a release that nginx hands out slowly.
        QTemporaryDir served;
        QVERIFY(writeHttpRelease(served.path(), QStringLiteral("r2"), QStringLiteral("2.0"),
                                 {{QStringLiteral("big.bin"), QByteArray(8 << 20, 'b')}}));
        NginxServer server(served.path(), QStringLiteral("location /r2/ { limit_rate 64k; }\n"));
        QVERIFY2(server.start(), qPrintable(server.lastError()));
        WineInstallation installation;
        QVERIFY(installation.isValid());
        installation.writeConfig(configFor(server.baseUrl()));

        QProcess first;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QMap<QString, QString> variables = WineRun::environmentFor(WineRun::ChineseLocale);
        for (auto it = variables.cbegin(); it != variables.cend(); ++it) {
            env.insert(it.key(), it.value());
        }
        first.setProcessEnvironment(env);
        first.setWorkingDirectory(installation.path());
        first.start(WineRun::loader(), {installation.filePath(QStringLiteral("update.exe"))});
        // Once the list is staged the first copy is downloading (nginx logs a request only at its end).
        QVERIFY(waitForFile(installation.filePath(QStringLiteral("update/md5Tmp.txt")), RunTimeoutMs));

        QString second = WineRun::windowsPath(installation.filePath(QStringLiteral("update.exe")));
        if (otherCase) {
            second.replace(QStringLiteral("update.exe"), QStringLiteral("UPDATE.EXE"));
        }
        const ProcessResult refused = WineRun::run(second, {QStringLiteral("console")}, installation.path(),
                                                   WineRun::ChineseLocale, RunTimeoutMs);
        QVERIFY(refused.finished);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(!refused.standardOutput.contains('{'), refused.standardOutput.constData());
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        first.waitForFinished(10000);
    }
};

QTEST_GUILESS_MAIN(TestWineRuns)
#include "testwineruns.moc"
