#include "updateservice.h"

#include "servicesession.h"

#include <QDebug>
#include <QTcpSocket>

UpdateService::UpdateService(const ServiceOptions& options, const ReleaseCatalog& catalog, QObject* parent)
    : QObject(parent), m_options(options), m_catalog(catalog), m_dropsLeft(options.dropTimes)
{
    connect(&m_server, &QTcpServer::newConnection, this, &UpdateService::onNewConnection);
}

bool UpdateService::listen(QString& error)
{
    if (!m_server.listen(m_options.host, m_options.port)) {
        error = m_server.errorString();
        return false;
    }
    qInfo().noquote() << "listening on"
                      << m_options.host.toString() + QLatin1Char(':') + QString::number(port()) << "serving"
                      << m_catalog.entries().size() << "files of version" << m_options.version;
    return true;
}

bool UpdateService::consumeDrop()
{
    if (m_options.dropAfter < 0 || m_dropsLeft <= 0) {
        return false;
    }
    --m_dropsLeft;
    return true;
}

void UpdateService::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        new ServiceSession(socket, this, ++m_sessionCount);
    }
}
