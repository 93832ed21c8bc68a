#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class ArrivedDigests;
class Widget;
class UpdateWidget;
class CTCPUpdate;
class CHttpUpdate;

/// Chooses the update channel for a run and runs the check and the download on it.
///
/// The TCP service wins whenever it accepts a connection within 500 ms; otherwise the HTTP
/// channel is used when system.cfg enables it. The channel's end-of-download signal is forwarded
/// as sigUpdateResult.
class CUpdateModel : public QObject
{
    Q_OBJECT
public:
    enum Channel
    {
        TcpChannel = 0,
        HttpChannel = 1
    };

    explicit CUpdateModel(QObject* parent = nullptr);
    ~CUpdateModel() override;

    void setWidgets(Widget* widget, UpdateWidget* updateWidget);

    /// 1: an update is available, 0: none, -1: no channel could be used or the chosen channel
    /// could not finish its check (see lastError() and channelChosen()).
    int checkUpdate();
    /// True when the last check reached a channel (the TCP service answered, or HTTP is enabled).
    bool channelChosen() const { return m_channelChosen; }
    QString lastError() const { return m_lastError; }
    bool showUpdateWindow();
    /// Shows `text` as a failure in the window of the channel last checked (the TCP window when
    /// none was), and lets its cancel button close it.
    void showFailure(const QString& text);
    bool runUpdate();
    /// The version the chosen channel offers (the service's answer or the server's update.ini).
    QString offeredVersion() const;
    /// Why the chosen channel refused the download as not covered by its signed manifest.
    QString releaseRefusal() const;
    /// Why the chosen channel did not start its download for lack of disk space.
    QString diskSpaceRefusal() const;
    /// The digests the chosen channel took of the files it downloaded whole.
    const ArrivedDigests& arrivedDigests() const;
    int channel() const { return m_channel; }
    /// The TCP channel of the last check that chose it; null before.
    CTCPUpdate* tcpUpdate() const { return m_tcpUpdate.get(); }

signals:
    void sigUpdateResult(bool bSuccess);

private slots:
    void quitApplication();

private:
    bool probeTcpService(const QString& host, quint16 port);
    int checkTcpUpdate();
    int checkHttpUpdate();

    int m_channel = TcpChannel;
    bool m_channelChosen = false;
    QString m_lastError;
    QPointer<Widget> m_widget;
    QPointer<UpdateWidget> m_updateWidget;
    std::unique_ptr<CTCPUpdate> m_tcpUpdate;
    QPointer<CHttpUpdate> m_httpUpdate;
};
