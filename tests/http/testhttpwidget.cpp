#include "formats/md5list.h"
#include "http/httpupdate.h"
#include "support/files.h"
#include "support/httprelease.h"
#include "support/httptestsite.h"
#include "support/scratchtestmain.h"
#include "ui/widget.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

const QMap<QString, QByteArray> ReleaseFiles{
    {QStringLiteral("app.bin"), QByteArray("new program")},
    {QStringLiteral("data/table.txt"), QByteArray("new table\n")},
    {QStringLiteral("same.txt"), QByteArray("unchanged\n")},
};

QString labelText(const Widget& widget, const char* name)
{
    return widget.findChild<QLabel*>(QLatin1String(name))->text();
}

QProgressBar* bar(const Widget& widget, const char* name)
{
    return widget.findChild<QProgressBar*>(QLatin1String(name));
}

} // namespace

class TestHttpWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void versionStep_data();
    void versionStep();
    void unreadableManifest_data();
    void unreadableManifest();
    void equalVersionsSkipTheList();
    void checkLoadsNoBearerPlugins();
    void listStepGeneratesMissingInstalledList();
    void listStepComparesDigestsAndPaths_data();
    void listStepComparesDigestsAndPaths();
    void listNotFetched();
    void fetchFileFailures();

    void downloadsChangedFiles();
    void followsRedirectedFolder();
    void emptyChangeSetCompletesAtOnce();
    void downloadFailures_data();
    void downloadFailures();
    void shortWriteFailsTheUpdate();
    void traversalKeyRefusedBeforeAnyDownload_data();
    void traversalKeyRefusedBeforeAnyDownload();

private:
    void serveRelease(const QString& folder, const QString& version, const QMap<QString, QByteArray>& files);
    void installFiles(const QMap<QString, QByteArray>& files, const QString& version);
    void serveList(const QString& folder, const QByteArray& list);
    QString install(const QString& relative) const { return m_site.installFolder() + relative; }

    HttpTestSite m_site;
};

void TestHttpWidget::initTestCase()
{
    QVERIFY2(m_site.start(), qPrintable(m_site.lastError()));
}

void TestHttpWidget::init()
{
    m_site.reset();
}

void TestHttpWidget::serveRelease(const QString& folder, const QString& version,
                                  const QMap<QString, QByteArray>& files)
{
    QVERIFY(writeHttpRelease(m_site.servedRoot(), folder, version, files));
}

void TestHttpWidget::serveList(const QString& folder, const QByteArray& list)
{
    QVERIFY(writeFile(m_site.servedRoot() + folder + QStringLiteral("/md5.txt"), list));
}

void TestHttpWidget::installFiles(const QMap<QString, QByteArray>& files, const QString& version)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(writeFile(install(it.key()), it.value()));
    }
    QVERIFY(writeFile(install(QStringLiteral("md5.txt")), md5ListText(files)));
    if (!version.isNull()) {
        QVERIFY(writeFile(install(QStringLiteral("update/update.ini")),
                          manifestText(QStringLiteral("r"), version)));
    }
}

void TestHttpWidget::versionStep_data()
{
    QTest::addColumn<QString>("installedVersion");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<bool>("stagedManifestKept");

    QTest::newRow("no installed manifest") << QString() << 1 << "本地update文件不存在，准备更新" << true;
    QTest::newRow("different version") << "1.0" << 1 << "update文件版本不同，需要更新" << true;
    QTest::newRow("version differs in case") << "2.0A" << 1 << "update文件版本不同，需要更新" << true;
    QTest::newRow("same version") << "2.0a" << 0 << "update文件版本相同，不需要更新" << false;
}

void TestHttpWidget::versionStep()
{
    QFETCH(QString, installedVersion);
    QFETCH(int, result);
    QFETCH(QString, detail);
    QFETCH(bool, stagedManifestKept);
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0a"), ReleaseFiles);
    if (!installedVersion.isNull()) {
        installFiles({}, installedVersion);
    }

    Widget widget;
    QCOMPARE(widget.checkUpdateVersion(), result);
    QCOMPARE(widget.statusText(), QStringLiteral("准备开始更新"));
    QCOMPARE(widget.detailText(), detail);
    QCOMPARE(labelText(widget, "label_updatefile"), detail);
    QCOMPARE(QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))), stagedManifestKept);
}

