#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class Widget;

/// The HTTP update channel as the update model sees it.
///
/// It holds no download logic of its own: the check and the download run in the HTTP dialog
/// (Widget), whose end signal this object forwards as its own sigUpdateResult.
class CHttpUpdate : public QObject
{
    Q_OBJECT
public:
    explicit CHttpUpdate(QObject* parent = nullptr);

    /// Binds the dialog (not owned) and forwards its sigUpdateResult.
    void setWidget(Widget* widget);
    /// 1 when the server offers a new version and at least one file differs, 0 when nothing is to
    /// be installed, -1 when the lists could not be fetched or read (see lastError()). Blocks in
    /// nested event loops while the lists are fetched.
    int checkForUpdate();
    QString lastError() const { return m_lastError; }
    /// Starts the download; the outcome arrives later through sigUpdateResult.
    bool startUpdate();

signals:
    void sigUpdateResult(bool bSuccess);

private:
    QPointer<Widget> m_widget;
    QString m_lastError;
};
