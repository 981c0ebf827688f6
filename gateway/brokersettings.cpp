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
