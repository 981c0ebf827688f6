#pragma once

#include "CDriveBaseClass.h"
#include "CmdTarvik.h"

#include <QDate>
#include <QObject>
#include <QStringList>

// The driver a host obtains from getSharedLibrary(): connection string, link lifecycle, name
// and version, and the tag read and write entries.
class LibTarvik : public QObject, public CDriveBaseClass
{
    Q_OBJECT

public:
    LibTarvik();
    ~LibTarvik() override;

    QString getDriveName() override;
    QString getversion_number() override;
    QString DebugCmd(EDebugCmdType cmd) override;
    int DisConnectDrive() override;
    int ConnectDrive(QString conn) override;
    int SetConnectPar(QString par) override;
    CLabelVariable ReadVariable(QString address, DataType type) override;
    CLabelVariable ReadVariable(QString address, DataType type, int count) override;
    CLabelVariable WriteVariable(QString address, DataType type, CLabelVariable record) override;
    CLabelVariable WriteVariable(QString address, DataType type, CLabelVariable record,
                                 int count) override;
    int DestroyFree() override;

    // Tag addresses and sizes.
    int getArea(QString address);
    int getAddr(QString address);
    int getBytelen(DataType type, int count, int area);
    int getmaximum_length(int area);

    CmdTarvik link;
    int connectPar = 1; // holds an unsigned number; nothing in the driver reads it
    QString udpHost;
    QString serialPortName;
    int baudRate = 0;
    int dataBits = 0;
    int stopBits = 0;
    int udpPort = 0;
    QString parity; // handed to the serial open; never filled, so the port keeps its parity

    // The compiler's date stamp ("Jan  4 2024") as a date; invalid when it does not parse.
    static QDate parseBuildDate(QString stamp);

private:
    int connectUdp(const QString &host, const QString &port);
    int connectSerial(const QStringList &fields);
};
