#include "seriallink.h"

#include "CmdTarvik.h"

#include "frame.h"
#include "linesettings.h"
#include "linklimits.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTimer>

#include <poll.h>
#include <sys/prctl.h>

namespace {

// Appends what fits below the receive limit; the rest is counted as dropped.
void appendBounded(QByteArray &buffer, const QByteArray &bytes, quint64 &dropped)
{
    const int room = qMax(0, linklimits::receiveLimit - buffer.size());
    const int taken = qMin(room, bytes.size());
    buffer.append(bytes.constData(), taken);
    dropped += quint64(bytes.size() - taken);
}

// The bytes of the link check answers (04 01 each) that end these bytes.
int trailingLinkAnswers(const QByteArray &bytes)
{
    int n = 0;
    while (bytes.size() - n >= 2 &&
           linklimits::isLinkCheckAnswer(bytes.mid(bytes.size() - n - 2, 2)))
        n += 2;
    return n;
}

bool hungUp(const QSerialPort *port)
{
    pollfd p{int(port->handle()), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

} // namespace

bool SerialLink::exists() const
{
    return face.serialPort;
}

// A port whose device went away still counts: its requests fail at once with no answer, and
// DisConnectDrive and a new connect work as for any open port.
bool SerialLink::usable() const
{
    return face.serialPort && (face.serialPort->isOpen() || portLost);
}

// The port exists (the face creates it on first use, with its signals on the face's slots); the
// face also creates the gap timer once a port has opened.
int SerialLink::open(const QString &portName, int baud, int dataBits, int stopBits,
                     const QString &parity)
{
    if (face.serialPort->isOpen()) {
        face.serialPort->clear(QSerialPort::AllDirections);
        face.serialPort->close();
    }
    portLost = false;
    face.serialPort->setPortName(portName);
    if (!face.serialPort->open(QIODevice::ReadWrite))
        return CmdTarvik::OpenRefused;
    face.resyncNeeded = false;

    const LineSettings settings = LineSettings::from(baud, dataBits, stopBits, parity);
    settings.applyTo(face.serialPort);
    if (settings.gapMs > 0)
        face.gapMs = settings.gapMs;

    return CmdTarvik::Opened;
}

int SerialLink::close()
{
    // A port whose device went away was closed then; closing it now is what the host asked.
    if (portLost) {
        portLost = false;
        return CmdTarvik::Closed;
    }
    if (!face.serialPort || !face.serialPort->isOpen())
        return CmdTarvik::NothingToClose;
    face.serialPort->clear(QSerialPort::AllDirections);
    face.serialPort->close();
    return CmdTarvik::Closed;
}

int SerialLink::deletePort()
{
    if (face.serialPort) {
        QObject::disconnect(face.serialPort, nullptr, &face, nullptr);
        delete face.serialPort;
        face.serialPort = nullptr;
    }
    if (face.gapTimer) {
        QObject::disconnect(face.gapTimer, nullptr, &face, nullptr);
        delete face.gapTimer;
        face.gapTimer = nullptr;
    }
    portLost = false;
    face.outstanding.clear();
    return 0;
}

int SerialLink::release()
{
    if (!face.serialPort)
        return 1;
    close();
    deletePort();
    return 0;
}

// Bytes that came while nobody waited are dropped unread; the link is then out of step.
void SerialLink::discardStale()
{
    QSerialPort *port = face.serialPort;
    if (!port || !port->isOpen())
        return;
    if (face.gapTimer)
        face.gapTimer->stop();
    if (port->bytesAvailable() > 0 || bytesFollowWithin(0)) {
        face.resyncNeeded = true;
        face.dropped += quint64(port->bytesAvailable());
    }
    port->clear(QSerialPort::Input);
}

// The wait covers the probe and its answer on the line, not whatever else may be on it.
bool SerialLink::checkLink(const QByteArray &probe)
{
    if (!face.noteSent(Outstanding::Kind::LinkCheck, probe.size()) || !send(probe))
        return false;
    const qint64 wireMs = (2 * wireTimeUs(probe.size()) + 999) / 1000;
    await(Awaiting::LinkCheck,
          linklimits::serialReadyWaitMs + linklimits::linkCheckBudgetMs + wireMs);
    return true;
}

// A pulled USB adapter or a closed pseudo-terminal leaves the port reporting read errors for
// as long as it stays open, each waking the thread: it is closed at once, and its requests
// fail until the host connects again.
void SerialLink::portError()
{
    if (!face.serialPort || !face.serialPort->isOpen())
        return;
    const QSerialPort::SerialPortError error = face.serialPort->error();
    const bool gone = error == QSerialPort::ResourceError ||
                      (error == QSerialPort::ReadError && hungUp(face.serialPort));
    if (!gone)
        return;
    face.serialPort->close();
    portLost = true;
    face.resyncNeeded = true;
    if (face.waitLoop)
        face.answerArrived();
}

// Bytes go where the exchange in progress wants them; between exchanges they belong to no
// exchange: they are dropped, and the link is out of step.
void SerialLink::bytesArrived()
{
    if (!face.serialPort)
        return;
    const QByteArray bytes = face.serialPort->readAll();
    if (bytes.isEmpty())
        return;
    switch (face.awaiting) {
    case Awaiting::Nothing:
        face.dropped += quint64(bytes.size());
        face.resyncNeeded = true;
        return;
    case Awaiting::Drain:
        face.dropped += quint64(bytes.size());
        break;
    case Awaiting::Answer:
        appendBounded(face.recvBuffer, bytes, face.dropped);
        if (stripAhead()) {
            if (face.recvBuffer.size() >= face.expected)
                face.answerArrived();
            return;
        }
        break; // the head may still be the echo: the line's next quiet tells
    case Awaiting::GapEnd:
        appendBounded(face.recvBuffer, bytes, face.dropped);
        stripAhead();
        break;
    case Awaiting::LinkCheck:
        appendBounded(face.recvBuffer, bytes, face.dropped);
        break;
    }
    // Every chunk pushes the end of the reply further out.
    if (face.gapTimer) {
        face.gapTimer->stop();
        face.gapTimer->start(quietMs());
    }
}

void SerialLink::lineQuiet()
{
    if (face.gapTimer && face.gapTimer->isActive())
        face.gapTimer->stop();
    if (!face.serialPort || !face.serialPort->isOpen())
        return;
    // Bytes not yet announced mean the line was not quiet after all: taking them restarts the
    // gap.
    if (face.serialPort->bytesAvailable() > 0) {
        bytesArrived();
        return;
    }
    if (bytesFollowWithin(0)) {
        face.serialPort->waitForReadyRead(0);
        return;
    }
    switch (face.awaiting) {
    case Awaiting::Answer:
    case Awaiting::GapEnd:
        // An echo comes whole: a head that stopped partway through the request is the answer.
        if (!face.recvBuffer.isEmpty() && lastRequest.startsWith(face.recvBuffer))
            echoPending = false;
        stripAhead();
        if (!face.recvBuffer.isEmpty() &&
            face.recvBuffer.size() >= (face.awaiting == Awaiting::Answer ? face.expected : 1))
            face.answerArrived();
        return;
    case Awaiting::LinkCheck:
        settleBurst(face.recvBuffer);
        face.recvBuffer.clear();
        if (face.ownLinkAnswer)
            face.answerArrived();
        return;
    case Awaiting::Drain:
        face.answerArrived();
        return;
    case Awaiting::Nothing:
        return;
    }
}

// Takes off the head of the receive buffer what comes ahead of an answer: link check answers
// (late ones settle their checks, others are repeats) and the line's echo of the request just
// sent. False while the head may still turn out to be the echo.
bool SerialLink::stripAhead()
{
    for (;;) {
        if (linklimits::isLinkCheckAnswer(face.recvBuffer)) {
            // A write may be answered 04 01 too: when nothing older could have sent it, the
            // write's answer has begun.
            const Outstanding::Settled owner =
                face.outstanding.ownerOf(Outstanding::Shape::LinkCheck);
            if (owner.owner == Outstanding::Owner::Newest &&
                owner.kind == Outstanding::Kind::Write) {
                echoPending = false;
                return true;
            }
            face.settleAnswer(Outstanding::Shape::LinkCheck);
            face.recvBuffer.remove(0, 2);
            face.dropped += 2;
            continue;
        }
        // A lone first byte of a link check answer: its second tells.
        if (face.recvBuffer.size() == 1 && frame::byteAt(face.recvBuffer, 0) == 0x04)
            return false;
        if (!echoPending || face.recvBuffer.isEmpty())
            return true;
        if (face.recvBuffer.startsWith(lastRequest)) {
            face.recvBuffer.remove(0, lastRequest.size());
            echoPending = false;
            ++face.echoes;
            continue;
        }
        if (lastRequest.startsWith(face.recvBuffer))
            return false;
        // The answer has begun: no echo comes behind it.
        echoPending = false;
        return true;
    }
}

// Settles the answers in one burst of bytes that came while the link check waited. An in-order
// device sends them back to back: link check answers of two bytes each, the answer of an older
// read (whose size is known) or write (whose size is not: it runs up to the link check answers
// that end the burst). Bytes no request could have sent put the link out of step, and the rest
// of the burst goes with them.
void SerialLink::settleBurst(const QByteArray &burst)
{
    int at = 0;
    while (at < burst.size()) {
        const QByteArray rest = QByteArray::fromRawData(burst.constData() + at, burst.size() - at);
        if (linklimits::isLinkCheckAnswer(rest)) {
            face.settleAnswer(Outstanding::Shape::LinkCheck);
            at += 2;
            continue;
        }
        if (!face.outstanding.awaitsExchange()) {
            face.resyncNeeded = true;
            break;
        }
        const int size = face.outstanding.oldestExchangeAnswerSize();
        face.settleAnswer(Outstanding::Shape::Other);
        at += size > 0 ? size : qMax(1, rest.size() - trailingLinkAnswers(rest));
    }
    face.dropped += quint64(burst.size());
}

bool SerialLink::send(const QByteArray &frame)
{
    if (portLost || !face.serialPort->isOpen())
        return false;
    face.serialPort->write(frame);
    face.serialPort->flush();
    if (face.serialPort->bytesToWrite() > 0)
        face.serialPort->waitForBytesWritten(linklimits::serialWriteWaitMs);
    return !portLost && face.serialPort->isOpen();
}

// A serial answer of known length is complete when that many bytes are in, and trusted only
// when the line then stays quiet for a moment: bytes right behind it (a babbling device, a line
// at the wrong rate) say that the bytes taken may not be the answer at all. Without a known
// length the answer ends at its first quiet gap. The line's echo of the request and late link
// check answers ahead of the answer are taken off first. An answer not trusted settles nothing:
// the request stays outstanding, and the next access checks the link first.
int SerialLink::exchange(const QByteArray &frame, int, QByteArray &reply, int timeoutMs,
                         int expectedLength)
{
    if (!face.noteSent(linklimits::exchangeKind(expectedLength), expectedLength))
        return CmdTarvik::NoAnswer;
    lastRequest = frame;
    echoPending = true;
    if (!send(frame)) {
        face.resyncNeeded = true;
        return CmdTarvik::NoAnswer;
    }
    if (timeoutMs < 1 || !await(Awaiting::Answer, linklimits::serialReadyWaitMs + timeoutMs, 1)) {
        face.resyncNeeded = true;
        return CmdTarvik::NoAnswer;
    }

    bool trusted = true;
    if (expectedLength > 0) {
        // Bytes may come in bursts with pauses longer than the quiet gap (a UART FIFO, a USB
        // adapter): the rest may take as long as the line needs to carry it, plus the budget.
        const bool whole =
            await(Awaiting::Answer, wireTimeUs(expectedLength) / 1000 + timeoutMs, expectedLength);
        trusted = !whole || (face.recvBuffer.size() == expectedLength &&
                             !bytesFollowWithin(wireTimeUs(linklimits::trailingCharacters)));
        // A short answer goes to the caller's check; its rest may still come.
        if (!whole)
            face.resyncNeeded = true;
    } else {
        trusted = await(Awaiting::GapEnd, wireTimeUs(linklimits::largestAnswer) / 1000 + timeoutMs);
    }
    if (portLost) {
        face.recvBuffer.clear();
        return CmdTarvik::NoAnswer;
    }
    if (!trusted) {
        face.recvBuffer.clear();
        drainLine(timeoutMs + wireTimeUs(linklimits::heldBackCharacters) / 1000);
        face.resyncNeeded = true;
        return CmdTarvik::AnswerNotTrusted;
    }
    // Nothing older than this request can give an answer like it: it is its own.
    face.awaiting = Awaiting::Answer;
    const bool own = face.settleAnswer(linklimits::shapeOf(face.recvBuffer));
    face.awaiting = Awaiting::Nothing;
    if (!own) {
        face.recvBuffer.clear();
        face.resyncNeeded = true;
        return CmdTarvik::NoAnswer;
    }
    reply.append(face.recvBuffer);
    face.recvBuffer.clear();
    return CmdTarvik::LinkOk;
}

// Waits for the receive side to have what `what` asks for. Bytes already taken stay in
// the receive buffer from one call to the next.
bool SerialLink::await(Awaiting what, qint64 ms, int expectedBytes)
{
    face.await(what, expectedBytes);
    if (what == Awaiting::Answer && face.recvBuffer.size() >= expectedBytes)
        face.answerReady = true;
    else if (what != Awaiting::Answer && face.gapTimer)
        face.gapTimer->start(quietMs());
    if (!face.answerReady && face.serialPort->bytesAvailable() > 0)
        bytesArrived();
    if (!face.answerReady && what == Awaiting::Answer)
        takeQuickBytes();
    const bool done = face.answerReady || face.waitForAnswer(ms);
    if (face.gapTimer)
        face.gapTimer->stop();
    face.awaiting = Awaiting::Nothing;
    return done && !portLost;
}

// A device on a short line answers within a moment: its bytes are taken straight from the port
// while they come, sparing the event loop's round trip. The port hands them to
// serialreadyRead as it reads them.
void SerialLink::takeQuickBytes()
{
    QElapsedTimer clock;
    clock.start();
    const int fd = int(face.serialPort->handle());
    while (!face.answerReady && !portLost && face.serialPort->isOpen()) {
        const qint64 left = linklimits::quickAnswerMs * 1000 - clock.nsecsElapsed() / 1000;
        pollfd p{fd, POLLIN, 0};
        const timespec wait{0, long(qMax<qint64>(left, 0)) * 1000};
        if (left <= 0 || ::ppoll(&p, 1, &wait, nullptr) <= 0 ||
            !face.serialPort->waitForReadyRead(0))
            return;
    }
}

// Reads and discards until the line has been quiet for a gap, or ms have passed.
void SerialLink::drainLine(qint64 ms)
{
    if (!portLost && face.serialPort->isOpen())
        await(Awaiting::Drain, ms);
}

// How long the line must stay quiet to end what the receive side waits for. A reply ends at the
// port's gap. Everything else (the link check's answers, a drain, a head that may be the echo)
// ends only when the line has been quiet for longer than a UART FIFO or an adapter holds bytes
// back: bytes still to come would otherwise be taken for something they are not.
int SerialLink::quietMs() const
{
    const bool reply = face.awaiting == Awaiting::GapEnd && !echoPending;
    if (reply)
        return face.gapMs;
    const qint64 held = wireTimeUs(linklimits::heldBackCharacters);
    return qMax(face.gapMs, int((held + 999) / 1000));
}

// True when bytes are waiting, or arrive within us microseconds.
bool SerialLink::bytesFollowWithin(qint64 us)
{
    if (!face.serialPort || !face.serialPort->isOpen())
        return false;
    if (face.serialPort->bytesAvailable() > 0)
        return true;
    pollfd p{int(face.serialPort->handle()), POLLIN, 0};
    const timespec wait{time_t(us / 1000000), long(us % 1000000) * 1000};
    // The thread's timer slack (50 us by default) would stretch a wait of two characters at
    // 115200 baud by a quarter: this one wait runs without it.
    const int slack = us > 0 ? ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0) : -1;
    if (slack > 1)
        ::prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    const bool more = ::ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLIN);
    if (slack > 1)
        ::prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
    return more;
}

// Time the line needs to carry that many bytes: start bit, data bits, parity and stop bits each.
qint64 SerialLink::wireTimeUs(int bytes) const
{
    const qint64 baud =
        face.serialPort && face.serialPort->baudRate() > 0 ? face.serialPort->baudRate() : 9600;
    int bitsPerByte = 10;
    if (face.serialPort) {
        bitsPerByte = 1 + int(face.serialPort->dataBits()) +
                      (face.serialPort->parity() == QSerialPort::NoParity ? 0 : 1) +
                      (face.serialPort->stopBits() == QSerialPort::OneStop ? 1 : 2);
    }
    return (qint64(bytes) * bitsPerByte * 1000000 + baud - 1) / baud;
}
