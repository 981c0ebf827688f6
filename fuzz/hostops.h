#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// The operations of the host-sequence target as bytes: one opcode, then its arguments. The
// seed generator writes scripts in this form; the target reads them.
namespace hostops {

enum Op : quint8 {
    ConnectUdp,    // the simulator's UDP endpoint
    ConnectSerial, // the simulator's pseudo-terminal; baud selector
    ConnectOther,  // a connection string that reaches nothing: kind, text
    SetPar,        // text
    Read,          // address, type, count
    ReadOne,       // address, type
    Write,         // address, type, count, record
    Disconnect,
    Destroy,
    Debug, // command (signed)
    Ops
};

// Address kinds: an area name and a 24-bit point; a name and a text; a text alone; a name and
// a run of nines.
enum AddressKind : quint8 { NamePoint, NameText, Text, NameNines };

// Counts below countTableSize pick a value from the table; others read 16 bits.
constexpr int countTableSize = 14;

// The area names an address may start with: every name the driver knows, a few near misses,
// and the empty name. The index wraps around.
QString areaName(quint8 index);

QByteArray text(const QByteArray &bytes);              // length byte and bytes
QByteArray address(const char *area, quint32 point);   // NamePoint
QByteArray count(quint16 value);                       // a plain count
QByteArray shortRecord(const QList<short> &values);    // an Int16 record
QByteArray textRecord(const QList<QByteArray> &texts); // a String record

} // namespace hostops
