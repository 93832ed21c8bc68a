#pragma once

#include <QFont>
#include <QImage>
#include <QProgressBar>
#include <QStyleOptionProgressBar>
#include <QVector>

/// A progress bar that keeps the pictures of looks it shows again and again.
///
/// The style draws a bar with antialiased rounded outlines and shaped text, which costs far more
/// than copying a picture, and a window that refreshes at the start and the end of every file of
/// a long download shows the same few looks (0, 100, the overall percentage) over and over. A look
/// is everything the style draws from: the style option, the font and the pixel ratio. The first
/// time a look is painted the bar paints as any progress bar; when the same look comes back, the
/// bar draws it once with its style into a picture and from then on copies that picture. Any change
/// of style, palette or font drops every picture. Busy bars (an empty range) animate and are
/// always painted afresh. Its text has one colour over the bar and beside it (see the constructor).
class CachedProgressBar : public QProgressBar
{
    Q_OBJECT
public:
    explicit CachedProgressBar(QWidget* parent = nullptr);

    /// How many looks a bar remembers (and at most keeps pictures of).
    static constexpr int RememberedLooks = 4;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Look
    {
        QStyleOptionProgressBar option;
        QFont font;
        qreal pixelRatio = 1.0;
        QImage picture; ///< null until the look has been painted twice
    };

    void onValueChanged(int value);
    Look currentLook() const;
    static bool sameLook(const Look& a, const Look& b);
    /// The remembered entry for `look`, moved to the front; null when the look is new.
    Look* recall(const Look& look);
    void remember(Look look);
    void drawPicture(Look& look);

    QVector<Look> m_looks; ///< most recently painted first
    int m_paintedValue = -1;
};
