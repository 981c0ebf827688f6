#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What every fuzz target shares: a reader over the input bytes, the Qt application object a
// link needs for its event loop, and the way a broken property stops the run.
namespace fuzz {

// Reads an input front to back; past its end every number reads as 0 and every slice as empty.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : at(data), left(size) {}

    bool empty() const { return left == 0; }
    quint8 u8();
    quint16 u16();
    quint32 u24();
    quint32 u32();
    QByteArray bytes(int n); // at most n bytes
    QByteArray rest();

private:
    const uint8_t *at;
    size_t left;
};

// Creates the process's QCoreApplication and sends the Qt message log nowhere: the targets
// provoke thousands of warnings whose text is not what they look at. The library's default
// LLVMFuzzerInitialize does only this.
void startQt(int *argc, char ***argv);

// Prints what failed and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char *what, const QString &detail);

} // namespace fuzz

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzz::fail(#condition, detail);                                                        \
    } while (0)
