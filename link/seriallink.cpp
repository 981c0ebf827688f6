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

int CmdTarvik::serialConnectDrive(QString portName, int baud, int dataBits, int stopBits,
                                  QString parity)
{
    if (!serialPort) {
        serialPort = new QSerialPort(this);
        // Between exchanges the port holds at most this much, whatever the line does.
        serialPort->setReadBufferSize(linklimits::receiveLimit);
        connect(serialPort, &QSerialPort::readyRead, this, &CmdTarvik::serialreadyRead);
        connect(serialPort, &QSerialPort::errorOccurred, this, &CmdTarvik::portError);
    }
    if (serialPort->isOpen()) {
        serialPort->clear(QSerialPort::AllDirections);
        serialPort->close();
    }
    portLost = false;
    serialPort->setPortName(portName);
    if (!serialPort->open(QIODevice::ReadWrite))
        return OpenRefused;
    resyncNeeded = false;

    const LineSettings settings = LineSettings::from(baud, dataBits, stopBits, parity);
    settings.applyTo(serialPort);
    if (settings.gapMs > 0)
        gapMs = settings.gapMs;

    if (!gapTimer) {
        gapTimer = new QTimer(this);
        gapTimer->setSingleShot(false);
        connect(gapTimer, &QTimer::timeout, this, &CmdTarvik::TimerTimeOut);
    }
    return Opened;
}

int CmdTarvik::serialDisConnectDrive()
{
    // A port whose device went away was closed then; closing it now is what the host asked.
    if (portLost) {
        portLost = false;
        return Closed;
    }
    if (!serialPort || !serialPort->isOpen())
        return NothingToClose;
    serialPort->clear(QSerialPort::AllDirections);
    serialPort->close();
    return Closed;
}

// A pulled USB adapter or a closed pseudo-terminal leaves the port reporting read errors for
// as long as it stays open, each waking the thread: it is closed at once, and its requests
// fail until the host connects again.
void CmdTarvik::portError()
{
    if (!serialPort || !serialPort->isOpen())
        return;
    const QSerialPort::SerialPortError error = serialPort->error();
    const bool gone = error == QSerialPort::ResourceError ||
                      (error == QSerialPort::ReadError && hungUp(serialPort));
    if (!gone)
        return;
    serialPort->close();
    portLost = true;
    resyncNeeded = true;
    if (waitLoop)
        answerArrived();
}

// Bytes go where the exchange in progress wants them; between exchanges they belong to no
// exchange: they are dropped, and the link is out of step.
void CmdTarvik::serialreadyRead()
{
    if (!serialPort)
        return;
    const QByteArray bytes = serialPort->readAll();
    if (bytes.isEmpty())
        return;
    switch (awaiting) {
    case Awaiting::Nothing:
        dropped += quint64(bytes.size());
        resyncNeeded = true;
        return;
    case Awaiting::Drain:
        dropped += quint64(bytes.size());
        break;
    case Awaiting::Answer:
        appendBounded(recvBuffer, bytes, dropped);
        if (stripAhead()) {
            if (recvBuffer.size() >= expected)
                answerArrived();
            return;
        }
        break; // the head may still be the echo: the line's next quiet tells
    case Awaiting::GapEnd:
        appendBounded(recvBuffer, bytes, dropped);
        stripAhead();
        break;
    case Awaiting::LinkCheck:
        appendBounded(recvBuffer, bytes, dropped);
        break;
    }
    // Every chunk pushes the end of the reply further out.
    if (gapTimer) {
        gapTimer->stop();
        gapTimer->start(quietMs());
    }
}

void CmdTarvik::TimerTimeOut()
{
    if (gapTimer && gapTimer->isActive())
        gapTimer->stop();
    if (!serialPort || !serialPort->isOpen())
        return;
    // Bytes not yet announced mean the line was not quiet after all: taking them restarts the
    // gap.
    if (serialPort->bytesAvailable() > 0) {
        serialreadyRead();
        return;
    }
    if (bytesFollowWithin(0)) {
        serialPort->waitForReadyRead(0);
        return;
    }
    switch (awaiting) {
    case Awaiting::Answer:
    case Awaiting::GapEnd:
        // An echo comes whole: a head that stopped partway through the request is the answer.
        if (!recvBuffer.isEmpty() && lastRequest.startsWith(recvBuffer))
            echoPending = false;
        stripAhead();
        if (!recvBuffer.isEmpty() &&
            recvBuffer.size() >= (awaiting == Awaiting::Answer ? expected : 1))
            answerArrived();
        return;
    case Awaiting::LinkCheck:
        settleBurst(recvBuffer);
        recvBuffer.clear();
        if (ownLinkAnswer)
            answerArrived();
        return;
    case Awaiting::Drain:
        answerArrived();
        return;
    case Awaiting::Nothing:
        return;
    }
}

