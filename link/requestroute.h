#pragma once

// How a tag becomes a request: which of the three request forms carries it, and the factor from
// point index to the address value that form sends. Reads and writes both ask here.
namespace tarvik {

enum class RequestKind {
    Bits,   // one wire byte per point (the boolean requests), the index sent as it is
    Memory, // bytes of the area, the index times the area's scale
    Text,   // whole 256-byte text slots: index and length field both counted in slots
};

enum class Direction { Read, Write };

struct RequestRoute
{
    RequestKind kind;
    int scale; // point index times scale = the request's address value
};

RequestRoute requestRoute(int type, int area, Direction direction);
int requestScale(RequestKind kind, int area);

} // namespace tarvik
