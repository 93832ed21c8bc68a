#include "support/scriptedtcpservice.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>

ScriptedTcpService::ScriptedTcpService(Script script) : m_script(std::move(script)) {}

ScriptedTcpService::~ScriptedTcpService()
{
    quit();
    wait(10000);
}

bool ScriptedTcpService::startListening()
{
    start();
    QDeadlineTimer deadline(5000);
    while (!m_listening && !deadline.hasExpired() && isRunning()) {
        QThread::msleep(10);
    }
    return m_listening;
}

void ScriptedTcpService::run()
{
    // Everything lives on this thread and is driven by its own event loop.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        return;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            serve(socket);
        }
    });
    m_port = server.serverPort();
    m_listening = true;
    exec();
}

void ScriptedTcpService::serve(QTcpSocket* socket)
{
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        Frame frame;
        while (takeFrame(buffer, frame) == FrameStatus::Taken) {
            ++m_requests;
            const Answer answer = m_script(frame);
            if (!answer.bytes.isEmpty()) {
                socket->write(answer.bytes);
            }
            if (answer.close) {
                socket->disconnectFromHost();
                return;
            }
        }
        socket->setProperty("buffer", buffer);
    });
}

QByteArray scriptedFrame(qint32 type, const QByteArray& payload)
{
    return encodeFrame(type, payload, 1);
}