// Takes off the head of the receive buffer what comes ahead of an answer: link check answers
// (late ones settle their checks, others are repeats) and the line's echo of the request just
// sent. False while the head may still turn out to be the echo.
bool CmdTarvik::stripAhead()
{
    for (;;) {
        if (linklimits::isLinkCheckAnswer(recvBuffer)) {
            settleAnswer(Outstanding::Kind::LinkCheck);
            recvBuffer.remove(0, 2);
            dropped += 2;
            continue;
        }
        // A lone first byte of a link check answer: its second tells.
        if (recvBuffer.size() == 1 && frame::byteAt(recvBuffer, 0) == 0x04)
            return false;
        if (!echoPending || recvBuffer.isEmpty())
            return true;
        if (recvBuffer.startsWith(lastRequest)) {
            recvBuffer.remove(0, lastRequest.size());
            echoPending = false;
            ++echoes;
            continue;
        }
        if (lastRequest.startsWith(recvBuffer))
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
void CmdTarvik::settleBurst(const QByteArray &burst)
{
    int at = 0;
    while (at < burst.size()) {
        const QByteArray rest = QByteArray::fromRawData(burst.constData() + at, burst.size() - at);
        if (linklimits::isLinkCheckAnswer(rest)) {
            settleAnswer(Outstanding::Kind::LinkCheck);
            at += 2;
            continue;
        }
        if (!outstanding.awaits(Outstanding::Kind::Exchange)) {
            resyncNeeded = true;
            break;
        }
        const int size = outstanding.oldestExchangeAnswerSize();
        settleAnswer(Outstanding::Kind::Exchange);
        at += size > 0 ? size : qMax(1, rest.size() - trailingLinkAnswers(rest));
    }
    dropped += quint64(burst.size());
}

bool CmdTarvik::serialSend(const QByteArray &frame)
{
    if (portLost || !serialPort->isOpen())
        return false;
    serialPort->write(frame);
    serialPort->flush();
    if (serialPort->bytesToWrite() > 0)
        serialPort->waitForBytesWritten(linklimits::serialWriteWaitMs);
    return !portLost && serialPort->isOpen();
}

// A serial answer of known length is complete when that many bytes are in, and trusted only
// when the line then stays quiet for a moment: bytes right behind it (a babbling device, a line
// at the wrong rate) say that the bytes taken may not be the answer at all. Without a known
// length the answer ends at its first quiet gap. The line's echo of the request and late link
// check answers ahead of the answer are taken off first. An answer not trusted settles nothing:
// the request stays outstanding, and the next access checks the link first.
int CmdTarvik::serialExchange(const QByteArray &frame, QByteArray &reply, int timeoutMs,
                              int expectedLength)
{
    if (!noteSent(Outstanding::Kind::Exchange, expectedLength))
        return NoAnswer;
    lastRequest = frame;
    echoPending = true;
    if (!serialSend(frame)) {
        resyncNeeded = true;
        return NoAnswer;
    }
    if (timeoutMs < 1 ||
        !serialAwait(Awaiting::Answer, linklimits::serialReadyWaitMs + timeoutMs, 1)) {
        resyncNeeded = true;
        return NoAnswer;
    }

    bool trusted = true;
    if (expectedLength > 0) {
        // Bytes may come in bursts with pauses longer than the quiet gap (a UART FIFO, a USB
        // adapter): the rest may take as long as the line needs to carry it, plus the budget.
        const bool whole = serialAwait(
            Awaiting::Answer, wireTimeUs(expectedLength) / 1000 + timeoutMs, expectedLength);
        trusted = !whole || (recvBuffer.size() == expectedLength &&
                             !bytesFollowWithin(wireTimeUs(linklimits::trailingCharacters)));
        // A short answer goes to the caller's check; its rest may still come.
        if (!whole)
            resyncNeeded = true;
    } else {
        trusted =
            serialAwait(Awaiting::GapEnd, wireTimeUs(linklimits::largestAnswer) / 1000 + timeoutMs);
    }
    if (portLost) {
        recvBuffer.clear();
        return NoAnswer;
    }
    if (!trusted) {
        recvBuffer.clear();
        drainLine(timeoutMs + wireTimeUs(linklimits::heldBackCharacters) / 1000);
        resyncNeeded = true;
        return AnswerNotTrusted;
    }
    // Nothing older than this request can give an answer like it: it is its own.
    awaiting = Awaiting::Answer;
    const bool own = settleAnswer(Outstanding::Kind::Exchange);
    awaiting = Awaiting::Nothing;
    if (!own) {
        recvBuffer.clear();
        resyncNeeded = true;
        return NoAnswer;
    }
    reply.append(recvBuffer);
    recvBuffer.clear();
    return LinkOk;
}

// Waits for the receive side to have what `what` asks for. Bytes already taken stay in
// recvBuffer from one call to the next.
bool CmdTarvik::serialAwait(Awaiting what, qint64 ms, int expectedBytes)
{
    await(what, expectedBytes);
    if (what == Awaiting::Answer && recvBuffer.size() >= expectedBytes)
        answerReady = true;
    else if (what != Awaiting::Answer && gapTimer)
        gapTimer->start(quietMs());
    if (!answerReady && serialPort->bytesAvailable() > 0)
        serialreadyRead();
    if (!answerReady && what == Awaiting::Answer)
        takeQuickBytes();
    const bool done = answerReady || waitForAnswer(ms);
    if (gapTimer)
        gapTimer->stop();
    awaiting = Awaiting::Nothing;
    return done && !portLost;
}

// A device on a short line answers within a moment: its bytes are taken straight from the port
// while they come, sparing the event loop's round trip. The port hands them to
// serialreadyRead as it reads them.
void CmdTarvik::takeQuickBytes()
{
    QElapsedTimer clock;
    clock.start();
    const int fd = int(serialPort->handle());
    while (!answerReady && !portLost && serialPort->isOpen()) {
        const qint64 left = linklimits::quickAnswerMs * 1000 - clock.nsecsElapsed() / 1000;
        pollfd p{fd, POLLIN, 0};
        const timespec wait{0, long(qMax<qint64>(left, 0)) * 1000};
        if (left <= 0 || ::ppoll(&p, 1, &wait, nullptr) <= 0 || !serialPort->waitForReadyRead(0))
            return;
    }
}

// Reads and discards until the line has been quiet for a gap, or ms have passed.
void CmdTarvik::drainLine(qint64 ms)
{
    if (!portLost && serialPort->isOpen())
        serialAwait(Awaiting::Drain, ms);
}

// How long the line must stay quiet to end what the receive side waits for. A reply ends at the
// port's gap. Everything else (the link check's answers, a drain, a head that may be the echo)
// ends only when the line has been quiet for longer than a UART FIFO or an adapter holds bytes
// back: bytes still to come would otherwise be taken for something they are not.
int CmdTarvik::quietMs() const
{
    const bool reply = awaiting == Awaiting::GapEnd && !echoPending;
    if (reply)
        return gapMs;
    const qint64 held = wireTimeUs(linklimits::heldBackCharacters);
    return qMax(gapMs, int((held + 999) / 1000));
}

// True when bytes are waiting, or arrive within us microseconds.
bool CmdTarvik::bytesFollowWithin(qint64 us)
{
    if (!serialPort || !serialPort->isOpen())
        return false;
    if (serialPort->bytesAvailable() > 0)
        return true;
    pollfd p{int(serialPort->handle()), POLLIN, 0};
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
qint64 CmdTarvik::wireTimeUs(int bytes) const
{
    const qint64 baud = serialPort && serialPort->baudRate() > 0 ? serialPort->baudRate() : 9600;
    int bitsPerByte = 10;
    if (serialPort) {
        bitsPerByte = 1 + int(serialPort->dataBits()) +
                      (serialPort->parity() == QSerialPort::NoParity ? 0 : 1) +
                      (serialPort->stopBits() == QSerialPort::OneStop ? 1 : 2);
    }
    return (qint64(bytes) * bitsPerByte * 1000000 + baud - 1) / baud;
}
