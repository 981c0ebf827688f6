// The serial transport: the port's bytes sorted by what the exchange waits for, the reply's end
// found by the line's quiet gap, the echo and late link check answers taken off its head.

#include "seriallink.h"

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
    return port;
}

// A port whose device went away still counts: its requests fail at once with no answer, and
// DisConnectDrive and a new connect work as for any open port.
bool SerialLink::usable() const
{
    return port && (port->isOpen() || portLost);
}

// The port exists (the face creates it on first use, with its signals on the face's slots); the
// face also creates the gap timer once a port has opened.
int SerialLink::open(const QString &portName, int baud, int dataBits, int stopBits,
                     const QString &parity)
{
    if (port->isOpen()) {
        port->clear(QSerialPort::AllDirections);
        port->close();
    }
    portLost = false;
    port->setPortName(portName);
    if (!port->open(QIODevice::ReadWrite))
        return LinkCodes::OpenRefused;
    wait.resyncNeeded = false;

    const LineSettings settings = LineSettings::from(baud, dataBits, stopBits, parity);
    settings.applyTo(port);
    if (settings.gapMs > 0)
        gapMs = settings.gapMs;

    return LinkCodes::Opened;
}

int SerialLink::close()
{
    // A port whose device went away was closed then; closing it now is what the host asked.
    if (portLost) {
        portLost = false;
        return LinkCodes::Closed;
    }
    if (!port || !port->isOpen())
        return LinkCodes::NothingToClose;
    port->clear(QSerialPort::AllDirections);
    port->close();
    return LinkCodes::Closed;
}

int SerialLink::deletePort()
{
    if (port) {
        QObject::disconnect(port, nullptr, nullptr, nullptr);
        delete port;
        port = nullptr;
    }
    if (gapTimer) {
        QObject::disconnect(gapTimer, nullptr, nullptr, nullptr);
        delete gapTimer;
        gapTimer = nullptr;
    }
    portLost = false;
    wait.outstanding.clear();
    return 0;
}

int SerialLink::release()
{
    if (!port)
        return 1;
    close();
    deletePort();
    return 0;
}

// Bytes that came while nobody waited are dropped unread; the link is then out of step.
void SerialLink::discardStale()
{
    if (!port || !port->isOpen())
        return;
    if (gapTimer)
        gapTimer->stop();
    if (port->bytesAvailable() > 0 || bytesFollowWithin(0)) {
        wait.resyncNeeded = true;
        wait.dropped += quint64(port->bytesAvailable());
    }
    port->clear(QSerialPort::Input);
}

// The wait covers the probe and its answer on the line, not whatever else may be on it.
bool SerialLink::checkLink(const QByteArray &probe)
{
    if (!wait.noteSent(Outstanding::Kind::LinkCheck, probe.size()) || !send(probe))
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
    if (!port || !port->isOpen())
        return;
    const QSerialPort::SerialPortError error = port->error();
    const bool gone =
        error == QSerialPort::ResourceError || (error == QSerialPort::ReadError && hungUp(port));
    if (!gone)
        return;
    port->close();
    portLost = true;
    wait.resyncNeeded = true;
    if (wait.waiting())
        wait.answerArrived();
}

// Bytes go where the exchange in progress wants them; between exchanges they belong to no
// exchange: they are dropped, and the link is out of step.
void SerialLink::bytesArrived()
{
    if (!port)
        return;
    const QByteArray bytes = port->readAll();
    if (bytes.isEmpty())
        return;
    switch (wait.awaiting) {
    case Awaiting::Nothing:
        wait.dropped += quint64(bytes.size());
        wait.resyncNeeded = true;
        return;
    case Awaiting::Drain:
        wait.dropped += quint64(bytes.size());
        break;
    case Awaiting::Answer:
        appendBounded(wait.received, bytes, wait.dropped);
        if (stripAhead()) {
            if (wait.received.size() >= wait.expected)
                wait.answerArrived();
            return;
        }
        break; // the head may still be the echo: the line's next quiet tells
    case Awaiting::GapEnd:
        appendBounded(wait.received, bytes, wait.dropped);
        stripAhead();
        break;
    case Awaiting::LinkCheck:
        appendBounded(wait.received, bytes, wait.dropped);
        break;
    }
    // Every chunk pushes the end of the reply further out.
    if (gapTimer) {
        gapTimer->stop();
        gapTimer->start(quietMs());
    }
}

