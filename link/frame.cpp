#include "frame.h"

namespace frame {

namespace {

// The 24-bit field's three bytes at `at`, in put24()'s order.
void store24(char *at, int value)
{
    const quint32 v = quint32(value);
    at[0] = char((v >> 16) & 0xFF);
    at[1] = char(v & 0xFF);
    at[2] = char((v >> 8) & 0xFF);
}

} // namespace

void put24(QByteArray &out, int value)
{
    char field[3];
    store24(field, value);
    out.append(field, 3);
}

int scaledAddress(int index, int scale)
{
    return int(quint32(qint64(index) * scale));
}

bool addressFits(int index, int scale)
{
    return index >= 0 && qint64(index) * scale <= fieldMax;
}

// Filled in place and taken in one allocation: every read pays for this header.
QByteArray requestHeader(char op, int area, int address, int length)
{
    char h[headerSize] = {op, 0x01, 0x01, 0x00, char(quint32(area) & 0xFF)};
    store24(h + 5, address);
    store24(h + 8, length);
    return QByteArray(h, headerSize);
}

void cutAnswer(QByteArray &answer, int length)
{
    const int keep = length + answerHeaderSize;
    if (length < 0 || length >= cutLimit || keep >= answer.size())
        return;
    answer.remove(keep, cutLimit - length);
}

bool sequenceMatches(const QByteArray &request, const QByteArray &answer)
{
    return byteAt(answer, 0) == byteAt(request, 0) && byteAt(answer, 1) == byteAt(request, 1);
}

AnswerFault checkAnswer(const QByteArray &request, const QByteArray &answer, int needs)
{
    if (!sequenceMatches(request, answer))
        return AnswerFault::WrongSequence;
    if (answer.size() < needs)
        return AnswerFault::Short;
    return AnswerFault::None;
}

QByteArray packBits(const QByteArray &wire, int offset, int bytes)
{
    QByteArray out(qMax(bytes, 0), '\0');
    for (int j = 0; j < bytes; ++j) {
        quint8 b = 0;
        for (int k = 0; k < 8; ++k)
            b |= quint8(byteAt(wire, offset + 8 * j + k) << k);
        out[j] = char(b);
    }
    return out;
}

QByteArray spreadBits(const QByteArray &data, int bytes)
{
    QByteArray out(qMax(bytes, 0) * 8, '\0');
    for (int i = 0; i < bytes; ++i) {
        for (int k = 0; k < 8; ++k)
            out[8 * i + k] = char((byteAt(data, i) >> k) & 1);
    }
    return out;
}

QByteArray leading(const QByteArray &data, int bytes)
{
    QByteArray out = data.left(qMax(bytes, 0));
    out.append(QByteArray(qMax(bytes, 0) - out.size(), '\0'));
    return out;
}

} // namespace frame
