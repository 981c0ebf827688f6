// Every header a host builds against, used as docs/integration.md describes it: the factory
// called directly (the library is linked), the driver's name and build, a read with its
// elements taken by the typed accessors and by the generic walk, a write read back, a refused
// address told by its outcome, and the driver disposed of.
//
//   every-header ADDRESS:PORT        exit status 0 when every step went as the guide says

#include <tarvik/CDriveBaseClass.h> // the interface, GetSharedLibraryFunction
#include <tarvik/CLabelVariable.h>  // the record
#include <tarvik/DataType.h>        // DataType, EDebugCmdType
#include <tarvik/ExportTCPDLL.h>    // getSharedLibrary()
#include <tarvik/TarvikExport.h>    // the export mark, empty outside the library
#include <tarvik/TarvikOutcome.h>   // tarvik::Outcome, tarvik::outcomeText()

#include <QCoreApplication>
#include <QSequentialIterable>

#include <cstdio>

namespace {

// The result in the words of the outcome table; a code that is no outcome has none.
const char *wordsFor(int result)
{
    const tarvik::OutcomeText *text = tarvik::outcomeText(result);
    return text ? text->words : "no such outcome";
}

bool expect(bool ok, const char *what)
{
    std::printf("%-44s %s\n", what, ok ? "as described" : "NOT as described");
    return ok;
}

// Two Int16 elements by the typed accessor, each access checked by its accessStatus, and the
// same elements by the generic walk that needs no element type.
bool readTwo(CDriveBaseClass *driver)
{
    CLabelVariable record = driver->ReadVariable(QStringLiteral("AI_F12"), Int16, 2);
    if (record.result != int(tarvik::Outcome::Success)) {
        std::printf("read AI_F12: %d (%s)\n", record.result, wordsFor(record.result));
        return false;
    }
    bool ok = true;
    int walked = 0;
    for (const QVariant &element : record.value.value<QSequentialIterable>()) {
        const short typed = record.atInt16(walked++);
        ok = ok && record.accessStatus == 0 && element.value<short>() == typed;
        std::printf("AI_F12[%d] = %d\n", walked - 1, typed);
    }
    record.atInt16(2); // past the end: the zero value, status 10
    ok = ok && walked == 2 && record.accessStatus == 10;
    record.atFloat(0); // not a list of float: status 11
    return ok && record.accessStatus == 11;
}

bool writeAndReadBack(CDriveBaseClass *driver)
{
    CLabelVariable out;
    out.value = QVariant::fromValue(QList<float>{1.5f});
    out = driver->WriteVariable(QStringLiteral("AO1"), Float, out, 1);
    CLabelVariable back = driver->ReadVariable(QStringLiteral("AO1"), Float, 1);
    return out.result == int(tarvik::Outcome::Success) &&
           back.result == int(tarvik::Outcome::Success) && back.atFloat(0) == 1.5f;
}

// An address with no area name is refused before anything is sent.
bool refused(CDriveBaseClass *driver)
{
    const CLabelVariable record = driver->ReadVariable(QStringLiteral("ai1"), Int16);
    std::printf("read ai1: %d (%s)\n", record.result, wordsFor(record.result));
    return record.result == int(tarvik::Outcome::NoPoint);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv); // the driver needs a Qt application on its thread
    if (argc != 2) {
        std::fprintf(stderr, "usage: every-header ADDRESS:PORT\n");
        return 2;
    }
    const GetSharedLibraryFunction factory = &getSharedLibrary;
    CDriveBaseClass *driver = factory();
    std::printf("%s %s, %s\n", qPrintable(driver->getDriveName()),
                qPrintable(driver->getversion_number()),
                qPrintable(driver->DebugCmd(DebugBuildInfo)));

    bool ok = expect(driver->ConnectDrive(QString::fromLocal8Bit(argv[1])) == 0, "connect");
    ok = expect(ok && readTwo(driver), "read, accessors and the generic walk") && ok;
    ok = expect(ok && writeAndReadBack(driver), "write, read back") && ok;
    ok = expect(refused(driver), "no area: refused, nothing sent") && ok;
    ok = expect(driver->DisConnectDrive() == 0, "disconnect") && ok;

    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver); // the interface has no virtual destructor
    return ok ? 0 : 1;
}
