#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <unistd.h>

/// Redirects a standard stream into a buffer for the lifetime of the object.
class StreamCapture
{
public:
    explicit StreamCapture(std::ostream& stream) : m_stream(stream), m_old(stream.rdbuf(m_buffer.rdbuf())) {}
    ~StreamCapture() { m_stream.rdbuf(m_old); }
    std::string text() const { return m_buffer.str(); }

private:
    std::ostream& m_stream;
    std::ostringstream m_buffer;
    std::streambuf* m_old;
};

class TestLogger : public QObject
{
    Q_OBJECT

private:
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void cleanup() { Logger::shutdown(); }

    void fallbackBeforeInit()
    {
        StreamCapture out(std::cout);
        StreamCapture err(std::cerr);
        Logger::debug("d");
        Logger::info("i {}");
        Logger::warn("w");
        Logger::error("e %s");
        QCOMPARE(QString::fromStdString(out.text()), QStringLiteral("[DEBUG] d\n[INFO] i {}\n[WARN] w\n"));
        QCOMPARE(QString::fromStdString(err.text()), QStringLiteral("[ERROR] e %s\n"));
    }

    void controlCharactersAreEscaped_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("line feed before a forged result")
            << QByteArray("name\n{\"success\":true}") << QByteArray("name\\n{\"success\":true}");
        QTest::newRow("carriage return, tab, escape, delete")
            << QByteArray("a\rb\tc\x1b[0md\x7f") << QByteArray("a\\rb\\tc\\x1b[0md\\x7f");
        QTest::newRow("Unicode line breaks") << QByteArray("a\xc2\x85"
                                                           "b\xe2\x80\xa8"
                                                           "c\xe2\x80\xa9"
                                                           "d")
                                             << QByteArray("a\\u0085b\\u2028c\\u2029d");
        QTest::newRow("text and backslashes stay")
            << QByteArray("中文 C:\\x {} %s") << QByteArray("中文 C:\\x {} %s");
    }

    void controlCharactersAreEscaped()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, logged);
        StreamCapture out(std::cout);
        Logger::info(message.toStdString());
        QCOMPARE(QByteArray::fromStdString(out.text()), "[INFO] " + logged + "\n");
    }

    void fileLinesHavePatternAndLevels()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("logs/update.log"));
        Logger::init(path.toStdString());
        Logger::debug("debug line");
        Logger::info("信息 {} %s {0}");
        Logger::warn("warn line");
        Logger::error("error line");
        Logger::shutdown();

        const QByteArray text = readAll(path);
        const QList<QByteArray> lines = text.split('\n');
        QCOMPARE(lines.size(), 5); // four lines and the empty rest after the last line end
        const QRegularExpression pattern(QStringLiteral(
            R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(debug|info|warning|error)\] \[\d+\] .*\r$)"));
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(pattern.match(QString::fromUtf8(lines.at(i))).hasMatch(), lines.at(i).constData());
        }
        QVERIFY(lines.at(0).contains("[debug]"));
        QVERIFY(lines.at(1).contains("[info] "));
        QVERIFY(text.contains("信息 {} %s {0}\r\n"));
        QVERIFY(lines.at(2).contains("[warning] "));
        QVERIFY(lines.at(3).contains("[error] "));
    }

    void debugReachesOnlyTheFile()
    {
        // The console sink writes to the C stdout handle; point it at a file for the check.
        QTemporaryDir dir;
        const QString logPath = dir.filePath(QStringLiteral("update.log"));
        const QString consolePath = dir.filePath(QStringLiteral("console.txt"));
        std::fflush(stdout);
        const int saved = dup(fileno(stdout));
        QVERIFY(std::freopen(consolePath.toLocal8Bit().constData(), "w", stdout));
        Logger::init(logPath.toStdString());
        Logger::debug("only in the file");
        Logger::info("in both");
        Logger::shutdown();
        std::fflush(stdout);
        dup2(saved, fileno(stdout));
        close(saved);

        const QByteArray console = readAll(consolePath);
        QVERIFY(console.contains("in both"));
        QVERIFY(!console.contains("only in the file"));
        const QByteArray file = readAll(logPath);
        QVERIFY(file.contains("only in the file"));
        QVERIFY(file.contains("in both"));
    }

    void rotatesAtFiveMebibytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("update.log"));
        Logger::init(path.toStdString());
        const std::string line(1024, 'x');
        for (int i = 0; i < 5 * 1024 * 4 + 10; ++i) { // about 20 MiB: enough for three rotations
            Logger::debug(line);
        }
        Logger::shutdown();
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("update.1.log"))));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("update.3.log"))));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("update.4.log"))));
        QVERIFY(QFileInfo(path).size() <= qint64(Logger::maxFileSize));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("update.1.log"))).size() <=
                qint64(Logger::maxFileSize));
    }

    void unopenableFileFallsBack()
    {
        QTemporaryDir dir;
        // A folder stands where the log file should be.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("update.log")));
        StreamCapture err(std::cerr);
        Logger::init(dir.filePath(QStringLiteral("update.log")).toStdString());
        QVERIFY(QString::fromStdString(err.text()).startsWith(QStringLiteral("Log initialization failed: ")));
        StreamCapture out(std::cout);
        Logger::info("still reported");
        QCOMPARE(QString::fromStdString(out.text()), QStringLiteral("[INFO] still reported\n"));
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "testlogger.moc"
