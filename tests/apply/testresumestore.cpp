// The store of an unfinished download: which record keeps the temporary folder, which kept file
// may be taken, and what a resumed run leaves in the folder.
#include "apply/resumestore.h"
#include "formats/releasemanifest.h"
#include "support/files.h"
#include "support/httprelease.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray Content("kept content");
const QByteArray ValidRecord("UpdateResume 1\nchannel=http\nversion=2.0\nfolder=r2/\n");

} // namespace

Q_DECLARE_METATYPE(ResumeStore::Binding)

class TestResumeStore : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void recordKeepsTheFolder_data();
    void recordKeepsTheFolder();
    void openDiscardsAnotherRelease_data();
    void openDiscardsAnotherRelease();
    void reuseTakesOnlyFilesThatVerify_data();
    void reuseTakesOnlyFilesThatVerify();
    void retainOnlyLeavesWhatTheRunInstalls();

private:
    QString temp() const { return m_dir->filePath(QStringLiteral("temp/")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestResumeStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestResumeStore::recordKeepsTheFolder_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("asLink");
    QTest::addColumn<bool>("kept");
    QTest::newRow("valid record") << ValidRecord << false << true;
    QTest::newRow("CR LF line ends") << QByteArray(ValidRecord).replace("\n", "\r\n") << false << true;
    QTest::newRow("no record") << QByteArray() << false << false;
    QTest::newRow("other first line")
        << QByteArray("UpdateResume 2\nchannel=http\nversion=2.0\nfolder=\n") << false << false;
    QTest::newRow("a key missing") << QByteArray("UpdateResume 1\nchannel=http\nversion=2.0\n") << false
                                   << false;
    QTest::newRow("larger than a record") << ValidRecord + QByteArray(5000, '#') << false << false;
    QTest::newRow("link to a valid record") << ValidRecord << true << false;
}

void TestResumeStore::recordKeepsTheFolder()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, asLink);
    QFETCH(bool, kept);
    QVERIFY(QDir().mkpath(temp()));
    const QString path = temp() + QLatin1String(ResumeStore::RecordName);
    if (asLink) {
        SKIP_WITHOUT_FILE_LINKS();
        const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeFile(elsewhere, record));
        QVERIFY(QFile::link(elsewhere, path));
    } else if (!record.isNull()) {
        QVERIFY(writeFile(path, record));
    }
    QCOMPARE(ResumeStore(temp()).isKept(), kept);
}

void TestResumeStore::openDiscardsAnotherRelease_data()
{
    QTest::addColumn<ResumeStore::Binding>("binding");
    QTest::addColumn<bool>("resumed");
    QTest::newRow("same release") << ResumeStore::Binding{"http", "2.0", "r2/"} << true;
    QTest::newRow("other version") << ResumeStore::Binding{"http", "2.1", "r2/"} << false;
    QTest::newRow("other folder") << ResumeStore::Binding{"http", "2.0", "r3/"} << false;
    QTest::newRow("other channel") << ResumeStore::Binding{"tcp", "2.0", "r2/"} << false;
    QTest::newRow("line break in the version")
        << ResumeStore::Binding{"http", "2.0\nfolder=r2/", ""} << false;
}

void TestResumeStore::openDiscardsAnotherRelease()
{
    QFETCH(ResumeStore::Binding, binding);
    QFETCH(bool, resumed);
    QVERIFY(writeFile(temp() + QLatin1String(ResumeStore::RecordName), ValidRecord));
    QVERIFY(writeFile(temp() + QStringLiteral("bin/core.dll"), Content));

    ResumeStore store(temp());
    QCOMPARE(store.open(binding), resumed);

    QCOMPARE(QFileInfo::exists(temp() + QStringLiteral("bin/core.dll")), resumed);
    // A binding that cannot be written leaves no record; any other is recorded for the next run.
    const bool recorded = !binding.version.contains(QLatin1Char('\n'));
    QCOMPARE(store.isKept(), recorded);
    QCOMPARE(store.open(binding), recorded);
}

