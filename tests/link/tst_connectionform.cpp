// Which form of link a connection string opens, and its fields: the rule the driver connects by
// and the host program checks by.
#include "connectionform.h"

#include <QtTest>

Q_DECLARE_METATYPE(tarvik::LinkForm)

class TestConnectionForm : public QObject
{
    Q_OBJECT

private slots:
    void form_data();
    void form();
};

void TestConnectionForm::form_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<tarvik::LinkForm>("form");
    QTest::addColumn<QStringList>("fields");
    using F = tarvik::LinkForm;
    QTest::newRow("127.0.0.1:700 -> udp")
        << "127.0.0.1:700" << F::Udp << QStringList{"127.0.0.1", "700"};
    QTest::newRow("ttyS1,9600,8,1 -> serial")
        << "ttyS1,9600,8,1" << F::Serial << QStringList{"ttyS1", "9600", "8", "1"};
    // Two ":"-fields decide before any comma is counted.
    QTest::newRow("a,b,c:d,e -> udp") << "a,b,c:d,e" << F::Udp << QStringList{"a,b,c", "d,e"};
    QTest::newRow(":  -> udp, empty fields") << ":" << F::Udp << QStringList{"", ""};
    QTest::newRow(",,, -> serial, empty fields")
        << ",,," << F::Serial << QStringList{"", "", "", ""};
    QTest::newRow("::1:700 -> none") << "::1:700" << F::None << QStringList();
    QTest::newRow("ttyS1,9600,8 -> none") << "ttyS1,9600,8" << F::None << QStringList();
    QTest::newRow("a:b,c,d,e:f -> serial")
        << "a:b,c,d,e:f" << F::Serial << QStringList{"a:b", "c", "d", "e:f"};
    QTest::newRow("\"\" -> none") << "" << F::None << QStringList();
}

void TestConnectionForm::form()
{
    QFETCH(QString, text);
    QFETCH(tarvik::LinkForm, form);
    QFETCH(QStringList, fields);
    const tarvik::ConnectionForm c = tarvik::connectionForm(text);
    QCOMPARE(c.form, form);
    QCOMPARE(c.fields, fields);
}

QTEST_GUILESS_MAIN(TestConnectionForm)
#include "tst_connectionform.moc"
