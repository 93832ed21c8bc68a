#include "support/productresources.h"
#include "tcp/updatemodel.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QSignalSpy>
#include <QTest>

class TestUpdateModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(loadProductResources()); }
    void nothingToRunBeforeCheck();
    void showsTcpWindowOfController();
    void showWithoutWindows();
};

void TestUpdateModel::nothingToRunBeforeCheck()
{
    CUpdateModel model;
    QSignalSpy results(&model, &CUpdateModel::sigUpdateResult);
    QCOMPARE(model.channel(), int(CUpdateModel::TcpChannel));
    QVERIFY(!model.tcpUpdate());
    QVERIFY(!model.runUpdate());
    QCOMPARE(results.count(), 0);
}

void TestUpdateModel::showsTcpWindowOfController()
{
    Widget dialog;
    UpdateWidget window;
    CUpdateModel model;
    model.setWidgets(&dialog, &window);
    QVERIFY(!model.showUpdateWindow());
    QVERIFY(window.isVisible());
    QVERIFY(!dialog.isVisible());
}

void TestUpdateModel::showWithoutWindows()
{
    CUpdateModel model;
    QVERIFY(!model.showUpdateWindow());
    auto* window = new UpdateWidget;
    model.setWidgets(nullptr, window);
    delete window;
    // The model does not own the windows; one deleted by its owner is simply not shown.
    QVERIFY(!model.showUpdateWindow());
}

QTEST_MAIN(TestUpdateModel)
#include "testupdatemodel.moc"
