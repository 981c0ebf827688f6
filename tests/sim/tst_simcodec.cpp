// Frames the simulator takes, refuses and answers, as hex tables.
#include "areatable.h"
#include "framecodec.h"
#include "memoryimage.h"
#include "testhex.h"
#include "wire.h"

#include <QtTest>

using namespace sim;

namespace {

struct Poke
{
    int area;
    quint32 offset;
    QByteArray bytes;
};

MemoryImage imageWith(const QVector<Poke> &pokes)
{
    MemoryImage image;
    for (const Poke &poke : pokes)
        image.write(poke.area, poke.offset, poke.bytes);
    return image;
}

} // namespace

Q_DECLARE_METATYPE(QVector<Poke>)

class TestSimCodec : public QObject
{
    Q_OBJECT

private slots:
    void readAnswer_data();
    void readAnswer();
    void writeStores_data();
    void writeStores();
    void refused_data();
    void refused();
    void slotTextIsCutAt255();
};

void TestSimCodec::readAnswer_data()
{
    QTest::addColumn<QVector<Poke>>("pokes");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answerStart");
    QTest::addColumn<int>("answerSize"); // zeros after answerStart

    QTest::newRow("04 01 -> 04 01") << QVector<Poke>{} << hex("0401") << hex("0401") << 2;
    QTest::newRow("AI 20, 8 bytes -> 01 01 00 00 11..88")
        << QVector<Poke>{{7, 20, hex("1122334455667788")}, {7, 28, hex("99")}}
        << hex("0101010007001400000800") << hex("010100001122334455667788") << 12;
    QTest::newRow("DI_F 0, 16 bits -> one byte per bit")
        << QVector<Poke>{{2, 0, hex("0100000000000001")}} << hex("0101010002000000001000")
        << hex("010100000100000000000001") << 20;
    QTest::newRow("AO never written -> zeros")
        << QVector<Poke>{{7, 0, hex("ffffffff")}} << hex("010101000a000000000400")
        << hex("01010000") << 8;
    QTest::newRow("SI slots 1-2 -> 512 slot bytes")
        << QVector<Poke>{{28, 256, hex("03616263")}, {28, 768, hex("0178")}}
        << hex("010101001c000001000002") << hex("0101000003616263") << 4 + 512;
    QTest::newRow("Custom at 0xffffff -> stored bytes then zeros")
        << QVector<Poke>{{29, 0xffffff, hex("abcd")}} << hex("010101001dffffff000400")
        << hex("01010000abcd") << 8;
    QTest::newRow("length 0 -> header only")
        << QVector<Poke>{} << hex("0101010007000000000000") << hex("01010000") << 4;
}

void TestSimCodec::readAnswer()
{
    QFETCH(QVector<Poke>, pokes);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answerStart);
    QFETCH(int, answerSize);

    MemoryImage image = imageWith(pokes);
    QString why;
    const std::optional<Request> parsed = parseRequest(request, &why);
    QVERIFY2(parsed, qPrintable(why));
    const std::optional<QByteArray> answer = answerRequest(*parsed, image);
    QVERIFY(answer);
    QCOMPARE(answer->size(), answerSize);
    QCOMPARE(hexText(answer->left(answerStart.size())), hexText(answerStart));
    QCOMPARE(answer->mid(answerStart.size()), QByteArray(answerSize - answerStart.size(), '\0'));
}

