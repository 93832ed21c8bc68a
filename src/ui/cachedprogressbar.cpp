#include "ui/cachedprogressbar.h"

#include <QEvent>
#include <QPainter>
#include <QStylePainter>

namespace {

constexpr double MetresPerInch = 0.0254;

} // namespace

CachedProgressBar::CachedProgressBar(QWidget* parent) : QProgressBar(parent)
{
    // A centred percentage is laid out in a rectangle around the text, and some styles (Fusion)
    // split its colours at the bar's end measured from that rectangle's left edge, not the
    // bar's: "33%" at a third then shows its first digit in the highlighted colour on the empty
    // groove, white on white. With one text colour on both sides the text reads whole.
    QPalette colours = palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::HighlightedText, colours.color(group, QPalette::Text));
    }
    setPalette(colours);
    connect(this, &QProgressBar::valueChanged, this, &CachedProgressBar::onValueChanged);
}

void CachedProgressBar::paintEvent(QPaintEvent* event)
{
    m_paintedValue = value();
    if (minimum() == maximum()) {
        QProgressBar::paintEvent(event);
        return;
    }
    const Look look = currentLook();
    Look* known = recall(look);
    if (!known) {
        // The base paint also keeps the base bar's own count of what it painted up to date.
        QProgressBar::paintEvent(event);
        remember(look);
        return;
    }
    if (known->picture.isNull()) {
        drawPicture(*known);
    }
    QPainter painter(this);
    painter.drawImage(0, 0, known->picture);
}

void CachedProgressBar::changeEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::StyleChange:
    case QEvent::PaletteChange:
    case QEvent::FontChange:
        m_looks.clear();
        break;
    default:
        break;
    }
    QProgressBar::changeEvent(event);
}

void CachedProgressBar::onValueChanged(int value)
{
    // The base bar repaints at once after this signal when it counts the change as visible. It
    // knows only the values of its own paints, not those of pictures copied since, so a change
    // back to a value it painted last would stay hidden: schedule a paint, which merges with the
    // base bar's immediate one when that follows. A paint too many for a change too small to see
    // costs a copied picture; one too few leaves a wrong value on the screen.
    if (value != m_paintedValue) {
        update();
    }
}

CachedProgressBar::Look CachedProgressBar::currentLook() const
{
    Look look;
    initStyleOption(&look.option);
    look.font = font();
    look.pixelRatio = devicePixelRatioF();
    return look;
}

bool CachedProgressBar::sameLook(const Look& a, const Look& b)
{
    const QStyleOptionProgressBar& x = a.option;
    const QStyleOptionProgressBar& y = b.option;
    return x.rect == y.rect && x.state == y.state && x.direction == y.direction && x.palette == y.palette &&
           x.minimum == y.minimum && x.maximum == y.maximum && x.progress == y.progress && x.text == y.text &&
           x.textAlignment == y.textAlignment && x.textVisible == y.textVisible &&
           x.orientation == y.orientation && x.invertedAppearance == y.invertedAppearance &&
           x.bottomToTop == y.bottomToTop && a.font == b.font && qFuzzyCompare(a.pixelRatio, b.pixelRatio);
}

CachedProgressBar::Look* CachedProgressBar::recall(const Look& look)
{
    for (int i = 0; i < m_looks.size(); ++i) {
        if (sameLook(m_looks.at(i), look)) {
            m_looks.move(i, 0);
            return &m_looks.first();
        }
    }
    return nullptr;
}

void CachedProgressBar::remember(Look look)
{
    m_looks.prepend(std::move(look));
    if (m_looks.size() > RememberedLooks) {
        m_looks.removeLast();
    }
}

void CachedProgressBar::drawPicture(Look& look)
{
    QImage picture(look.option.rect.size() * look.pixelRatio, QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(look.pixelRatio);
    // Text takes its pixel size from the device's resolution: the picture's must be the bar's.
    picture.setDotsPerMeterX(qRound(logicalDpiX() / MetresPerInch));
    picture.setDotsPerMeterY(qRound(logicalDpiY() / MetresPerInch));
    picture.fill(Qt::transparent);
    // The same drawing as the base bar's paint, with the painter set up from the bar as for a paint.
    QStylePainter painter(&picture, this);
    painter.drawControl(QStyle::CE_ProgressBar, look.option);
    painter.end();
    look.picture = picture;
}
