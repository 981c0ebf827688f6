#include "brokersettings.h"

#include <QDir>
#include <QRegularExpression>

QString storePathOf(const BrokerSettings &settings)
{
    if (!settings.storePath.isEmpty())
        return settings.storePath;
    // systemd may hand over several state directories, parted by colons: the first is the unit's.
    QString dir = qEnvironmentVariable("STATE_DIRECTORY").split(QLatin1Char(':')).value(0);
    if (dir.isEmpty()) {
        const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
        dir = (xdg.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : xdg) +
              QStringLiteral("/tarvik-gateway");
    }
    // A client id may hold any text; the file's name keeps what a file name safely can.
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString id = settings.clientId;
    id.replace(unsafe, QStringLiteral("_"));
    return dir + QStringLiteral("/history-") + id + QStringLiteral(".sqlite");
}

QVector<BrokerAddress> brokerAddresses(const BrokerSettings &settings, QString *why)
{
    QVector<BrokerAddress> list;
    for (const QString &entry : settings.host.split(QLatin1Char(','))) {
        const QString text = entry.trimmed();
        // An IPv6 address has colons of its own: with a port it is written in brackets.
        static const QRegularExpression form(QStringLiteral(
            "^(?:\\[([0-9A-Fa-f:.]+)\\]|([^\\s:\\[\\]]+)|([0-9A-Fa-f]*:[0-9A-Fa-f:.]+))"
            "(?::([0-9]{1,5}))?$"));
        const QRegularExpressionMatch m = form.match(text);
        const int port = m.captured(4).isEmpty() ? settings.port : m.captured(4).toInt();
        if (!m.hasMatch() || port < 1 || port > 65535 ||
            (!m.captured(3).isEmpty() && !m.captured(4).isEmpty())) {
            if (why)
                *why = QStringLiteral("'%1' is no HOST[:PORT] (a port from 1 to 65535; an IPv6 "
                                      "address with a port in brackets)")
                           .arg(text);
            return {};
        }
        list.append({m.captured(1) + m.captured(2) + m.captured(3), port});
    }
    return list;
}

QString addressText(const BrokerAddress &address)
{
    const QString host = address.host.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + address.host + QLatin1Char(']')
                             : address.host;
    return host + QLatin1Char(':') + QString::number(address.port);
}

QString sessionClientId(const BrokerSettings &settings)
{
    return settings.instance.isEmpty() ? settings.clientId
                                       : settings.clientId + QLatin1Char('-') + settings.instance;
}
