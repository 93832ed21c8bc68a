// Where paths really lead: "..", absolute paths, links pointing out, dangling links and case.
#include "apply/pathguard.h"
#include "platform/fileplatform.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPathGuard : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void contains_data();
    void contains();
    void isSafeRunFolder_data();
    void isSafeRunFolder();
    void isRelativeInside_data();
    void isRelativeInside();

private:
    /// `path` below the scratch folder, or as it stands when absolute.
    QString scratchPath(const QString& path) const
    {
        return QDir::isAbsolutePath(path) ? path : m_dir.filePath(path);
    }

    QTemporaryDir m_dir;
};

void TestPathGuard::initTestCase()
{
    // inst/ is the installation; outside/ sits beside it, inst2/ shares its name as a prefix.
    QVERIFY(m_dir.isValid());
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("inst/sub/file.txt")), "in"));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("outside/secret.txt")), "out"));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("inst2/x.txt")), "beside"));
    const QString inst = m_dir.filePath(QStringLiteral("inst/"));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("outside")), inst + QStringLiteral("out")));
    QVERIFY(QFile::link(inst + QStringLiteral("sub"), inst + QStringLiteral("in")));
    QVERIFY(QFile::link(inst + QStringLiteral("nowhere"), inst + QStringLiteral("dangling")));
    QVERIFY(QFile::link(inst, inst + QStringLiteral("self")));
}

void TestPathGuard::contains_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("inside");
    const bool caseBlind = FilePlatform::pathCaseSensitivity() == Qt::CaseInsensitive;

    QTest::newRow("the root itself") << "inst" << true;
    QTest::newRow("root with a trailing slash") << "inst/" << true;
    QTest::newRow("existing file") << "inst/sub/file.txt" << true;
    QTest::newRow("file not created yet") << "inst/sub/new/x.txt" << true;
    QTest::newRow(".. that stays inside") << "inst/sub/../sub/file.txt" << true;
    QTest::newRow(".. out to a sibling") << "inst/../outside/secret.txt" << false;
    QTest::newRow(".. out of a path not created yet") << "inst/new/../../outside/x" << false;
    QTest::newRow("sibling sharing the prefix") << "inst2/x.txt" << false;
    QTest::newRow("the parent") << "." << false;
    QTest::newRow("absolute path elsewhere") << "/" << false;
    QTest::newRow("link inside") << "inst/in/file.txt" << true;
    QTest::newRow("link pointing out") << "inst/out/secret.txt" << false;
    QTest::newRow("new file through a link pointing out") << "inst/out/new.txt" << false;
    QTest::newRow("dangling link") << "inst/dangling" << false;
    QTest::newRow("below a dangling link") << "inst/dangling/x.txt" << false;
    QTest::newRow("root in other case") << "INST/sub/file.txt" << caseBlind;
}

void TestPathGuard::contains()
{
    QFETCH(QString, path);
    QFETCH(bool, inside);
    const PathGuard guard(m_dir.filePath(QStringLiteral("inst")));
    QCOMPARE(guard.contains(scratchPath(path)), inside);
}

void TestPathGuard::isSafeRunFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("safe");

    QTest::newRow("folder below") << "inst/temp/" << true;
    QTest::newRow("folder beside") << "outside" << false;
    QTest::newRow("link below pointing out") << "inst/out" << false;
    QTest::newRow("the installation") << "inst/" << false;
    QTest::newRow("the installation through ..") << "inst/sub/.." << false;
    QTest::newRow("the parent") << "." << false;
    QTest::newRow("the parent through ..") << "inst/temp/../.." << false;
    QTest::newRow("the file-system root") << "/" << false;
    QTest::newRow("link to the installation") << "inst/self" << false;
    QTest::newRow("dangling link") << "inst/dangling" << false;
}

void TestPathGuard::isSafeRunFolder()
{
    QFETCH(QString, folder);
    QFETCH(bool, safe);
    QCOMPARE(PathGuard::isSafeRunFolder(m_dir.filePath(QStringLiteral("inst/")), scratchPath(folder)), safe);
}

void TestPathGuard::isRelativeInside_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("inside");

    QTest::newRow("folder") << "temp/" << true;
    QTest::newRow("nested folder") << "run/temp" << true;
    QTest::newRow("name with dots") << "...x/..y" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("..") << ".." << false;
    QTest::newRow(".. in the middle") << "a/../b" << false;
    QTest::newRow(".. with backslashes") << "a\\..\\b" << false;
    QTest::newRow("absolute") << "/tmp/x" << false;
    QTest::newRow("leading backslash") << "\\server\\share" << false;
    QTest::newRow("drive letter") << "C:/x" << false;
    QTest::newRow("drive-relative") << "C:x" << false;
}

void TestPathGuard::isRelativeInside()
{
    QFETCH(QString, value);
    QFETCH(bool, inside);
    QCOMPARE(PathGuard::isRelativeInside(value), inside);
}

QTEST_GUILESS_MAIN(TestPathGuard)
#include "testpathguard.moc"
