#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;
class QTimer;

// GET /metrics over HTTP for a scraper, on the gateway's main thread. Qt's own QTcpServer on the
// main thread's event loop: no new dependency (Qt Network is linked already), no thread of its
// own, and the figures are read on the thread that owns them, without locks or copies kept
// up to date for another thread. It is strict and bounded whatever a client sends: one request
// per connection, its header at most 8 KiB and complete within 5 s, at most 16 connections at
// once, and every answer closes the connection.
class MetricsEndpoint : public QObject
{
    Q_OBJECT

public:
    // The exposition text, made when a request asks for it.
    using Exposition = std::function<QByteArray()>;

    explicit MetricsEndpoint(Exposition exposition);
    ~MetricsEndpoint() override;

    // Listens on the address and port; "" when it does, else why not.
    QString listen(const QString &address, int port);
    QString address() const { return boundAddress; }
    int port() const { return boundPort; }

    static constexpr int headerLimit = 8 * 1024;
    static constexpr int requestMs = 5000;
    static constexpr int connectionLimit = 16;
    // A client that does not take its answer is let go after this long.
    static constexpr int answerMs = 30000;

private:
    void acceptPending();
    int openConnections() const;
    void serve(QTcpSocket *socket);
    void readRequest(QTcpSocket *socket, QByteArray &header, QTimer *deadline);
    QByteArray answer(const QByteArray &header) const;
    QByteArray replyTo(const QByteArray &method, const QByteArray &target) const;

    Exposition exposition;
    QTcpServer server;
    QString boundAddress;
    int boundPort = 0;
};