void TestHttpWidget::unreadableManifest_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("detail");
    const QString missing = QStringLiteral("服务端版本解析失败");
    QTest::newRow("no folder") << QByteArray("[Version]\nVersion=2.0\n") << missing;
    QTest::newRow("no version") << QByteArray("[Version]\nFolder=r2\n") << missing;
    QTest::newRow("not an ini") << QByteArray("\x00\x01garbage", 9)
                                << QStringLiteral("服务端update.ini不是文本，拒绝读取");
    QTest::newRow("typed value") << QByteArray("[Version]\nFolder=r2\nVersion=@ByteArray(2.0)\n")
                                 << QStringLiteral("服务端update.ini含有类型化的值(@Variant等)，拒绝读取");
}

void TestHttpWidget::unreadableManifest()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, detail);
    QVERIFY(writeFile(m_site.servedRoot() + QStringLiteral("update.ini"), manifest));
    Widget widget;
    QCOMPARE(widget.checkUpdateVersion(), 3);
    QCOMPARE(widget.statusText(), QStringLiteral("更新失败"));
    QCOMPARE(widget.detailText(), detail);
    QCOMPARE(labelText(widget, "label_update"), QStringLiteral("更新失败"));
}

void TestHttpWidget::equalVersionsSkipTheList()
{
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    installFiles({{QStringLiteral("app.bin"), "old program, differs on disk"}}, QStringLiteral("2.0"));
    Widget widget;
    CHttpUpdate channel;
    channel.setWidget(&widget);
    QVERIFY(!channel.checkForUpdate());
    QVERIFY(!m_site.requestLog().contains("md5.txt"));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
}

void TestHttpWidget::checkLoadsNoBearerPlugins()
{
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    const QStringList pluginFolders = QCoreApplication::libraryPaths();
    Widget widget;
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(QCoreApplication::libraryPaths(), pluginFolders);
    // Where the system lists what a process has mapped, no bearer plugin may be among it.
    QFile mappings(QStringLiteral("/proc/self/maps"));
    if (mappings.open(QIODevice::ReadOnly)) {
        QVERIFY(!mappings.readAll().contains("/bearer/"));
    }
}

void TestHttpWidget::listStepGeneratesMissingInstalledList()
{
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    QVERIFY(writeFile(install(QStringLiteral("same.txt")), ReleaseFiles.value(QStringLiteral("same.txt"))));
    QVERIFY(writeFile(install(QStringLiteral("app.bin")), "old program"));

    Widget widget;
    CHttpUpdate channel;
    channel.setWidget(&widget);
    QVERIFY(channel.checkForUpdate());
    QCOMPARE(widget.detailText(), QStringLiteral("MD5比对"));
    QCOMPARE(bar(widget, "progressBar_updatefile")->value(), 100);
    QVERIFY(QFileInfo(install(QStringLiteral("update/md5Tmp.txt"))).isFile());

    // The generated list covers what is installed and stays.
    const Md5Map generated = loadMd5List(install(QStringLiteral("md5.txt")));
    QCOMPARE(generated.value(QStringLiteral("/same.txt")),
             md5Hex(ReleaseFiles.value(QStringLiteral("same.txt"))));
    QVERIFY(generated.contains(QStringLiteral("/update/updateTmp.ini")));
    QCOMPARE(widget.changedFiles().keys(),
             (QStringList{QStringLiteral("/app.bin"), QStringLiteral("/data/table.txt")}));
    QCOMPARE(widget.changedFiles().value(QStringLiteral("/app.bin")),
             md5Hex(ReleaseFiles.value(QStringLiteral("app.bin"))));
}

void TestHttpWidget::listStepComparesDigestsAndPaths_data()
{
    QTest::addColumn<QByteArray>("serverList");
    QTest::addColumn<QStringList>("changed");

    const QByteArray same = md5Hex("unchanged\n").toLatin1();
    QTest::newRow("nothing differs") << QByteArray(same + "\t/same.txt\n") << QStringList();
    QTest::newRow("upper-case digest")
        << QByteArray(same.toUpper() + "\t/same.txt\n") << QStringList{"/same.txt"};
    QTest::newRow("case-different path") << QByteArray(same + "\t/Same.txt\n") << QStringList{"/Same.txt"};
    QTest::newRow("line without tab, three fields")
        << QByteArray(same + " /x.txt\n" + "abc\t/new.txt\textra\n") << QStringList{"/new.txt"};
    QTest::newRow("repeated path, last wins")
        << QByteArray("abc\t/same.txt\n" + same + "\t/same.txt\n") << QStringList();
}

