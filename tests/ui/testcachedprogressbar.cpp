#include "ui/cachedprogressbar.h"

#include <QImage>
#include <QTest>

namespace {

/// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
};

/// The largest difference of one colour channel between two pictures of the same size.
int largestDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int largest = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row);
            const QRgb q = y.pixel(column, row);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return largest;
}

/// Pixels darker than mid-grey in the columns from `firstColumn` on.
int darkPixelsFrom(const QImage& image, int firstColumn)
{
    int dark = 0;
    for (int row = 0; row < image.height(); ++row) {
        for (int column = firstColumn; column < image.width(); ++column) {
            dark += qGray(image.pixel(column, row)) < 128 ? 1 : 0;
        }
    }
    return dark;
}

/// Antialiased edges drawn into a transparent picture and then copied round differently.
constexpr int EdgeRounding = 2;

void prepare(QProgressBar& bar, const QString& styleSheet, int value)
{
    bar.resize(320, 26);
    bar.setStyleSheet(styleSheet);
    bar.setValue(value);
}

} // namespace

class TestCachedProgressBar : public QObject
{
    Q_OBJECT
private slots:
    void pictureLooksAsPainted_data();
    void pictureLooksAsPainted();
    void styleChangeDropsPictures();
    void returnToBasePaintedValueRepaints();
    void centredTextReadsWholeBesideTheBar();
};

void TestCachedProgressBar::pictureLooksAsPainted_data()
{
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<int>("value");

    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("part") << QString() << 37;
    QTest::newRow("full") << QString() << 100;
    QTest::newRow("centred text") << QStringLiteral("QProgressBar { text-align: center; }") << 66;
    QTest::newRow("white text") << QStringLiteral("color: rgb(255, 255, 255);") << 50;
}

void TestCachedProgressBar::pictureLooksAsPainted()
{
    QFETCH(QString, styleSheet);
    QFETCH(int, value);

    QProgressBar plain;
    CachedProgressBar cached;
    plain.setPalette(cached.palette());
    prepare(plain, styleSheet, value);
    prepare(cached, styleSheet, value);
    const QImage expected = plain.grab().toImage();
    // Painted, then drawn into a picture, then copied from it.
    for (int paint = 0; paint < 3; ++paint) {
        const QImage image = cached.grab().toImage();
        QCOMPARE(image.size(), expected.size());
        QVERIFY2(largestDifference(image, expected) <= EdgeRounding, qPrintable(QString::number(paint)));
    }
}

void TestCachedProgressBar::styleChangeDropsPictures()
{
    CachedProgressBar cached;
    prepare(cached, QString(), 50);
    cached.grab();
    cached.grab();
    // A border leaves the palette, the font and the style option as they were.
    const QString bordered = QStringLiteral("QProgressBar { border: 3px solid rgb(0, 128, 0); }");
    cached.setStyleSheet(bordered);
    QProgressBar plain;
    prepare(plain, bordered, 50);
    QVERIFY(largestDifference(cached.grab().toImage(), plain.grab().toImage()) <= EdgeRounding);
}

void TestCachedProgressBar::returnToBasePaintedValueRepaints()
{
    CachedProgressBar bar;
    prepare(bar, QString(), 0);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    bar.setValue(40);
    bar.setValue(60);
    // A look seen before: copied from a picture, which the base bar does not count as its paint.
    bar.setValue(40);
    QCoreApplication::processEvents();
    PaintCounter counter(&bar);
    // The base bar takes 60 for the value it shows and would not repaint.
    bar.setValue(60);
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 1);
}

void TestCachedProgressBar::centredTextReadsWholeBesideTheBar()
{
    const QString centred = QStringLiteral("QProgressBar { text-align: center; }");
    CachedProgressBar bar;
    bar.setFormat(QStringLiteral("33%"));
    prepare(bar, centred, 0);
    // Left of the text (a third of the width), so every pixel of the text lies on the empty groove.
    const int besideTheBar = bar.width() * 2 / 5;
    const int textAlone = darkPixelsFrom(bar.grab().toImage(), besideTheBar);
    QVERIFY(textAlone > 0);
    bar.setValue(33);
    QCOMPARE(darkPixelsFrom(bar.grab().toImage(), besideTheBar), textAlone);
}

QTEST_MAIN(TestCachedProgressBar)
#include "testcachedprogressbar.moc"
