#pragma once

#include "CmdTarvik.h"
#include "peers.h"
#include "testhex.h"

#include <QByteArray>
#include <QList>

// A device on 127.0.0.1 that answers the link check, and every other request with `answer`.
inline PeerScript writeDevice(const QByteArray &answer = hex("02010000"))
{
    return [answer](const QByteArray &request) {
        if (request == hex("0401"))
            return QVector<PeerReply>{{hex("0401")}};
        return answer.isNull() ? QVector<PeerReply>{} : QVector<PeerReply>{{answer}};
    };
}

// The requests the device got between the connect's link check and now, the write's own and
// nothing else. A link check after the write is answered only once every earlier datagram has
// been taken, so nothing is still on its way.
inline QList<QByteArray> requestsSoFar(const UdpPeer &peer, CmdTarvik &link)
{
    if (link.connections() != 0)
        return {"device stopped answering"};
    QList<QByteArray> got = peer.requests();
    return got.mid(1, got.size() - 2);
}
