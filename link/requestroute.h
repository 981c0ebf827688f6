#pragma once

#include <QByteArray>
#include <QString>

class CmdTarvik;

// How a tag becomes a request: which of the request forms carries it, the factor from point index
// to the address value that form sends, and the builders that send it. Reads and writes both ask
// here; adding a form means one row in the table behind requestForm().
namespace tarvik {

enum class RequestKind {
    Bits,   // one wire byte per point (the boolean requests), the index sent as it is
    Memory, // bytes of the area, the index times the area's scale
    Text,   // whole 256-byte text slots: index and length field both counted in slots
    Count,  // the number of kinds; tables indexed by kind are checked against it
};

enum class Direction { Read, Write };

using ReadBuilder = int (CmdTarvik::*)(int area, int address, int length, QByteArray *out,
                                       QString tag);
using WriteBuilder = int (CmdTarvik::*)(int area, int address, int length, QByteArray data,
                                        QString tag);

struct RequestForm
{
    int fixedScale; // 0 takes the area's own scale
    ReadBuilder read;
    WriteBuilder write;
};

struct RequestRoute
{
    RequestKind kind;
    int scale; // point index times scale = the request's address value
};

const RequestForm &requestForm(RequestKind kind);
RequestRoute requestRoute(int type, int area, Direction direction);
int requestScale(RequestKind kind, int area);

} // namespace tarvik
