#pragma once

#include <QIcon>
#include <QIconEngine>
#include <QString>

/// An icon that reads its file only when it is first drawn or measured.
///
/// Reading an icon file decodes every image in it (an .ico holds several sizes) and loads the
/// image format plugins; the window icon is set at start-up, but a run that shows no window,
/// such as a console check, never needs its images.
class DeferredIconEngine : public QIconEngine
{
public:
    explicit DeferredIconEngine(const QString& fileName);

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override;
    QIconEngine* clone() const override;
    QString key() const override;

private:
    const QIcon& icon() const;

    QString m_fileName;
    mutable QIcon m_icon;
};
