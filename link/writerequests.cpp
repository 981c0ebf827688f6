#include "CmdTarvik.h"

#include "frame.h"
#include "tagaddress.h"

namespace {

// Protocol lines of the write side. The boolean write names its tag after "Area=".
struct WriteTrace
{
    const char *command;
    const char *response;
};

constexpr WriteTrace tagTrace = {"写命令 %1:%2 tag=%3  len = %4 msg : %5",
                                 "响应 %1:%2 tag=%3  len = %4 msg : %5"};
constexpr WriteTrace areaTrace = {"写命令 %1:%2 Area=%3  len = %4 msg : %5",
                                  "响应 %1:%2 Area=%3  len = %4 msg : %5"};

constexpr int writeBudgetMs = 50;

// Sends one write request and waits for any answer: the controller's answer to a write carries
// nothing to check, so its arrival is the success. Both lines are traced after the exchange.
int exchangeWrite(CmdTarvik &link, const QByteArray &request, int length, const QString &tag,
                  const WriteTrace &trace)
{
    if (link.Connection_status() == -3)
        return -3;
    QByteArray answer;
    // No expected length: a write answer's size is not fixed, the serial answer ends at its gap.
    const int rc = link.SendData(request, request.size(), answer, writeBudgetMs);
    frame::cutAnswer(answer, length);
    if (link.traceOn) {
        frame::traceLine(
            frame::line(trace.command, link.remoteAddress, link.remotePort, tag, length, request));
        frame::traceLine(
            frame::line(trace.response, link.remoteAddress, link.remotePort, tag, length, answer));
    }
    return rc == 0 ? 0 : -2;
}

} // namespace

int CmdTarvik::Writememory(int area, int address, int count, QByteArray data, QString tag)
{
    QByteArray request = frame::requestHeader(
        frame::writeOp, area, frame::scaledAddress(address, tarvik::areaScale(area)), count);
    // A bit area takes one wire byte per bit of whole data bytes; count still says how many bits.
    request.append(tarvik::isBitArea(area) ? frame::spreadBits(data, count / 8)
                                           : frame::leading(data, count));
    return exchangeWrite(*this, request, count, tag, tagTrace);
}

int CmdTarvik::Writebool(int area, int address, int count, QByteArray data, QString tag)
{
    QByteArray request = frame::requestHeader(frame::writeOp, area, address, count);
    request.append(frame::leading(data, count));
    return exchangeWrite(*this, request, count, tag, areaTrace);
}

// Text items go whole: their size depends on the texts, not on the slot count.
int CmdTarvik::Writestring(int area, int address, int count, QByteArray data, QString tag)
{
    const int length = frame::scaledAddress(count, tarvik::stringSlot);
    QByteArray request = frame::requestHeader(
        frame::writeOp, area, frame::scaledAddress(address, tarvik::stringSlot), length);
    request.append(data);
    return exchangeWrite(*this, request, length, tag, tagTrace);
}