void TestResumeStore::reuseTakesOnlyFilesThatVerify_data()
{
    QTest::addColumn<QString>("md5");
    QTest::addColumn<qint64>("listedSize");
    QTest::addColumn<QByteArray>("listedSha256");
    QTest::addColumn<bool>("asLink");
    QTest::addColumn<bool>("taken");
    const QString md5 = md5Hex(Content);
    const QByteArray sha = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
    const qint64 size = Content.size();
    QTest::newRow("MD5 matches") << md5 << qint64(-1) << QByteArray() << false << true;
    QTest::newRow("MD5 in upper case") << md5.toUpper() << qint64(-1) << QByteArray() << false << true;
    QTest::newRow("MD5 differs") << md5Hex("other") << qint64(-1) << QByteArray() << false << false;
    QTest::newRow("no digest at all") << QString() << qint64(-1) << QByteArray() << false << false;
    QTest::newRow("size and SHA-256 match") << QString() << size << sha << false << true;
    QTest::newRow("listed size differs") << md5 << size + 1 << sha << false << false;
    QTest::newRow("SHA-256 differs") << md5 << size << QByteArray(32, 'x') << false << false;
    QTest::newRow("link to a matching file") << md5 << qint64(-1) << QByteArray() << true << false;
}

void TestResumeStore::reuseTakesOnlyFilesThatVerify()
{
    QFETCH(QString, md5);
    QFETCH(qint64, listedSize);
    QFETCH(QByteArray, listedSha256);
    QFETCH(bool, asLink);
    QFETCH(bool, taken);
    const QString kept = temp() + QStringLiteral("bin/core.dll");
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere.dll"));
    if (asLink) {
        SKIP_WITHOUT_FILE_LINKS();
        QVERIFY(writeFile(elsewhere, Content));
        QVERIFY(QDir().mkpath(temp() + QStringLiteral("bin")));
        QVERIFY(QFile::link(elsewhere, kept));
    } else {
        QVERIFY(writeFile(kept, Content));
    }
    const ReleaseManifestFile listed{QStringLiteral("bin/core.dll"), listedSize, listedSha256};

    const bool result =
        ResumeStore(temp()).reuse(QStringLiteral("bin/core.dll"), md5, listedSize >= 0 ? &listed : nullptr);

    QCOMPARE(result, taken);
    // A file that is not taken is fetched afresh into its place; a link goes, its target stays.
    QCOMPARE(QFileInfo(kept).exists() || QFileInfo(kept).isSymLink(), taken);
    if (asLink) {
        QCOMPARE(readFile(elsewhere), Content);
    }
}

void TestResumeStore::retainOnlyLeavesWhatTheRunInstalls()
{
    SKIP_WITHOUT_FILE_LINKS();
    const QString outside = m_dir->filePath(QStringLiteral("outside.txt"));
    QVERIFY(writeFile(outside, "outside"));
    QVERIFY(writeFile(temp() + QLatin1String(ResumeStore::RecordName), ValidRecord));
    for (const char* path : {"bin/core.dll", "bin/old.dll", "stale/deep/x.txt", "readme.txt"}) {
        QVERIFY(writeFile(temp() + QLatin1String(path), Content));
    }
    QVERIFY(QFile::link(outside, temp() + QStringLiteral("link.txt")));

    ResumeStore(temp()).retainOnly(
        {QStringLiteral("bin/core.dll"), QStringLiteral("readme.txt"), QStringLiteral("link.txt")});

    QCOMPARE(filesBelow(temp()), (QStringList{QLatin1String(ResumeStore::RecordName),
                                              QStringLiteral("bin/core.dll"), QStringLiteral("readme.txt")}));
    QVERIFY(!QFileInfo::exists(temp() + QStringLiteral("stale")));
    QCOMPARE(readFile(outside), QByteArray("outside"));
}

QTEST_GUILESS_MAIN(TestResumeStore)
#include "testresumestore.moc"
