#pragma once

#include <QWidget>

namespace Ui {
class TCPWidget;
}
class RefreshThrottle;

/// Progress window of the TCP update channel: a frameless, fixed-size window with a title, an
/// overall bar, a per-file line and bar, a coloured status line and a cancel button.
///
/// It holds no update logic; the TCP channel drives it. Every operation that changes a text sets
/// it at once. Statuses, errors and success then pump the event loop, so that the window repaints
/// while the caller keeps the GUI thread busy; progress does so at most about 60 times a second
/// (RefreshThrottle). Callers must tolerate re-entrant delivery of their own signals during those
/// calls. resetProgress() never pumps.
class UpdateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateWidget(QWidget* parent = nullptr);
    ~UpdateWidget() override;

    /// Bars to 0, file line and status line back to their initial texts; does not pump events.
    void resetProgress();
    void showStatus(const QString& text);
    /// A status that the next one soon replaces (a file done): painted at the pace of progress.
    void showPassingStatus(const QString& text);
    void showError(const QString& text);
    /// Sets the overall bar only when `percent` lies in 0..100; the status text always.
    void setOverallProgress(const QString& text, int percent);
    void showSuccess();
    void bringToFront();
    /// Shows the progress of the file that is arriving on both bars and in the file line.
    void setFileProgress(const QString& fileName, qint64 received, qint64 total);
    /// Repaints at once what the last calls set, as statuses do: for the start and end of a file.
    void refreshNow();

signals:
    /// The user clicked the cancel button.
    void sigCancelRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void applyStyles();
    void setStatusText(const QString& text, const char* style);
    void centreOnPrimaryScreen();

    Ui::TCPWidget* m_ui;
    RefreshThrottle* m_refresh = nullptr;
};
