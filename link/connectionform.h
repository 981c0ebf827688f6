#pragma once

#include <QString>
#include <QStringList>

// The two forms of a connection string: "address:port" opens a UDP link, and
// "name,baud,databits,stopbits" a serial one. The driver and the host program tell them apart by
// this one rule, so the host never checks a string as one form that the driver opens as the
// other.
namespace tarvik {

enum class LinkForm { None, Udp, Serial };

struct ConnectionForm
{
    LinkForm form = LinkForm::None;
    QStringList fields; // the string's fields in that form, as written
};

ConnectionForm connectionForm(const QString &text);

} // namespace tarvik
