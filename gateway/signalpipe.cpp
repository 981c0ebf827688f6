#include "signalpipe.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[0], &byte, 1);
}

} // namespace

SignalPipe::SignalPipe(QObject *parent) : QObject(parent) {}

bool SignalPipe::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeEnds) != 0)
        return false;
    notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalPipe::readSignal);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
    // A file that reaches the size limit set for the process is a write that fails (the store
    // says so and goes on), not the end of the gateway.
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

void SignalPipe::readSignal()
{
    char byte = 0;
    if (::read(pipeEnds[1], &byte, 1) != 1)
        return;
    // The number went through a byte: compared as unsigned on every platform.
    if (quint8(byte) == quint8(SIGHUP))
        emit reload();
    else
        emit terminate();
}
