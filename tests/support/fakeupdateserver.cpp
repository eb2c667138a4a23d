#include "support/fakeupdateserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

namespace {
// What a stalled download promises beyond the bytes it sends.
constexpr qint64 kStallPromise = 64 * 1024 * 1024;
}

FakeUpdateServer::FakeUpdateServer()
    : m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeUpdateServer::onConnection);
}

FakeUpdateServer::~FakeUpdateServer() = default;

bool FakeUpdateServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakeUpdateServer::port() const
{
    return m_server->serverPort();
}

QString FakeUpdateServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void FakeUpdateServer::onConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        ++m_open;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_open;
            ++m_closed;
            m_lastClose.start();
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeUpdateServer::onReadable(QTcpSocket* socket)
{
    QByteArray& buffer = m_pending[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QByteArray head = buffer.left(end);
    buffer.remove(0, end + 4);
    m_heads << head;
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine[1]) : QString();
    const Route route = m_routes.value(path, Route{404, "not found", Behaviour::Answer});
    if (route.behaviour == Behaviour::Silent)
        return;
    const qint64 length = route.body.size() + (route.behaviour == Behaviour::Stall ? kStallPromise : 0);
    QByteArray reply = "HTTP/1.1 " + QByteArray::number(route.status) + (route.status == 200 ? " OK" : route.status == 404 ? " Not Found" : " Error") + "\r\n"
                       "Content-Type: application/octet-stream\r\n"
                       "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (route.behaviour == Behaviour::Answer)
        reply += "Connection: close\r\n";
    reply += "\r\n" + route.body;
    socket->write(reply);
    if (route.behaviour == Behaviour::Answer)
        socket->disconnectFromHost();
}

} // namespace testsupport
