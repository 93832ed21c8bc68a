#include "control/launchscript.h"
#include "platform/platform.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

/// The delayed-start script texts, both checked on every system.
class TestLaunchScript : public QObject
{
    Q_OBJECT

private slots:
    void windowsBatch_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("batch");
        QTest::addColumn<QString>("expected");

        QTest::newRow("host without arguments")
            << "C:/Program Files/App/app.exe" << QStringList()
            << "C:/Temp/update-launch-1f/delay_start_17.bat"
            << "@echo off\r\necho Starting in 1 second...\r\ntimeout /t 1 /nobreak >nul\r\n"
               "\"C:\\Program Files\\App\\app.exe\"\r\ndel "
               "\"C:\\Temp\\update-launch-1f\\delay_start_17.bat\" & rmdir "
               "\"C:\\Temp\\update-launch-1f\"\r\n";
        QTest::newRow("helper with two arguments")
            << "C:/App/sub/helper.exe" << QStringList{"update.exe", "update.exe"} << "C:/T/delay_start_1.bat"
            << "@echo off\r\necho Starting in 1 second...\r\ntimeout /t 1 /nobreak >nul\r\n"
               "\"C:\\App\\sub\\helper.exe\" \"update.exe\" \"update.exe\"\r\ndel "
               "\"C:\\T\\delay_start_1.bat\" & rmdir \"C:\\T\"\r\n";
        QTest::newRow("arguments are not converted")
            << "D:/a.exe" << QStringList{"x/y", "with space"} << "D:/L/b.bat"
            << "@echo off\r\necho Starting in 1 second...\r\ntimeout /t 1 /nobreak >nul\r\n"
               "\"D:\\a.exe\" \"x/y\" \"with space\"\r\ndel \"D:\\L\\b.bat\" & rmdir \"D:\\L\"\r\n";
    }

    void windowsBatch()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, batch);
        QFETCH(QString, expected);
        QCOMPARE(LaunchScript::windowsBatch(program, arguments, batch), expected);
    }

    // A folder whose name the interpreter's encoding may lack (Chinese on a Western Windows) is
    // written in a form it can carry, and that form still names the same folder.
    void scriptSafePathNamesTheSameFolder()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("软件 with blank"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(folder + QStringLiteral("/marker"), "x"));
        const QString safe = Platform::scriptSafePath(folder);
        QByteArray encoded;
        QVERIFY2(Platform::encodeScriptText(safe, encoded), qPrintable(safe));
        QVERIFY2(QFile::exists(safe + QStringLiteral("/marker")), qPrintable(safe));
    }

    void shellQuote_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "abc"
                               << "'abc'";
        QTest::newRow("empty") << ""
                               << "''";
        QTest::newRow("space") << "a b"
                               << "'a b'";
        QTest::newRow("single quote") << "it's"
                                      << "'it'\\''s'";
        QTest::newRow("shell characters") << "$HOME `x` \"y\" ;&|"
                                          << "'$HOME `x` \"y\" ;&|'";
    }

    void shellQuote()
    {
        QFETCH(QString, text);
        QFETCH(QString, quoted);
        QCOMPARE(LaunchScript::shellQuote(text), quoted);
    }

    void posixShellText()
    {
        const QString text =
            LaunchScript::posixShell(QStringLiteral("/opt/my app/run"), {QStringLiteral("a'b")},
                                     QStringLiteral("/tmp/private/delay_start_5.sh"));
        QCOMPARE(text, QStringLiteral("#!/bin/sh\necho 'Starting in 1 second...'\nsleep 1\n"
                                      "'/opt/my app/run' 'a'\\''b'\nrm -f '/tmp/private/delay_start_5.sh'\n"
                                      "rmdir '/tmp/private'\n"));
    }

    void posixShellRunsProgramWithExactArgumentsAndDeletesItself()
    {
#ifdef Q_OS_WIN
        QSKIP("the POSIX launcher runs only where /bin/sh exists");
#endif
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("文件夹 with 'quotes' and $vars"));
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + QStringLiteral("/print args.sh");
        const QString output = folder + QStringLiteral("/out.txt");
        QFile programFile(program);
        QVERIFY(programFile.open(QIODevice::WriteOnly));
        programFile.write(
            "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/out.txt\"\n");
        programFile.close();
        QVERIFY(programFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const QStringList arguments = {QStringLiteral("two words"), QStringLiteral("it's"),
                                       QStringLiteral("$HOME"),     QStringLiteral("\"q\""),
                                       QStringLiteral("中文"),      QString()};
        const QString script = dir.filePath(QStringLiteral("private/delay_start_1.sh"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("private"))));
        QFile scriptFile(script);
        QVERIFY(scriptFile.open(QIODevice::WriteOnly));
        scriptFile.write(LaunchScript::posixShell(program, arguments, script).toUtf8());
        scriptFile.close();

        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"), {script});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(shell.exitCode(), 0);
        QFile result(output);
        QVERIFY(result.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(result.readAll()), arguments.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        QVERIFY(!QFile::exists(script));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("private"))));
    }

    // The delayed-start script is created, never opened: whatever a local user planted at its
    // name stays as it was and the creation fails at once.
    void exclusiveCreation_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("nothing") << QString();
        QTest::newRow("a file") << QStringLiteral("file");
        QTest::newRow("a link to a file") << QStringLiteral("link");
        QTest::newRow("a dangling link") << QStringLiteral("dangling");
        QTest::newRow("a named pipe") << QStringLiteral("pipe");
        QTest::newRow("a folder") << QStringLiteral("folder");
    }

    void exclusiveCreation()
    {
        QFETCH(QString, planted);
#ifdef Q_OS_WIN
        if (planted == QLatin1String("link") || planted == QLatin1String("dangling") ||
            planted == QLatin1String("pipe")) {
            QSKIP("QFile::link makes a shortcut file on Windows, and named pipes live outside folders");
        }
#endif
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("delay_start_1.sh"));
        const QString target = dir.filePath(QStringLiteral("target"));
        if (planted == QLatin1String("file")) {
            QVERIFY(QFile(name).open(QIODevice::WriteOnly));
        } else if (planted == QLatin1String("link")) {
            QFile targetFile(target);
            QVERIFY(targetFile.open(QIODevice::WriteOnly));
            targetFile.write("kept");
            targetFile.close();
            QVERIFY(QFile::link(target, name));
        } else if (planted == QLatin1String("dangling")) {
            QVERIFY(QFile::link(target, name));
        } else if (planted == QLatin1String("pipe")) {
#ifndef Q_OS_WIN
            QVERIFY(::mkfifo(QFile::encodeName(name).constData(), 0666) == 0);
#endif
        } else if (planted == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(name));
        }

        const bool created = Platform::writeNewFile(name, "#!/bin/sh\n");

        QCOMPARE(created, planted.isEmpty());
        if (created) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("#!/bin/sh\n"));
#ifndef Q_OS_WIN // Windows keeps access in lists that QFileInfo does not read by default.
            QCOMPARE(QFileInfo(name).permissions() & (QFile::WriteGroup | QFile::WriteOther),
                     QFileDevice::Permissions());
#endif
        }
        if (planted == QLatin1String("link")) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("kept"));
        }
        QCOMPARE(QFileInfo::exists(target), planted == QLatin1String("link"));
    }

    void privateFolderIsNewAndOwnersOnly()
    {
        QTemporaryDir dir;
        const QString first = Platform::createPrivateFolder(dir.path());
        const QString second = Platform::createPrivateFolder(dir.path());
        QVERIFY(!first.isEmpty());
        QVERIFY(first != second);
        QVERIFY(first.startsWith(dir.path() + QLatin1Char('/')));
#ifndef Q_OS_WIN // Windows keeps access in lists that QFileInfo does not read by default.
        QCOMPARE(QFileInfo(first).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                                   QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
                 QFileDevice::Permissions());
#endif
        QVERIFY(QDir(first).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLaunchScript)
#include "testlaunchscript.moc"
