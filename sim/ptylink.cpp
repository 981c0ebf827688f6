#include "ptylink.h"

#include "log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr int kMaxPending = 1 << 20;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

PtyLink::PtyLink(QObject *parent) : SerialLink(parent) {}

PtyLink::~PtyLink()
{
    PtyLink::close();
}

bool PtyLink::open(QString *why)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *why = QStringLiteral("cannot open a pseudo-terminal: %1").arg(errnoText());
        close();
        return false;
    }
    const char *name = ptsname(master_);
    path_ = name ? QString::fromLocal8Bit(name) : QString();
    slave_ = path_.isEmpty() ? -1 : ::open(name, O_RDWR | O_NOCTTY);
    termios settings;
    if (slave_ < 0 || tcgetattr(slave_, &settings) != 0) {
        *why = QStringLiteral("cannot open the pseudo-terminal's slave: %1").arg(errnoText());
        close();
        return false;
    }
    // No echo, no line editing, no translation: the frames are binary.
    cfmakeraw(&settings);
    tcsetattr(slave_, TCSANOW, &settings);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    readNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &PtyLink::readMaster);
    writeNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &PtyLink::writable);
    return true;
}

void PtyLink::write(const QByteArray &bytes)
{
    if (master_ < 0)
        return;
    // With nobody reading the slave, answers pile up behind a full line; a real line loses them.
    if (pending_.size() + bytes.size() > kMaxPending) {
        warn(QStringLiteral("pty %1: nobody reads, answer dropped").arg(path_));
        return;
    }
    pending_.append(bytes);
    flushPending();
}

qint64 PtyLink::offer(const QByteArray &bytes)
{
    if (master_ < 0 || !pending_.isEmpty())
        return 0;
    const ssize_t put = ::write(master_, bytes.constData(), size_t(bytes.size()));
    return put > 0 ? qint64(put) : 0;
}

void PtyLink::setWantRoom(bool on)
{
    wantRoom_ = on;
    if (writeNotifier_ && pending_.isEmpty())
        writeNotifier_->setEnabled(on);
}

// Answers first; noise only once none is waiting, so it never overtakes one.
void PtyLink::writable()
{
    flushPending();
    if (wantRoom_ && pending_.isEmpty())
        emit room();
}

void PtyLink::readMaster()
{
    char buffer[4096];
    // Whoever takes the bytes may close the line.
    while (master_ >= 0) {
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0) {
            emit received(QByteArray(buffer, int(got)));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // Cannot happen while our own slave descriptor is open; stop rather than spin if it does.
        warn(QStringLiteral("pty %1: read failed: %2").arg(path_, errnoText()));
        readNotifier_->setEnabled(false);
        return;
    }
}

void PtyLink::flushPending()
{
    while (!pending_.isEmpty()) {
        const ssize_t put = ::write(master_, pending_.constData(), size_t(pending_.size()));
        if (put > 0) {
            pending_.remove(0, int(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writeNotifier_->setEnabled(true);
            return;
        }
        warn(QStringLiteral("pty %1: write failed: %2").arg(path_, errnoText()));
        pending_.clear();
    }
    // Still wanted when noise waits for room; a full line wakes nobody, so this never spins.
    writeNotifier_->setEnabled(wantRoom_);
}

void PtyLink::close()
{
    // Later: close() may run inside one of their own signals.
    for (QSocketNotifier *notifier : {readNotifier_, writeNotifier_}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier_ = writeNotifier_ = nullptr;
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
    pending_.clear();
    wantRoom_ = false;
}

} // namespace sim
