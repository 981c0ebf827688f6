#include "frame.h"
#include "testhex.h"

#include <QTest>

// The shared steps of every request builder as pure functions, byte for byte: the header with
// its 24-bit fields, the answer cut and check, bit packing and spreading.
class FrameTest : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void requestHeader_data();
    void requestHeader();
    void byteAt();
    void cutAnswer_data();
    void cutAnswer();
    void checkAnswer_data();
    void checkAnswer();
    void packBits_data();
    void packBits();
    void spreadBits_data();
    void spreadBits();
    void leading();
};

Q_DECLARE_METATYPE(frame::AnswerFault)

void FrameTest::addresses_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("scale");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("fits");
    QTest::newRow("1*4 -> 4") << 1 << 4 << 4 << true;
    QTest::newRow("4194303*4 -> fffffc") << 4194303 << 4 << 0xFFFFFC << true;
    QTest::newRow("4194304*4 -> 1000000, too wide") << 4194304 << 4 << 0x1000000 << false;
    QTest::newRow("65535*256 -> ffff00") << 65535 << 256 << 0xFFFF00 << true;
    QTest::newRow("65536*256 -> 1000000, too wide") << 65536 << 256 << 0x1000000 << false;
    QTest::newRow("16777215*1 -> ffffff") << 16777215 << 1 << 0xFFFFFF << true;
    QTest::newRow("2147483647*256 -> ffffff00, no overflow") << 2147483647 << 256 << -256 << false;
    QTest::newRow("-1*1 -> no point") << -1 << 1 << -1 << false;
}

void FrameTest::addresses()
{
    QFETCH(int, index);
    QFETCH(int, scale);
    QFETCH(int, address);
    QFETCH(bool, fits);
    QCOMPARE(frame::scaledAddress(index, scale), address);
    QCOMPARE(frame::addressFits(index, scale), fits);
}

void FrameTest::requestHeader_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("bytes");
    QTest::newRow("read 7 4 2 -> 01 01 01 00 07 00 04 00 00 02 00")
        << int(frame::readOp) << 7 << 4 << 2 << "01 01 01 00 07 00 04 00 00 02 00";
    QTest::newRow("write 28 0x010203 1467 -> 02 01 01 00 1c 01 03 02 00 bb 05")
        << int(frame::writeOp) << 28 << 0x010203 << 1467 << "02 01 01 00 1c 01 03 02 00 bb 05";
    QTest::newRow("area 0x12c keeps its low byte -> 2c")
        << int(frame::readOp) << 0x12C << 0 << 1 << "01 01 01 00 2c 00 00 00 00 01 00";
    // The 24-bit fields: bits 16-23 first, then the low 16 bits least significant byte first.
    QTest::newRow("address 0x12345678 -> 34 78 56, bits above 23 cut")
        << int(frame::readOp) << 1 << 0x12345678 << 1 << "01 01 01 00 01 34 78 56 00 01 00";
    QTest::newRow("address 0x1000000 -> 00 00 00")
        << int(frame::readOp) << 1 << 0x1000000 << 1 << "01 01 01 00 01 00 00 00 00 01 00";
    QTest::newRow("length 0xffffff -> ff ff ff")
        << int(frame::readOp) << 1 << 0 << 0xFFFFFF << "01 01 01 00 01 00 00 00 ff ff ff";
    QTest::newRow("length -1 -> ff ff ff")
        << int(frame::readOp) << 1 << 0 << -1 << "01 01 01 00 01 00 00 00 ff ff ff";
}

void FrameTest::requestHeader()
{
    QFETCH(int, op);
    QFETCH(int, area);
    QFETCH(int, address);
    QFETCH(int, length);
    QFETCH(QString, bytes);
    const QByteArray h = frame::requestHeader(char(op), area, address, length);
    QCOMPARE(h.size(), frame::headerSize);
    QCOMPARE(spacedHex(h), bytes);
}

// Bytes at and above 0x80 read the same whether char is signed or not.
void FrameTest::byteAt()
{
    const QByteArray data = hex("01 ff 80");
    const int expected[] = {0, 0x01, 0xFF, 0x80, 0};
    for (int i = -1; i <= 3; ++i)
        QCOMPARE(int(frame::byteAt(data, i)), expected[i + 1]);
}

void FrameTest::cutAnswer_data()
{
    QTest::addColumn<int>("size");   // answer bytes; byte i holds i modulo 251
    QTest::addColumn<int>("length"); // data bytes the request asked for
    QTest::addColumn<int>("kept");
    QTest::addColumn<int>("next"); // original index of the byte behind the kept ones, or -1

    QTest::newRow("10 bytes, length 2 -> 6") << 10 << 2 << 6 << -1;
    QTest::newRow("6 bytes, length 2 -> as is") << 6 << 2 << 6 << -1;
    QTest::newRow("5 bytes, length 2 -> as is (short)") << 5 << 2 << 5 << -1;
    QTest::newRow("2000 bytes, length 2 -> 534, byte 1472 next") << 2000 << 2 << 534 << 1472;
    QTest::newRow("1480 bytes, length 0 -> 12, byte 1472 next") << 1480 << 0 << 12 << 1472;
    QTest::newRow("1480 bytes, length 1467 -> 1479, byte 1471 gone")
        << 1480 << 1467 << 1479 << 1472;
    QTest::newRow("1480 bytes, length 1468 -> as is") << 1480 << 1468 << 1480 << 1472;
    QTest::newRow("1480 bytes, length -1 -> as is") << 1480 << -1 << 1480 << 4;
}

