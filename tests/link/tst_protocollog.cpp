// The link's warning lines as the log shows them, and the markers log readers tell them apart
// by: every warning format holds its own marker and no other's.
#include "protocollog.h"

#include <QHostAddress>
#include <QtTest>

#include <array>

Q_DECLARE_METATYPE(frame::AnswerFault)

namespace {

const std::array<const char *, 6> warningMarkers = {
    protocollog::noAnswerMarker, protocollog::trailingMarker, protocollog::wrongSequenceMarker,
    protocollog::shortMarker,    protocollog::foreignMarker,  protocollog::foreignSummaryMarker,
};

} // namespace

class TestProtocolLog : public QObject
{
    Q_OBJECT

private slots:
    void faultLine_data();
    void faultLine();
    void foreignLines();
    void markers_data();
    void markers();
};

void TestProtocolLog::faultLine_data()
{
    QTest::addColumn<frame::AnswerFault>("fault");
    QTest::addColumn<QString>("line");
    using F = frame::AnswerFault;
    QTest::newRow("missing")
        << F::Missing
        << QString::fromUtf8("lib[Tarvik]返回的报文长度为0 127.0.0.1:700  AI1 len = 4 msg : 0102");
    QTest::newRow("not trusted")
        << F::NotTrusted
        << QString::fromUtf8("lib[Tarvik]127.0.0.1:700  AI1 len = 4 answer followed by more "
                             "bytes, line drained msg : 0102");
    QTest::newRow("wrong sequence")
        << F::WrongSequence
        << QString::fromUtf8("lib[Tarvik]返回的序号错误 127.0.0.1:700  AI1 len = 4 msg : 0102");
    QTest::newRow("short")
        << F::Short
        << QString::fromUtf8("lib[Tarvik]返回的报文长度不足 127.0.0.1:700  AI1 len = 4 msg : 0102");
}

void TestProtocolLog::faultLine()
{
    QFETCH(frame::AnswerFault, fault);
    QFETCH(QString, line);
    QCOMPARE(protocollog::line(protocollog::answerFaultFormat(fault),
                               QHostAddress(QStringLiteral("127.0.0.1")), 700,
                               QStringLiteral("AI1"), 4, QByteArray::fromHex("0102")),
             line);
    QVERIFY(!protocollog::answerFaultFormat(frame::AnswerFault::None));
}

void TestProtocolLog::foreignLines()
{
    QCOMPARE(QString::fromUtf8(protocollog::foreignFormat.data())
                 .arg(QStringLiteral("127.0.0.1"))
                 .arg(700)
                 .arg(QStringLiteral("127.0.0.2"))
                 .arg(40000)
                 .arg(6),
             QStringLiteral("lib[Tarvik]127.0.0.1:700  datagram from 127.0.0.2:40000 dropped "
                            "len = 6"));
    QCOMPARE(QString::fromUtf8(protocollog::foreignSummaryFormat.data())
                 .arg(QStringLiteral("127.0.0.1"))
                 .arg(700)
                 .arg(12),
             QStringLiteral("lib[Tarvik]127.0.0.1:700  12 more datagrams from other senders "
                            "dropped"));
}

void TestProtocolLog::markers_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("marker"); // index into warningMarkers
    using F = frame::AnswerFault;
    QTest::newRow("missing") << QString::fromUtf8(protocollog::answerFaultFormat(F::Missing)) << 0;
    QTest::newRow("not trusted") << QString::fromUtf8(protocollog::answerFaultFormat(F::NotTrusted))
                                 << 1;
    QTest::newRow("wrong sequence")
        << QString::fromUtf8(protocollog::answerFaultFormat(F::WrongSequence)) << 2;
    QTest::newRow("short") << QString::fromUtf8(protocollog::answerFaultFormat(F::Short)) << 3;
    QTest::newRow("foreign") << QString::fromUtf8(protocollog::foreignFormat.data()) << 4;
    QTest::newRow("foreign summary")
        << QString::fromUtf8(protocollog::foreignSummaryFormat.data()) << 5;
}

void TestProtocolLog::markers()
{
    QFETCH(QString, format);
    QFETCH(int, marker);
    for (int i = 0; i < int(warningMarkers.size()); ++i)
        QCOMPARE(format.contains(QString::fromUtf8(warningMarkers[size_t(i)])), i == marker);
}

QTEST_GUILESS_MAIN(TestProtocolLog)
#include "tst_protocollog.moc"
