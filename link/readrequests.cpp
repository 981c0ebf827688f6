// The read requests CmdTarvik builds: memory, bits and texts. Each sends one request, checks its
// answer in the fixed order and traces both lines.

#include "CmdTarvik.h"

#include "areamodel.h"
#include "frame.h"
#include "linklimits.h"
#include "protocollog.h"
#include "requestroute.h"

namespace {

constexpr char readCommandFormat[] = "lib[Tarvik]读命令 %1:%2  %3 len = %4 msg : %5";
constexpr char readResponseFormat[] = "lib[Tarvik]读响应 %1:%2  %3 len = %4 msg : %5";

frame::AnswerFault faultOf(int rc, const QByteArray &request, const QByteArray &answer, int needs)
{
    if (rc == CmdTarvik::AnswerNotTrusted)
        return frame::AnswerFault::NotTrusted;
    if (rc != CmdTarvik::LinkOk)
        return frame::AnswerFault::Missing;
    return frame::checkAnswer(request, answer, needs);
}

// Bytes a string answer must hold: each slot's length byte and the characters it announces.
int stringAnswerNeeds(const QByteArray &answer, int items)
{
    int needs = frame::answerHeaderSize;
    for (int k = 0; k < items; ++k) {
        const int base = frame::answerHeaderSize + tarvik::stringSlot * k;
        needs = base + 1;
        if (base >= answer.size())
            break;
        needs += frame::byteAt(answer, base);
    }
    return needs;
}

// A read request as sent, and what came back for it.
struct ReadExchange
{
    QByteArray request;
    QByteArray answer;
    int rc;
};

// Builds the read request for a tag of this kind and exchanges it; the answer is not checked yet.
ReadExchange sendRead(CmdTarvik &link, tarvik::RequestKind kind, int area, int address, int length,
                      const QString &tag)
{
    const int scale = tarvik::requestScale(kind, area);
    ReadExchange x;
    x.request = link.readRequest(area, frame::scaledAddress(address, scale), length);
    x.rc = link.Message_parsing(x.request, &x.answer, length, tag);
    return x;
}

// The bytes data bytes behind the answer header, cut out of the answer itself: by now it holds
// them alone, so they move within it instead of being copied into a new array.
QByteArray dataOf(QByteArray answer, int bytes)
{
    answer.truncate(frame::answerHeaderSize + bytes);
    answer.remove(0, frame::answerHeaderSize);
    return answer;
}

} // namespace

int CmdTarvik::Message_parsing(QByteArray frame, QByteArray *answer, int length, QString tag)
{
    if (traceOn)
        protocollog::traceLine(
            protocollog::line(readCommandFormat, remoteAddress, remotePort, tag, length, frame));
    if (Connection_status() == LinkNotOpen)
        return LinkNotOpen;
    QByteArray local;
    // A read answer is complete at its header plus the length the request asked for.
    const int rc = SendData(frame, frame.size(), local, linklimits::readBudgetMs,
                            frame::answerHeaderSize + qMax(length, 0));
    frame::cutAnswer(local, length);
    answer->append(local);
    if (traceOn)
        protocollog::traceLine(
            protocollog::line(readResponseFormat, remoteAddress, remotePort, tag, length, *answer));
    return rc;
}

// Checks, in this order, that an answer came and was trusted, that it repeats the request's
// sequence bytes, and that it holds every byte the extraction needs; a failure is warned about
// and reported as ExchangeFailed, and leaves the link out of step. needs is the answer size the
// request calls for.
int CmdTarvik::checkReadAnswer(int rc, const QByteArray &request, const QByteArray &answer,
                               int length, const QString &tag, int needs)
{
    if (rc == LinkNotOpen)
        return LinkNotOpen;
    const frame::AnswerFault fault = faultOf(rc, request, answer, needs);
    if (fault == frame::AnswerFault::None)
        return LinkOk;
    wait.resyncNeeded = true;
    protocollog::warnLine(protocollog::line(protocollog::answerFaultFormat(fault), remoteAddress,
                                            remotePort, tag, length, answer));
    return ExchangeFailed;
}

// The last read request is kept: a host reads the same tags over and over.
QByteArray CmdTarvik::readRequest(int area, int address, int length)
{
    if (area != keptRead.area || address != keptRead.address || length != keptRead.length)
        keptRead = {area, address, length,
                    frame::requestHeader(frame::readOp, area, address, length)};
    return keptRead.frame;
}

int CmdTarvik::Readmemory(int area, int address, int length, QByteArray *out, QString tag)
{
    ReadExchange x = sendRead(*this, tarvik::RequestKind::Memory, area, address, length, tag);
    // In a bit area every bit travels as a wire byte; whole bytes are delivered.
    const bool bits = tarvik::isBitArea(area);
    const int bytes = qMax(bits ? length / 8 : length, 0);
    const int needs = frame::answerHeaderSize + (bits ? 8 * bytes : bytes);
    const int rc = checkReadAnswer(x.rc, x.request, x.answer, length, tag, needs);
    if (rc != LinkOk)
        return rc;
    out->append(bits ? frame::packBits(x.answer, frame::answerHeaderSize, bytes)
                     : dataOf(std::move(x.answer), bytes));
    return LinkOk;
}

int CmdTarvik::Readbool(int area, int address, int length, QByteArray *out, QString tag)
{
    ReadExchange x = sendRead(*this, tarvik::RequestKind::Bits, area, address, length, tag);
    const int bytes = qMax(length, 0);
    const int needs = frame::answerHeaderSize + bytes;
    const int rc = checkReadAnswer(x.rc, x.request, x.answer, length, tag, needs);
    if (rc != LinkOk)
        return rc;
    out->append(dataOf(std::move(x.answer), bytes));
    return LinkOk;
}

int CmdTarvik::Readstring(int area, int address, int textSlots, QByteArray *out, QString tag)
{
    const tarvik::RequestKind kind = tarvik::RequestKind::Text;
    const int length = frame::scaledAddress(textSlots, tarvik::requestScale(kind, area));
    const ReadExchange x = sendRead(*this, kind, area, address, length, tag);
    const int items = qMax(textSlots, 0);
    const int rc =
        checkReadAnswer(x.rc, x.request, x.answer, length, tag, stringAnswerNeeds(x.answer, items));
    if (rc != LinkOk)
        return rc;
    // Each slot: its length byte and that many characters, back to back.
    for (int k = 0; k < items; ++k) {
        const int base = frame::answerHeaderSize + tarvik::stringSlot * k;
        out->append(x.answer.mid(base, 1 + frame::byteAt(x.answer, base)));
    }
    return LinkOk;
}