void FrameTest::cutAnswer()
{
    QFETCH(int, size);
    QFETCH(int, length);
    QFETCH(int, kept);
    QFETCH(int, next);
    QByteArray answer(size, '\0');
    for (int i = 0; i < size; ++i)
        answer[i] = char(i % 251);
    const QByteArray original = answer;
    frame::cutAnswer(answer, length);
    QCOMPARE(answer.size(), kept);
    const int head = qMax(length, 0) + frame::answerHeaderSize;
    QCOMPARE(answer.left(head), original.left(head));
    if (next >= 0)
        QCOMPARE(answer.mid(head), original.mid(next));
}

void FrameTest::checkAnswer_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("needs");
    QTest::addColumn<frame::AnswerFault>("fault");
    using F = frame::AnswerFault;
    const QString read = "01 01 01 00 07 00 04 00 00 02 00";

    QTest::newRow("01 01 00 00 05 06, needs 6 -> none")
        << read << "01 01 00 00 05 06" << 6 << F::None;
    QTest::newRow("01 01 00 00 05, needs 6 -> short") << read << "01 01 00 00 05" << 6 << F::Short;
    QTest::newRow("02 01 00 00 05 06 -> wrong sequence")
        << read << "02 01 00 00 05 06" << 6 << F::WrongSequence;
    QTest::newRow("01 02 00 00 05 06 -> wrong sequence")
        << read << "01 02 00 00 05 06" << 6 << F::WrongSequence;
    QTest::newRow("01, needs 6 -> wrong sequence before short")
        << read << "01" << 6 << F::WrongSequence;
    QTest::newRow("empty to 00 00 -> short, not matched by absent bytes") << "00 00"
                                                                          << "" << 4 << F::Short;
    QTest::newRow("ff 80 00 00 to ff 80 -> none") << "ff 80"
                                                  << "ff 80 00 00" << 4 << F::None;
}

void FrameTest::checkAnswer()
{
    QFETCH(QString, request);
    QFETCH(QString, answer);
    QFETCH(int, needs);
    QFETCH(frame::AnswerFault, fault);
    QCOMPARE(frame::checkAnswer(hex(request), hex(answer), needs), fault);
    QCOMPARE(frame::sequenceMatches(hex(request), hex(answer)),
             fault != frame::AnswerFault::WrongSequence);
}

void FrameTest::packBits_data()
{
    QTest::addColumn<QString>("wire");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QString>("packed");
    QTest::newRow("01 00 00 00 00 00 00 01 -> 81") << "0100000000000001" << 0 << 1 << "81";
    QTest::newRow("01 x8 00 01 -> ff 02") << "01010101010101010001" << 0 << 2 << "ff 02";
    QTest::newRow("at 4: 01 01 -> 03") << "0000000001010000" << 4 << 1 << "03";
    QTest::newRow("02 at bit 0 -> 02") << "02" << 0 << 1 << "02";
    QTest::newRow("ff at bit 1 -> fe") << "00ff" << 0 << 1 << "fe";
    QTest::newRow("03 at bit 7 -> 80") << "00000000000000 03" << 0 << 1 << "80";
    QTest::newRow("01, 2 bytes -> 01 00") << "01" << 0 << 2 << "01 00";
    QTest::newRow("-1 bytes -> nothing") << "01" << 0 << -1 << "";
}

void FrameTest::packBits()
{
    QFETCH(QString, wire);
    QFETCH(int, offset);
    QFETCH(int, bytes);
    QFETCH(QString, packed);
    QCOMPARE(spacedHex(frame::packBits(hex(wire), offset, bytes)), packed);
}

void FrameTest::spreadBits_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QString>("wire");
    QTest::newRow("81 -> 01 00 00 00 00 00 00 01") << "81" << 1 << "01 00 00 00 00 00 00 01";
    QTest::newRow("05 80 -> 01 00 01 00 x12 01")
        << "05 80" << 2 << "01 00 01 00 00 00 00 00 00 00 00 00 00 00 00 01";
    QTest::newRow("empty, 1 byte -> 00 x8") << "" << 1 << "00 00 00 00 00 00 00 00";
    QTest::newRow("ff ff, 1 byte -> 01 x8") << "ff ff" << 1 << "01 01 01 01 01 01 01 01";
    QTest::newRow("05, -2 bytes -> nothing") << "05" << -2 << "";
}

void FrameTest::spreadBits()
{
    QFETCH(QString, data);
    QFETCH(int, bytes);
    QFETCH(QString, wire);
    QCOMPARE(spacedHex(frame::spreadBits(hex(data), bytes)), wire);
    QCOMPARE(frame::packBits(hex(wire), 0, bytes), frame::leading(hex(data), bytes));
}

void FrameTest::leading()
{
    QCOMPARE(spacedHex(frame::leading(hex("01 02 03"), 2)), "01 02");
    QCOMPARE(spacedHex(frame::leading(hex("01"), 3)), "01 00 00");
    QCOMPARE(spacedHex(frame::leading(hex("01"), -1)), "");
}

QTEST_GUILESS_MAIN(FrameTest)
#include "tst_frame.moc"