void SerialLink::lineQuiet()
{
    if (gapTimer && gapTimer->isActive())
        gapTimer->stop();
    if (!port || !port->isOpen())
        return;
    // Bytes not yet announced mean the line was not quiet after all: taking them restarts the
    // gap.
    if (port->bytesAvailable() > 0) {
        bytesArrived();
        return;
    }
    if (bytesFollowWithin(0)) {
        port->waitForReadyRead(0);
        return;
    }
    switch (wait.awaiting) {
    case Awaiting::Answer:
    case Awaiting::GapEnd:
        // An echo comes whole: a head that stopped partway through the request is the answer.
        if (!wait.received.isEmpty() && lastRequest.startsWith(wait.received))
            echoPending = false;
        stripAhead();
        if (!wait.received.isEmpty() &&
            wait.received.size() >= (wait.awaiting == Awaiting::Answer ? wait.expected : 1))
            wait.answerArrived();
        return;
    case Awaiting::LinkCheck:
        settleBurst(wait.received);
        wait.received.clear();
        if (wait.ownLinkAnswer)
            wait.answerArrived();
        return;
    case Awaiting::Drain:
        wait.answerArrived();
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
        if (linklimits::isLinkCheckAnswer(wait.received)) {
            wait.settleAnswer(Outstanding::Shape::LinkCheck);
            wait.received.remove(0, 2);
            wait.dropped += 2;
            continue;
        }
        // A lone first byte of a link check answer: its second tells.
        if (wait.received.size() == 1 && frame::byteAt(wait.received, 0) == 0x04)
            return false;
        if (!echoPending || wait.received.isEmpty())
            return true;
        if (wait.received.startsWith(lastRequest)) {
            wait.received.remove(0, lastRequest.size());
            echoPending = false;
            ++wait.echoes;
            continue;
        }
        if (lastRequest.startsWith(wait.received))
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
            wait.settleAnswer(Outstanding::Shape::LinkCheck);
            at += 2;
            continue;
        }
        if (!wait.outstanding.awaitsExchange()) {
            wait.resyncNeeded = true;
            break;
        }
        const int size = wait.outstanding.oldestExchangeAnswerSize();
        wait.settleAnswer(Outstanding::Shape::Other);
        at += size > 0 ? size : qMax(1, rest.size() - trailingLinkAnswers(rest));
    }
    wait.dropped += quint64(burst.size());
}

bool SerialLink::send(const QByteArray &frame)
{
    if (portLost || !port->isOpen())
        return false;
    port->write(frame);
    port->flush();
    if (port->bytesToWrite() > 0)
        port->waitForBytesWritten(linklimits::serialWriteWaitMs);
    return !portLost && port->isOpen();
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
    if (!wait.noteSent(linklimits::exchangeKind(expectedLength), expectedLength))
        return LinkCodes::NoAnswer;
    lastRequest = frame;
    echoPending = true;
    if (!send(frame)) {
        wait.resyncNeeded = true;
        return LinkCodes::NoAnswer;
    }
    if (timeoutMs < 1 || !await(Awaiting::Answer, linklimits::serialReadyWaitMs + timeoutMs, 1)) {
        wait.resyncNeeded = true;
        return LinkCodes::NoAnswer;
    }

    bool trusted = true;
    if (expectedLength > 0) {
        // Bytes may come in bursts with pauses longer than the quiet gap (a UART FIFO, a USB
        // adapter): the rest may take as long as the line needs to carry it, plus the budget.
        const bool whole =
            await(Awaiting::Answer, wireTimeUs(expectedLength) / 1000 + timeoutMs, expectedLength);
        trusted = !whole || (wait.received.size() == expectedLength &&
                             !bytesFollowWithin(wireTimeUs(linklimits::trailingCharacters)));
        // A short answer goes to the caller's check; its rest may still come.
        if (!whole)
            wait.resyncNeeded = true;
    } else {
        trusted = await(Awaiting::GapEnd, wireTimeUs(linklimits::largestAnswer) / 1000 + timeoutMs);
    }
    if (portLost) {
        wait.received.clear();
        return LinkCodes::NoAnswer;
    }
    if (!trusted) {
        wait.received.clear();
        drainLine(timeoutMs + wireTimeUs(linklimits::heldBackCharacters) / 1000);
        wait.resyncNeeded = true;
        return LinkCodes::AnswerNotTrusted;
    }
    // Nothing older than this request can give an answer like it: it is its own.
    wait.awaiting = Awaiting::Answer;
    const bool own = wait.settleAnswer(Outstanding::Shape::Other);
    wait.awaiting = Awaiting::Nothing;
    if (!own) {
        wait.received.clear();
        wait.resyncNeeded = true;
        return LinkCodes::NoAnswer;
    }
    reply.append(wait.received);
    wait.received.clear();
    return LinkCodes::LinkOk;
}