void TestSimCodec::writeStores_data()
{
    QTest::addColumn<QByteArray>("before"); // at area and offset, ahead of the write
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("area");
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<QByteArray>("stored"); // what a read of that many bytes gives afterwards

    QTest::newRow("AI_F 12 <- 11 22 33 44") << QByteArray() << hex("0201010008000c0000040011223344")
                                            << 8 << quint32(12) << hex("1122334400");
    QTest::newRow("DO_F 16 bits <- one byte per bit as sent")
        << QByteArray() << hex("0201010005000000001000 0101000000000000 0000000000000001") << 5
        << quint32(0) << hex("01010000000000000000000000000001");
    QTest::newRow("DI 10 bits <- 8 bytes, bits 8-9 not sent stay 0")
        << QByteArray() << hex("0201010001000000000a00 0100010001000100") << 1 << quint32(0)
        << hex("01000100010001000000");
    QTest::newRow("DI 3 elements at 3 <- 01 00 01")
        << QByteArray() << hex("0201010001000300000300 010001") << 1 << quint32(3)
        << hex("01000100");
    QTest::newRow("AO 2 elements <- 01 00")
        << QByteArray() << hex("020101000a000000000200 0100") << 10 << quint32(0) << hex("0100");
    QTest::newRow("SA 6 <- ab cd")
        << QByteArray() << hex("020101000e000600000200 abcd") << 14 << quint32(6) << hex("abcd00");
    QTest::newRow("LW 0 <- 64-bit value kept least significant byte first")
        << QByteArray() << hex("0201010018000000000800 0807060504030201") << 24 << quint32(0)
        << hex("0807060504030201");
    QTest::newRow("Custom 0xffffff <- aa bb") << QByteArray() << hex("020101001dffffff000200 aabb")
                                              << 29 << quint32(0xffffff) << hex("aabb00");
    QTest::newRow("DI_S bytes other than 00/01 kept")
        << QByteArray() << hex("0201010003000000000800 02ff000000000080") << 3 << quint32(0)
        << hex("02ff000000000080");
    QTest::newRow("SI slot 4 <- 03 41 42 43")
        << QByteArray() << hex("020101001c00000400000103414243") << 28 << 1024u
        << hex("0341424300");
    QTest::newRow("SI slots 2-3 <- 02 68 69, 00: old text cleared")
        << hex("05414141414141") << hex("020101001c0000020000020268 6900") << 28 << 512u
        << hex("0268690000000000");
}

void TestSimCodec::writeStores()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, request);
    QFETCH(int, area);
    QFETCH(quint32, offset);
    QFETCH(QByteArray, stored);

    MemoryImage image;
    image.write(area, offset, before);
    QString why;
    const std::optional<Request> parsed = parseRequest(request, &why);
    QVERIFY2(parsed, qPrintable(why));
    QCOMPARE(answerRequest(*parsed, image), std::optional<QByteArray>(hex("02010000")));
    QCOMPARE(hexText(image.read(area, offset, quint32(stored.size()))), hexText(stored));
}

void TestSimCodec::refused_data()
{
    QTest::addColumn<QByteArray>("frame");

    const char *rows[] = {
        "",
        "04",
        "0402",
        "040100",
        "01010100070000000004",                     // 10 bytes
        "010101000700000000040000",                 // a read of 12 bytes
        "0301010007000000000400",                   // unknown command
        "0102010007000000000400",                   // byte 1
        "0101000007000000000400",                   // byte 2
        "0101010107000000000400",                   // byte 3
        "0101010000000000000400",                   // area 0
        "0101010019000000000400",                   // area 25 has no name
        "010101001e000000000400",                   // area 30
        "010101000700000000bd05",                   // read length 1469
        "0101010007000000000011",                   // read of 17 slots
        "02010100070000000004001122 33",            // write data short
        "020101000700000000040011223344 55",        // write data long
        "0201010001000000000a00010203040506070809", // bit area: neither 8 nor 10 bytes
        "020101001c000000000001034142",             // text item cut short
        "020101001c0000000000010141ff",             // bytes behind the last text item
        "020101001c0000000000110141",               // 17 text slots
        "0201010007000000bd0500",                   // write length 1469
    };
    for (const char *row : rows) {
        const QByteArray frame = QByteArray::fromHex(QByteArray(row).replace(' ', ""));
        QTest::newRow(qPrintable(hexText(frame).isEmpty() ? "(empty)" : hexText(frame))) << frame;
    }
}

void TestSimCodec::refused()
{
    QFETCH(QByteArray, frame);
    QString why;
    QVERIFY(!parseRequest(frame, &why));
    QVERIFY(!why.isEmpty());
}

void TestSimCodec::slotTextIsCutAt255()
{
    const QByteArray slot = slotBytes(QByteArray(300, 'x'));
    QCOMPARE(slot.size(), int(kSlotSize));
    QCOMPARE(quint8(slot.at(0)), quint8(255));
    QCOMPARE(slot.mid(1), QByteArray(255, 'x'));
}

QTEST_APPLESS_MAIN(TestSimCodec)
#include "tst_simcodec.moc"
