// The write requests CmdTarvik builds: memory, bits and texts. A write is done when its answer
// arrives.

#include "CmdTarvik.h"

#include "areamodel.h"
#include "frame.h"
#include "linklimits.h"
#include "protocollog.h"
#include "requestroute.h"

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

// Sends one write request and waits for any answer: the controller's answer to a write carries
// nothing to check, so its arrival is the success. Both lines are traced after the exchange.
int exchangeWrite(CmdTarvik &link, const QByteArray &request, int length, const QString &tag,
                  const WriteTrace &trace)
{
    if (link.Connection_status() == CmdTarvik::LinkNotOpen)
        return CmdTarvik::LinkNotOpen;
    QByteArray answer;
    // No expected length: a write answer's size is not fixed, the serial answer ends at its gap.
    const int rc = link.SendData(request, request.size(), answer, linklimits::writeBudgetMs);
    frame::cutAnswer(answer, length);
    if (link.traceOn) {
        protocollog::traceLine(protocollog::line(trace.command, link.remoteAddress, link.remotePort,
                                                 tag, length, request));
        protocollog::traceLine(protocollog::line(trace.response, link.remoteAddress,
                                                 link.remotePort, tag, length, answer));
    }
    return rc == CmdTarvik::LinkOk ? CmdTarvik::LinkOk : CmdTarvik::ExchangeFailed;
}

} // namespace

int CmdTarvik::Writememory(int area, int address, int length, QByteArray data, QString tag)
{
    const int scale = tarvik::requestScale(tarvik::RequestKind::Memory, area);
    QByteArray request =
        frame::requestHeader(frame::writeOp, area, frame::scaledAddress(address, scale), length);
    // A bit area takes one wire byte per bit of whole data bytes; length still counts the bits.
    request.append(tarvik::isBitArea(area) ? frame::spreadBits(data, length / 8)
                                           : frame::leading(data, length));
    return exchangeWrite(*this, request, length, tag, tagTrace);
}

int CmdTarvik::Writebool(int area, int address, int length, QByteArray data, QString tag)
{
    const int scale = tarvik::requestScale(tarvik::RequestKind::Bits, area);
    QByteArray request =
        frame::requestHeader(frame::writeOp, area, frame::scaledAddress(address, scale), length);
    request.append(frame::leading(data, length));
    return exchangeWrite(*this, request, length, tag, areaTrace);
}

// Text items go whole: their size depends on the texts, not on the slot count.
int CmdTarvik::Writestring(int area, int address, int textSlots, QByteArray data, QString tag)
{
    const int scale = tarvik::requestScale(tarvik::RequestKind::Text, area);
    const int length = frame::scaledAddress(textSlots, scale);
    QByteArray request =
        frame::requestHeader(frame::writeOp, area, frame::scaledAddress(address, scale), length);
    request.append(data);
    return exchangeWrite(*this, request, length, tag, tagTrace);
}