// Waits for the receive side to have what `what` asks for. Bytes already taken stay in
// the receive buffer from one call to the next.
bool SerialLink::await(Awaiting what, qint64 ms, int expectedBytes)
{
    wait.await(what, expectedBytes);
    if (what == Awaiting::Answer && wait.received.size() >= expectedBytes)
        wait.answerReady = true;
    else if (what != Awaiting::Answer && gapTimer)
        gapTimer->start(quietMs());
    if (!wait.answerReady && port->bytesAvailable() > 0)
        bytesArrived();
    if (!wait.answerReady && what == Awaiting::Answer)
        takeQuickBytes();
    const bool done = wait.answerReady || wait.waitForAnswer(ms);
    if (gapTimer)
        gapTimer->stop();
    wait.awaiting = Awaiting::Nothing;
    return done && !portLost;
}

// A device on a short line answers within a moment: its bytes are taken straight from the port
// while they come, sparing the event loop's round trip. The port hands them to
// serialreadyRead as it reads them.
void SerialLink::takeQuickBytes()
{
    QElapsedTimer clock;
    clock.start();
    const int fd = int(port->handle());
    while (!wait.answerReady && !portLost && port->isOpen()) {
        const qint64 left = linklimits::quickAnswerMs * 1000 - clock.nsecsElapsed() / 1000;
        pollfd p{fd, POLLIN, 0};
        const timespec wait{0, long(qMax<qint64>(left, 0)) * 1000};
        if (left <= 0 || ::ppoll(&p, 1, &wait, nullptr) <= 0 || !port->waitForReadyRead(0))
            return;
    }
}

// Reads and discards until the line has been quiet for a gap, or ms have passed.
void SerialLink::drainLine(qint64 ms)
{
    if (!portLost && port->isOpen())
        await(Awaiting::Drain, ms);
}

// How long the line must stay quiet to end what the receive side waits for. A reply ends at the
// port's gap. Everything else (the link check's answers, a drain, a head that may be the echo)
// ends only when the line has been quiet for longer than a UART FIFO or an adapter holds bytes
// back: bytes still to come would otherwise be taken for something they are not.
int SerialLink::quietMs() const
{
    const bool reply = wait.awaiting == Awaiting::GapEnd && !echoPending;
    if (reply)
        return gapMs;
    const qint64 held = wireTimeUs(linklimits::heldBackCharacters);
    return qMax(gapMs, int((held + 999) / 1000));
}

// True when bytes are waiting, or arrive within us microseconds.
bool SerialLink::bytesFollowWithin(qint64 us)
{
    if (!port || !port->isOpen())
        return false;
    if (port->bytesAvailable() > 0)
        return true;
    pollfd p{int(port->handle()), POLLIN, 0};
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
    const qint64 baud = port && port->baudRate() > 0 ? port->baudRate() : 9600;
    int bitsPerByte = 10;
    if (port) {
        bitsPerByte = 1 + int(port->dataBits()) +
                      (port->parity() == QSerialPort::NoParity ? 0 : 1) +
                      (port->stopBits() == QSerialPort::OneStop ? 1 : 2);
    }
    return (qint64(bytes) * bitsPerByte * 1000000 + baud - 1) / baud;
}