void TestHttpWidget::listStepComparesDigestsAndPaths()
{
    QFETCH(QByteArray, serverList);
    QFETCH(QStringList, changed);
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), {});
    serveList(QStringLiteral("r2"), serverList);
    installFiles({{QStringLiteral("same.txt"), "unchanged\n"}}, QStringLiteral("1.0"));

    Widget widget;
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), changed.isEmpty() ? 0 : 1);
    QCOMPARE(widget.changedFiles().keys(), changed);
}

void TestHttpWidget::listNotFetched()
{
    QVERIFY(writeFile(m_site.servedRoot() + QStringLiteral("update.ini"),
                      manifestText(QStringLiteral("absent"), QStringLiteral("2.0"))));
    Widget widget;
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 2);
    QCOMPARE(widget.statusText(), QStringLiteral("更新失败"));
    QCOMPARE(widget.detailText(), QStringLiteral("下载md5.txt失败"));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
}

void TestHttpWidget::fetchFileFailures()
{
    Widget widget;
    const QString missing = m_site.baseUrl() + QStringLiteral("missing.txt");
    const QString target = install(QStringLiteral("fetched/missing.txt"));
    QVERIFY(!widget.fetchFile(missing, target, nullptr));
    QVERIFY(widget.detailText().startsWith(QStringLiteral("下载错误：")));
    QVERIFY(widget.detailText().endsWith(QStringLiteral("（file：") + target + QStringLiteral("）")));
    QVERIFY(!QFileInfo::exists(target));

    // A stalled transfer ends with the transfer timeout (after the retries), which the network
    // library reports as a cancellation and the download as the timeout it is.
    QVERIFY(writeFile(m_site.servedRoot() + QStringLiteral("stall/big.bin"), QByteArray(4096, 's')));
    widget.setTransferTimeout(400);
    const QString stalled = m_site.baseUrl() + QStringLiteral("stall/big.bin");
    QVERIFY(!widget.fetchFile(stalled, target, nullptr));
    QCOMPARE(widget.detailText(), QStringLiteral("下载超时（120秒）：") + stalled);
    QVERIFY(!QFileInfo::exists(target));

    QVERIFY(writeFile(install(QStringLiteral("plainfile")), "x"));
    QVERIFY(!widget.fetchFile(missing, install(QStringLiteral("plainfile/sub/a.txt")), nullptr));
    QVERIFY(widget.detailText().startsWith(QStringLiteral("无法创建目录:")));
    QVERIFY(QDir().mkpath(install(QStringLiteral("afolder"))));
    QVERIFY(!widget.fetchFile(missing, install(QStringLiteral("afolder")), nullptr));
    QCOMPARE(widget.detailText(), QStringLiteral("无法打开文件:") + install(QStringLiteral("afolder")));
}

void TestHttpWidget::downloadsChangedFiles()
{
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    installFiles({{QStringLiteral("same.txt"), "unchanged\n"}}, QStringLiteral("1.0"));
    Widget widget;
    CHttpUpdate channel;
    channel.setWidget(&widget);
    QSignalSpy result(&channel, &CHttpUpdate::sigUpdateResult);
    QVERIFY(channel.checkForUpdate());
    QVERIFY(channel.startUpdate());
    QVERIFY(widget.isUpdating());

    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 20000);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(readFile(install(QStringLiteral("temp//app.bin"))),
             ReleaseFiles.value(QStringLiteral("app.bin")));
    QCOMPARE(readFile(install(QStringLiteral("temp/data/table.txt"))),
             ReleaseFiles.value(QStringLiteral("data/table.txt")));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp/same.txt"))));
    QCOMPARE(labelText(widget, "label_update"), QStringLiteral("更新完成!"));
    // 100 steps per file.
    QCOMPARE(bar(widget, "progressBar_update")->maximum(), 200);
    QCOMPARE(bar(widget, "progressBar_update")->value(), 200);
    QCOMPARE(bar(widget, "progressBar_updatefile")->value(), 100);
    QVERIFY(!widget.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"))->isEnabled());
    QVERIFY(!widget.isUpdating());
    // The staged lists stay for the apply step.
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
    // Two slashes between folder and key, as the addresses are joined.
    QVERIFY(m_site.requestLog().contains("GET /r2//app.bin "));
}

void TestHttpWidget::followsRedirectedFolder()
{
    serveRelease(QStringLiteral("release"), QStringLiteral("2.0"), ReleaseFiles);
    QVERIFY(writeFile(m_site.servedRoot() + QStringLiteral("update.ini"),
                      manifestText(QStringLiteral("moved"), QStringLiteral("2.0"))));
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 1);
    widget.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 20000);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(readFile(install(QStringLiteral("temp/app.bin"))),
             ReleaseFiles.value(QStringLiteral("app.bin")));
}

