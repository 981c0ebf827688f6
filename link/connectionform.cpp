#include "connectionform.h"

namespace tarvik {

ConnectionForm connectionForm(const QString &text)
{
    // Two ":"-fields make a UDP link whatever commas they hold; only then do four ","-fields
    // make a serial one.
    const QStringList udp = text.split(QLatin1Char(':'));
    if (udp.size() == 2)
        return {LinkForm::Udp, udp};
    const QStringList serial = text.split(QLatin1Char(','));
    if (serial.size() == 4)
        return {LinkForm::Serial, serial};
    return {};
}

} // namespace tarvik
