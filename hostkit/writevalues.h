#pragma once

#include <QStringList>
#include <QVariant>

// Values in words as the payload of a write of the type, each checked against the type's range;
// the reason one does not fit, or "". A type the driver does not transfer gets no payload. The
// host's write command and the gateway's write requests both check their values here.
QString writePayload(int type, const QStringList &texts, QVariant *payload);
