#include "support/rawtcpresponder.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>

RawTcpResponder::~RawTcpResponder()
{
    quit();
    wait(10000);
}

bool RawTcpResponder::startListening()
{
    start();
    QDeadlineTimer deadline(5000);
    while (!m_listening && !deadline.hasExpired() && isRunning()) {
        QThread::msleep(10);
    }
    return m_listening;
}

void RawTcpResponder::run()
{
    // Everything lives on this thread and is driven by its own event loop.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        return;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            ++m_connections;
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
                socket->setProperty("head", head);
                if (head.contains("\r\n\r\n") && !socket->property("answered").toBool()) {
                    socket->setProperty("answered", true);
                    socket->write(m_answer);
                    socket->disconnectFromHost();
                }
            });
        }
    });
    m_port = server.serverPort();
    m_listening = true;
    exec();
}
