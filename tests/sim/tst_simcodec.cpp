// Frames the simulator takes, refuses and answers, as hex tables.
#include "areatable.h"
#include "framecodec.h"
#include "memoryimage.h"
#include "wire.h"

#include <QtTest>

using namespace sim;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

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
    void field24_data();
    void field24();
    void readAnswer_data();
    void readAnswer();
    void writeStores_data();
    void writeStores();
    void textItemsFillSlots_data();
    void textItemsFillSlots();
    void refused_data();
    void refused();
    void extent_data();
    void extent();
    void slotTextIsCutAt255();
};

void TestSimCodec::field24_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<quint32>("value");
    QTest::newRow("12 56 34 -> 0x123456") << hex("125634") << quint32(0x123456);
    QTest::newRow("00 0a 00 -> 10") << hex("000a00") << quint32(10);
    QTest::newRow("00 00 04 -> 1024") << hex("000004") << quint32(1024);
    QTest::newRow("ff ff ff -> 0xffffff") << hex("ffffff") << quint32(0xffffff);
}

void TestSimCodec::field24()
{
    QFETCH(QByteArray, wire);
    QFETCH(quint32, value);
    QCOMPARE(field24At(wire, 0), value);
    QCOMPARE(encodeField24(value), wire);
}

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
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("area");
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<QByteArray>("stored"); // what a read of that many bytes gives afterwards

    QTest::newRow("AI_F 12 <- 11 22 33 44")
        << hex("0201010008000c0000040011223344") << 8 << quint32(12) << hex("1122334400");
    QTest::newRow("DO_F 16 bits <- one byte per bit as sent")
        << hex("0201010005000000001000"
               "0101000000000000"
               "0000000000000001")
        << 5 << quint32(0) << hex("01010000000000000000000000000001");
    QTest::newRow("DI 10 bits <- 8 bytes, bits 8-9 not sent stay 0")
        << hex("0201010001000000000a00"
               "0100010001000100")
        << 1 << quint32(0) << hex("01000100010001000000");
    QTest::newRow("DI 3 elements at 3 <- 01 00 01") << hex("0201010001000300000300"
                                                           "010001")
                                                    << 1 << quint32(3) << hex("01000100");
    QTest::newRow("AO 2 elements <- 01 00") << hex("020101000a000000000200"
                                                   "0100")
                                            << 10 << quint32(0) << hex("0100");
    QTest::newRow("SA 6 <- ab cd") << hex("020101000e000600000200"
                                          "abcd")
                                   << 14 << quint32(6) << hex("abcd00");
    QTest::newRow("LW 0 <- 64-bit value kept least significant byte first")
        << hex("0201010018000000000800"
               "0807060504030201")
        << 24 << quint32(0) << hex("0807060504030201");
    QTest::newRow("Custom 0xffffff <- aa bb") << hex("020101001dffffff000200"
                                                     "aabb")
                                              << 29 << quint32(0xffffff) << hex("aabb00");
    QTest::newRow("DI_S bytes other than 00/01 kept") << hex("0201010003000000000800"
                                                             "02ff000000000080")
                                                      << 3 << quint32(0) << hex("02ff000000000080");
}

void TestSimCodec::writeStores()
{
    QFETCH(QByteArray, request);
    QFETCH(int, area);
    QFETCH(quint32, offset);
    QFETCH(QByteArray, stored);

    MemoryImage image;
    QString why;
    const std::optional<Request> parsed = parseRequest(request, &why);
    QVERIFY2(parsed, qPrintable(why));
    QCOMPARE(answerRequest(*parsed, image), std::optional<QByteArray>(hex("02010000")));
    QCOMPARE(hexText(image.read(area, offset, quint32(stored.size()))), hexText(stored));
}

void TestSimCodec::textItemsFillSlots_data()
{
    QTest::addColumn<QByteArray>("before"); // slot 0 of the string area
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("slot");
    QTest::addColumn<QByteArray>("texts"); // slot after slot as [n][text]

    QTest::newRow("slot 4 <- 03 41 42 43")
        << QByteArray() << hex("020101001c00000400000103414243") << 4 << hex("03414243");
    QTest::newRow("slots 2-3 <- 02 68 69, 00") << QByteArray()
                                               << hex("020101001c0000020000020268"
                                                      "6900")
                                               << 2
                                               << hex("026869"
                                                      "00");
    QTest::newRow("slot 0: shorter text clears the old tail")
        << hex("054141414141") << hex("020101001c0000000000010142") << 0 << hex("0142");
    QTest::newRow("slot 1 <- empty text") << QByteArray()
                                          << hex("020101001c000001000001"
                                                 "00")
                                          << 1 << hex("00");
}

void TestSimCodec::textItemsFillSlots()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, request);
    QFETCH(int, slot);
    QFETCH(QByteArray, texts);

    MemoryImage image;
    image.write(kStringArea, 0, before);
    QString why;
    const std::optional<Request> parsed = parseRequest(request, &why);
    QVERIFY2(parsed, qPrintable(why));
    QVERIFY(answerRequest(*parsed, image));
    for (int at = 0, k = slot; at < texts.size(); ++k) {
        const QByteArray text = texts.mid(at + 1, quint8(texts.at(at)));
        QCOMPARE(hexText(image.read(kStringArea, quint32(k) * kSlotSize, kSlotSize)),
                 hexText(slotBytes(text)));
        at += 1 + text.size();
    }
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

void TestSimCodec::extent_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("longerSize");

    const int incomplete = FrameExtent::Incomplete;
    const int complete = FrameExtent::Complete;
    const int malformed = FrameExtent::Malformed;
    QTest::newRow("(empty) -> more") << QByteArray() << incomplete << 0 << 0;
    QTest::newRow("04 -> more") << hex("04") << incomplete << 0 << 0;
    QTest::newRow("04 01 01 01 -> 2") << hex("04010101") << complete << 2 << 0;
    QTest::newRow("04 05 -> malformed") << hex("0405") << malformed << 0 << 0;
    QTest::newRow("05 -> malformed") << hex("05") << malformed << 0 << 0;
    QTest::newRow("01 01 01 -> more") << hex("010101") << incomplete << 0 << 0;
    QTest::newRow("01 02 -> malformed") << hex("0102") << malformed << 0 << 0;
    QTest::newRow("read + next frame -> 11") << hex("0101010007000000000400"
                                                    "0401")
                                             << complete << 11 << 0;
    QTest::newRow("write missing 2 data bytes -> more")
        << hex("02010100070000000004001122") << incomplete << 0 << 0;
    QTest::newRow("write of 4 -> 15")
        << hex("020101000700000000040011223344") << complete << 15 << 0;
    QTest::newRow("DI write of 3 -> 11 or 14")
        << hex("0201010001000000000300") << complete << 11 << 14;
    QTest::newRow("DI write of 16 -> 27 only") << hex("0201010001000000001000"
                                                      "00000000000000000000000000000000")
                                               << complete << 27 << 0;
    QTest::newRow("2 text items, second length missing -> more")
        << hex("020101001c0000000000020141") << incomplete << 0 << 0;
    QTest::newRow("2 text items -> 14")
        << hex("020101001c000000000002014100") << complete << 14 << 0;
}

void TestSimCodec::extent()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, status);
    QFETCH(int, size);
    QFETCH(int, longerSize);

    const FrameExtent extent = frameExtent(stream);
    QCOMPARE(int(extent.status), status);
    if (status == FrameExtent::Complete) {
        QCOMPARE(extent.size, size);
        QCOMPARE(extent.longerSize, longerSize);
    }
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
