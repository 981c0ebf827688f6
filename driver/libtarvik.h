#pragma once

#include "CDriveBaseClass.h"
#include "CmdTarvik.h"
#include "stampclock.h"

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
    // An address's area code and point index (getArea, getAddr); a host reads the same tags
    // over and over, so the last address's are kept.
    struct TagPoint
    {
        QString address;
        int area = 0;
        int index = -1;
    };
    const TagPoint &tagPoint(const QString &address);
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
    QString parity;    // handed to the serial open; never filled, so the port keeps its parity
    StampClock stamps; // the local time records are stamped with

    // Read and write paths.
    CLabelVariable Read_data(int area, int index, DataType type, int count, QString address);
    CLabelVariable Write_data(int area, int index, DataType type, CLabelVariable record, int count,
                              QString address);

    // The codecs under the names hosts know them by, each its type's row of the codec table
    // (codecs.h). Decoding: answer bytes to a payload list of exactly n elements.
    QVariant set_variant_bool(QByteArray data, int n);
    QVariant set_variant_Int8(QByteArray data, int n);
    QVariant set_variant_UInt8(QByteArray data, int n);
    QVariant set_variant_Int16(QByteArray data, int n);
    QVariant set_variant_UInt16(QByteArray data, int n);
    QVariant set_variant_Int32(QByteArray data, int n);
    QVariant set_variant_UInt32(QByteArray data, int n);
    QVariant set_variant_fload(QByteArray data, int n);
    QVariant set_variant_Int64(QByteArray data, int n);
    QVariant set_variant_UInt64(QByteArray data, int n);
    QVariant set_variant_double(QByteArray data, int n);
    QVariant set_variant_string(QByteArray data, int n);

    // Encoding: the first n elements of the record's payload, appended to out. Always 0.
    int Wset_variant_bool(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_Int8(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_UInt8(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_Int16(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_uInt16(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_Int32(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_UInt32(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_float(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_Int64(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_UInt64(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_double(CLabelVariable record, int n, QByteArray *out);
    int Wset_variant_string(CLabelVariable record, int n, QByteArray *out);

    static int builderOutcome(int rc, int fallback);
    static bool addressFits(int area, DataType type, int index);

    // The compiler's date stamp ("Jan  4 2024") as a date; invalid when it does not parse.
    static QDate parseBuildDate(QString stamp);

private:
    TagPoint lastPoint; // as the empty address parses
    int connectUdp(const QString &host, const QString &port);
    int connectSerial(const QStringList &fields);
};
