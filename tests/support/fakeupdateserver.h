#pragma once

// An HTTP server on 127.0.0.1 in the test's own event loop, standing in for
// the vendor's update service: each path answers as told (a status and a
// body, silence, or a body that starts and then stalls). Keeps the request
// heads and notices when a client closes its connection.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

class FakeUpdateServer : public QObject {
public:
    enum class Behaviour { Answer, Silent, Stall };
    struct Route {
        int status = 200;
        QByteArray body;
        Behaviour behaviour = Behaviour::Answer;
    };

    FakeUpdateServer();
    ~FakeUpdateServer() override;

    bool listen();
    quint16 port() const;
    QString url(const QString& path) const; // path begins with "/"

    void setRoute(const QString& path, const Route& route) { m_routes.insert(path, route); }
    void answer(const QString& path, const QByteArray& body, int status = 200)
    {
        setRoute(path, Route{status, body, Behaviour::Answer});
    }

    QList<QByteArray> requestHeads() const { return m_heads; }
    // Connections the clients still hold open.
    int openConnections() const { return m_open; }
    // Milliseconds since the server last saw a client close; -1 if never.
    qint64 msSinceLastClose() const { return m_lastClose.isValid() ? m_lastClose.elapsed() : -1; }
    int closedConnections() const { return m_closed; }

private:
    void onConnection();
    void onReadable(QTcpSocket* socket);

    QTcpServer* m_server = nullptr;
    QHash<QString, Route> m_routes;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QList<QByteArray> m_heads;
    int m_open = 0;
    int m_closed = 0;
    QElapsedTimer m_lastClose;
};

} // namespace testsupport
