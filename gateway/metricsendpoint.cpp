#include "metricsendpoint.h"

#include "brokersettings.h"
#include "metricsexposition.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

const QByteArray textType = "text/plain; charset=utf-8";
const QByteArray expositionType = "text/plain; version=0.0.4; charset=utf-8";

QByteArray response(const char *status, const QByteArray &type, const QByteArray &body,
                    const QByteArray &moreHeaders = {})
{
    return "HTTP/1.1 " + QByteArray(status) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + moreHeaders +
           "Connection: close\r\n\r\n" + body;
}

// Where the header's blank line ends, or -1 while it has not come. Lines end with CRLF, or LF
// alone from a lenient client.
int headerEnd(const QByteArray &header)
{
    const int crlf = header.indexOf("\r\n\r\n");
    const int lf = header.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace

MetricsEndpoint::MetricsEndpoint(Exposition exposition) : exposition(std::move(exposition))
{
    connect(&server, &QTcpServer::newConnection, this, &MetricsEndpoint::acceptPending);
}

// The connections go first, while everything they may call still stands.
MetricsEndpoint::~MetricsEndpoint()
{
    server.close();
    qDeleteAll(server.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly));
}

QString MetricsEndpoint::listen(const QString &address, int port)
{
    if (!server.listen(QHostAddress(address), quint16(port)))
        return QStringLiteral("metrics: cannot listen on %1: %2")
            .arg(addressText({address, port}), server.errorString());
    boundAddress = address;
    boundPort = port;
    return QString();
}

// The sockets the server made that are still there, closing ones included.
int MetricsEndpoint::openConnections() const
{
    return server.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly).size();
}

void MetricsEndpoint::acceptPending()
{
    while (server.hasPendingConnections()) {
        QTcpSocket *socket = server.nextPendingConnection();
        // The new one is counted already.
        if (openConnections() > connectionLimit) {
            socket->abort();
            delete socket;
            continue;
        }
        serve(socket);
    }
}

void MetricsEndpoint::serve(QTcpSocket *socket)
{
    socket->setReadBufferSize(headerLimit);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(requestMs);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // The header so far lives as long as the connection that reads it.
    auto header = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this,
            [this, socket, header, deadline] { readRequest(socket, *header, deadline); });
}

void MetricsEndpoint::readRequest(QTcpSocket *socket, QByteArray &header, QTimer *deadline)
{
    header += socket->read(headerLimit + 1 - header.size());
    const int end = headerEnd(header);
    if (end < 0 ? header.size() > headerLimit : end > headerLimit) {
        socket->abort();
        return;
    }
    if (end < 0)
        return;
    // One answer, then the connection closes: whatever comes after the header is not read.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->write(answer(header.left(end)));
    socket->disconnectFromHost();
    deadline->start(answerMs);
}

QByteArray MetricsEndpoint::answer(const QByteArray &header) const
{
    const QByteArray requestLine = header.left(header.indexOf('\n')).trimmed();
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1."))
        return response("400 Bad Request", textType, "bad request\n");
    const QByteArray reply = replyTo(parts[0], parts[1]);
    // An answer to HEAD has the head alone.
    return parts[0] == "HEAD" ? reply.left(reply.indexOf("\r\n\r\n") + 4) : reply;
}

QByteArray MetricsEndpoint::replyTo(const QByteArray &method, const QByteArray &target) const
{
    const int query = target.indexOf('?');
    if ((query < 0 ? target : target.left(query)) != "/metrics")
        return response("404 Not Found", textType, "not found: the figures are at /metrics\n");
    if (method != "GET")
        return response("405 Method Not Allowed", textType, "only GET is answered\n",
                        "Allow: GET\r\n");
    return response("200 OK", expositionType, exposition());
}
