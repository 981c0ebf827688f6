#include "libtarvik.h"

#include "connectionform.h"
#include "tagaddress.h"
#include "tarvikversion.h"

#include <QLocale>
#include <QTime>

namespace {

QDate buildDate()
{
    // Once per process: the stamp cannot change while the library is loaded.
    static const QDate date = LibTarvik::parseBuildDate(QStringLiteral(__DATE__));
    return date;
}

} // namespace

LibTarvik::LibTarvik() = default;

LibTarvik::~LibTarvik() = default;

QString LibTarvik::getDriveName()
{
    return QStringLiteral("Tarvik");
}

QString LibTarvik::getversion_number()
{
    return QStringLiteral("V" TARVIK_VERSION " " TARVIK_RELEASE_STAMP);
}

QDate LibTarvik::parseBuildDate(QString stamp)
{
    // Days 1 to 9 come with a blank in place of the leading zero; "d" takes one or two digits.
    stamp.replace(QLatin1String("  "), QLatin1String(" "));
    return QLocale(QLocale::English).toDate(stamp, QStringLiteral("MMM d yyyy"));
}

QString LibTarvik::DebugCmd(EDebugCmdType cmd)
{
    switch (cmd) {
    case DebugStart:
        link.traceOn = true;
        return QStringLiteral("StartDebug");
    case DebugStop:
        link.traceOn = false;
        return QStringLiteral("StopDebug");
    case DebugBuildInfo: {
        const QTime time = QTime::fromString(QStringLiteral(__TIME__), QStringLiteral("hh:mm:ss"));
        return QStringLiteral("v" TARVIK_VERSION " %1 %2")
            .arg(buildDate().toString(QStringLiteral("yyyy-MM-dd")), 0, QLatin1Char(' '))
            .arg(time.toString(QStringLiteral("hh:mm:ss")), 0, QLatin1Char(' '));
    }
    case DebugDriveName:
        return getDriveName();
    }
    return QString();
}

int LibTarvik::SetConnectPar(QString par)
{
    connectPar = int(par.toUInt());
    return connectPar;
}

int LibTarvik::ConnectDrive(QString conn)
{
    const tarvik::ConnectionForm c = tarvik::connectionForm(conn);
    if (c.form == tarvik::LinkForm::Udp)
        return connectUdp(c.fields.at(0), c.fields.at(1));
    if (c.form == tarvik::LinkForm::Serial)
        return connectSerial(c.fields);
    return CmdTarvik::OpenRefused;
}

// The link connected last carries the requests: the other form's link object goes first, so no
// request can leave over a link to the previous device.
int LibTarvik::connectUdp(const QString &host, const QString &port)
{
    link.releaseSerial();
    baudRate = dataBits = stopBits = 0;
    udpHost = host;
    udpPort = int(port.toUInt());
    return link.UDPConnectDrive(udpHost, udpPort);
}

int LibTarvik::connectSerial(const QStringList &fields)
{
    link.releaseUdp();
    // The UDP device is gone with its socket: traces of the serial link must not name it.
    link.remoteAddress.clear();
    link.remotePort = 0;
    udpPort = 0;
    serialPortName = fields.at(0);
    baudRate = fields.at(1).toInt();
    dataBits = fields.at(2).toInt();
    stopBits = fields.at(3).toInt();
    return link.serialConnectDrive(serialPortName, baudRate, dataBits, stopBits, parity);
}

int LibTarvik::DisConnectDrive()
{
    if (udpPort > 0) {
        if (!link.udpSocket)
            return CmdTarvik::NothingToClose; // released by DestroyFree
        return link.UDPConnectDrive();
    }
    // Whatever numbers opened it (a baud text that is no number opens the port at its old rate),
    // an open port must be closable.
    if (link.serialPort)
        return link.serialDisConnectDrive();
    return CmdTarvik::NothingToClose;
}

int LibTarvik::DestroyFree()
{
    return link.DestroyFree();
}

int LibTarvik::getArea(QString address)
{
    return tarvik::areaCode(address);
}

int LibTarvik::getAddr(QString address)
{
    return tarvik::pointIndex(address);
}

const LibTarvik::TagPoint &LibTarvik::tagPoint(const QString &address)
{
    if (address != lastPoint.address)
        lastPoint = {address, tarvik::areaCode(address), tarvik::pointIndex(address)};
    return lastPoint;
}

int LibTarvik::getBytelen(DataType type, int count, int area)
{
    return tarvik::transferLength(type, count, area);
}

int LibTarvik::getmaximum_length(int area)
{
    return tarvik::maximumLength(area);
}
