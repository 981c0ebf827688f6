#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

int pipeEnds[2] = {-1, -1};
constexpr int kWatched[] = {SIGINT, SIGTERM};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t ignored = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}

SignalWatcher::~SignalWatcher()
{
    for (int signalNumber : kWatched)
        std::signal(signalNumber, SIG_DFL);
}

bool SignalWatcher::watch(QString *why)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = QStringLiteral("cannot create the signal pipe: %1")
                   .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kWatched)
        sigaction(signalNumber, &action, nullptr);
    return true;
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        emit caught(byte);
}

} // namespace sim
