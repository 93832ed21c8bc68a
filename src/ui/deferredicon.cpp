#include "ui/deferredicon.h"

DeferredIconEngine::DeferredIconEngine(const QString& fileName) : m_fileName(fileName) {}

void DeferredIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state)
{
    icon().paint(painter, rect, Qt::AlignCenter, mode, state);
}

QPixmap DeferredIconEngine::pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state)
{
    return icon().pixmap(size, mode, state);
}

QSize DeferredIconEngine::actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state)
{
    return icon().actualSize(size, mode, state);
}

QList<QSize> DeferredIconEngine::availableSizes(QIcon::Mode mode, QIcon::State state) const
{
    return icon().availableSizes(mode, state);
}

QIconEngine* DeferredIconEngine::clone() const
{
    return new DeferredIconEngine(m_fileName);
}

QString DeferredIconEngine::key() const
{
    return QStringLiteral("DeferredIconEngine");
}

const QIcon& DeferredIconEngine::icon() const
{
    if (m_icon.isNull()) {
        m_icon = QIcon(m_fileName);
    }
    return m_icon;
}