void TestHttpWidget::emptyChangeSetCompletesAtOnce()
{
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    widget.startDownload();
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(labelText(widget, "label_update"), QStringLiteral("更新完成!"));
    QCOMPARE(bar(widget, "progressBar_update")->maximum(), 0);
    QCOMPARE(bar(widget, "progressBar_updatefile")->value(), 100);
    QVERIFY(!widget.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"))->isEnabled());
    QVERIFY(!widget.isUpdating());
}

void TestHttpWidget::downloadFailures_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("detailStart");

    const QByteArray good = md5Hex("new program").toLatin1();
    QTest::newRow("wrong digest") << QByteArray(md5Hex("something else").toLatin1() + "\t/app.bin\n")
                                  << "文件校验失败:" + install(QStringLiteral("temp//app.bin"));
    QTest::newRow("not found") << QByteArray(good + "\t/absent.bin\n") << "下载文件 \"absent.bin\" 时出错: ";
    QTest::newRow("key naming a folder")
        << QByteArray(good + "\t/data/\n") << "更新文件路径不安全，已拒绝:/data/";
}

void TestHttpWidget::downloadFailures()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, detailStart);
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    // The first file downloads fine; the failing one comes after it.
    serveList(QStringLiteral("r2"), md5Hex("new table\n").toLatin1() + "\t/0first.txt\n" + list);
    QVERIFY(writeFile(m_site.servedRoot() + QStringLiteral("r2/0first.txt"), "new table\n"));
    installFiles({}, QStringLiteral("1.0"));

    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 1);
    widget.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 20000);
    QCOMPARE(result.at(0).at(0).toBool(), false);
    QVERIFY2(widget.detailText().startsWith(detailStart), qPrintable(widget.detailText()));
    QCOMPARE(labelText(widget, "label_update"), QStringLiteral("更新失败"));
    QCOMPARE(labelText(widget, "label_updatefile"), widget.detailText());
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp/app.bin"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp/absent.bin"))));
    // The staged lists are gone, the installed manifest stays.
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("update/md5Tmp.txt"))));
    QVERIFY(QFileInfo::exists(install(QStringLiteral("update/update.ini"))));
    QTest::qWait(100);
    QCOMPARE(result.count(), 1);
}

void TestHttpWidget::shortWriteFailsTheUpdate()
{
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    installFiles({}, QStringLiteral("1.0"));
    QVERIFY(QDir().mkpath(install(QStringLiteral("temp"))));
    // Every write to /dev/full fails as on a full disk.
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), install(QStringLiteral("temp/app.bin"))));
    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 1);
    widget.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 20000);
    QCOMPARE(result.at(0).at(0).toBool(), false);
    QCOMPARE(widget.detailText(), QStringLiteral("无法保存文件:") + install(QStringLiteral("temp//app.bin")));
}

void TestHttpWidget::traversalKeyRefusedBeforeAnyDownload_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("parent segments") << "/../../evil.txt";
    QTest::newRow("parent into installation") << "/../update.exe";
    QTest::newRow("backslashes") << "/..\\..\\evil.txt";
    QTest::newRow("drive letter") << "C:/Windows/evil.dll";
    QTest::newRow("empty path") << "";
}

void TestHttpWidget::traversalKeyRefusedBeforeAnyDownload()
{
    QFETCH(QString, key);
    serveRelease(QStringLiteral("r2"), QStringLiteral("2.0"), ReleaseFiles);
    serveList(QStringLiteral("r2"),
              md5ListText(ReleaseFiles) + md5Hex("evil").toLatin1() + '\t' + key.toUtf8() + '\n');
    installFiles({}, QStringLiteral("1.0"));

    Widget widget;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    QCOMPARE(widget.checkUpdateVersion(), 1);
    QCOMPARE(widget.compareMd5List(), 1);
    widget.startDownload();
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), false);
    QCOMPARE(widget.detailText(), QStringLiteral("更新文件路径不安全，已拒绝:") + key);
    QTest::qWait(100);
    QVERIFY(!m_site.requestLog().contains("/r2//"));
    QVERIFY(!QFileInfo::exists(install(QStringLiteral("temp"))));
}

UPDATER_SCRATCH_TEST_MAIN(TestHttpWidget)
#include "testhttpwidget.moc"
