#include "fuzzsupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

quint8 Input::u8()
{
    if (left == 0)
        return 0;
    --left;
    return *at++;
}

quint16 Input::u16()
{
    const quint16 low = u8();
    return quint16(low | (u8() << 8));
}

quint32 Input::u24()
{
    const quint32 low = u16();
    return low | (quint32(u8()) << 16);
}

quint32 Input::u32()
{
    const quint32 low = u16();
    return low | (quint32(u16()) << 16);
}

QByteArray Input::bytes(int n)
{
    const size_t take = n > 0 ? qMin(size_t(n), left) : 0;
    const QByteArray out(reinterpret_cast<const char *>(at), int(take));
    at += take;
    left -= take;
    return out;
}

QByteArray Input::rest()
{
    return bytes(int(qMin(left, size_t(1) << 30)));
}

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::abort();
    }
}

} // namespace

void startQt(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    // The fuzzer's own arguments mean nothing to Qt; it gets the program name only.
    static int qtArgc = 1;
    static char *qtArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QCoreApplication(qtArgc, qtArgv);
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "property broken: %s\n  %s\n", what, qPrintable(detail));
    std::abort();
}

} // namespace fuzz

// A target that needs nothing but Qt set up takes this; one with more to set up defines its own,
// which the linker prefers.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::startQt(argc, argv);
    return 0;
}
