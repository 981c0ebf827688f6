#include "scanplan.h"

#include <QTest>

// Which requests a tag list becomes: rows give the tags as ADDRESS:TYPE:COUNT[:INTERVAL] and the
// reads as ADDRESS:COUNT[members by tag index@element offset].
class ScanPlanTest : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
};

namespace {

QVector<ScanTag> tagsFrom(const QString &text)
{
    QVector<ScanTag> tags;
    for (const QString &item : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList f = item.split(QLatin1Char(':'));
        tags.append({f[0], f[1].toInt(), f[2].toInt(), f.value(3, QStringLiteral("100")).toInt()});
    }
    return tags;
}

QString readsText(const QVector<PlannedRead> &reads)
{
    QStringList out;
    for (const PlannedRead &r : reads) {
        QStringList members;
        for (const ReadMember &m : r.members)
            members << QStringLiteral("%1@%2").arg(m.tag).arg(m.offset);
        out << QStringLiteral("%1:%2[%3]").arg(r.address).arg(r.count).arg(members.join(','));
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

void ScanPlanTest::plan_data()
{
    QTest::addColumn<QString>("tags");
    QTest::addColumn<int>("gap");
    QTest::addColumn<QString>("reads");

    // Types: 1 Bool, 2 Int8, 3 UInt8, 4 Int16, 6 Int32, 9 Int64, 12 String.
    QTest::newRow("AI Int16 neighbours, four bytes per point")
        << "AI1:4:1 AI2:4:1 AI4:4:2" << 16 << "AI1:8[0@0,1@2,2@6]";
    QTest::newRow("gap beyond the fill splits")
        << "AI1:4:1 AI9:4:1" << 3 << "AI1:1[0@0] AI9:1[1@0]";
    QTest::newRow("gap within the fill") << "AI1:4:1 AI9:4:1" << 15 << "AI1:17[0@0,1@16]";
    QTest::newRow("list order kept, members by point")
        << "AI3:6:1 AI1:6:1" << 16 << "AI1:3[1@0,0@2]";
    QTest::newRow("types and intervals apart")
        << "AI1:4:1 AI2:6:1 AI3:4:1:500" << 16 << "AI1:1[0@0] AI2:1[1@0] AI3:1[2@0]";
    QTest::newRow("Int64 at odd points does not line up")
        << "AI1:9:1 AI2:9:1 AI3:9:1" << 16 << "AI1:2[0@0,2@1] AI2:1[1@0]";
    QTest::newRow("Custom Int16, one byte per point")
        << "Custom1:4:1 Custom3:4:1 Custom2:4:1" << 16 << "Custom1:2[0@0,1@1] Custom2:1[2@0]";
    QTest::newRow("bit area bytes on whole bytes")
        << "DI1:3:1 DI9:3:1 DI4:3:1" << 16 << "DI1:2[0@0,1@1] DI4:1[2@0]";
    QTest::newRow("Bool one per point") << "DI_F1:1:3 DI_F5:1:2" << 16 << "DI_F1:6[0@0,1@4]";
    QTest::newRow("AI bytes in whole units, a cut count alone")
        << "AI1:3:4 AI2:3:4 AI3:3:5" << 16 << "AI1:8[0@0,1@4] AI3:5[2@0]";
    QTest::newRow("texts up to five slots")
        << "SI1:12:2 SI3:12:3 SI6:12:1" << 16 << "SI1:5[0@0,1@2] SI6:1[2@0]";
    QTest::newRow("up to the largest transfer")
        << "AI1:9:150 AI51:9:150" << 200 << "AI1:175[0@0,1@25]";
    QTest::newRow("never past the largest transfer")
        << "AI1:9:150 AI101:9:150" << 200 << "AI1:150[0@0] AI101:150[1@0]";
    QTest::newRow("refused tags read alone")
        << "AI1:4:1 AI1:7:0 XY1:4:1 AI2:4:1" << 16 << "AI1:3[0@0,3@2] AI1:0[1@0] XY1:1[2@0]";
    QTest::newRow("address beyond the field alone")
        << "Custom16777216:3:2 Custom16777217:3:2" << 16
        << "Custom16777216:2[0@0] Custom16777217:2[1@0]";
}

void ScanPlanTest::plan()
{
    QFETCH(QString, tags);
    QFETCH(int, gap);
    QFETCH(QString, reads);
    QCOMPARE(readsText(planReads(tagsFrom(tags), {true, gap})), reads);
    // Without merging every tag is read alone, as it names itself.
    for (const PlannedRead &r : planReads(tagsFrom(tags), {false, gap}))
        QVERIFY(!r.merged());
}

QTEST_GUILESS_MAIN(ScanPlanTest)
#include "tst_scanplan.moc"
