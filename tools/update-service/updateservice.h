#pragma once

#include "releasecatalog.h"
#include "serviceoptions.h"

#include <QTcpServer>

/// Accepts clients and gives each its own ServiceSession; all share one release catalog.
class UpdateService : public QObject
{
    Q_OBJECT
public:
    UpdateService(const ServiceOptions& options, const ReleaseCatalog& catalog, QObject* parent = nullptr);

    bool listen(QString& error);
    quint16 port() const { return m_server.serverPort(); }
    const ServiceOptions& options() const { return m_options; }
    const ReleaseCatalog& catalog() const { return m_catalog; }

    /// True while the --drop-after switch still has connections to drop; counts one down.
    bool consumeDrop();

private slots:
    void onNewConnection();

private:
    ServiceOptions m_options;
    const ReleaseCatalog& m_catalog;
    QTcpServer m_server;
    int m_dropsLeft;
    int m_sessionCount = 0;
};
