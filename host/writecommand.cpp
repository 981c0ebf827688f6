#include "writecommand.h"

#include "arguments.h"
#include "connection.h"
#include "recordformat.h"
#include "writevalues.h"

namespace {

QString writeUsage()
{
    return QStringLiteral("write ADDRESS --type TYPE [--connect CONNECTION] VALUE...");
}

} // namespace

QString writeRequestFrom(const CommandArgs &args, WriteRequest *request)
{
    if (args.positional.size() < 2 || !args.has(QStringLiteral("--type")))
        return QStringLiteral("takes ADDRESS, --type TYPE and at least one VALUE");
    int countOption = 0; // write takes no --count: the values are the elements
    QString why = checks::tag(args, args.positional.first(), &request->type, &countOption);
    if (why.isEmpty())
        why = checks::connectOption(args, false, &request->connection);
    if (!why.isEmpty())
        return why;
    const QStringList texts = args.positional.mid(1);
    const QString error = writePayload(request->type, texts, &request->payload);
    if (!error.isEmpty())
        return QStringLiteral("%1 %2").arg(recordformat::typeName(request->type), error);
    request->address = args.positional.first();
    request->count = texts.size();
    request->json = args.has(QStringLiteral("--json"));
    request->trace = args.has(QStringLiteral("--trace"));
    return QString();
}

int executeWrite(CDriveBaseClass *driver, const WriteRequest &request, QTextStream &out,
                 QTextStream &err)
{
    const bool connect = !request.connection.isEmpty();
    if (request.trace && !connect)
        driver->DebugCmd(DebugStart);
    if (connect && !connection::openOrExplain(driver, request.connection, request.trace, err))
        return 1;
    CLabelVariable record;
    record.value = request.payload;
    record = driver->WriteVariable(request.address, DataType(request.type), record, request.count);
    out << (request.json ? recordformat::asJson(record) + QLatin1Char('\n')
                         : recordformat::asText(record));
    if (connect)
        driver->DisConnectDrive();
    return record.result == 0 ? 0 : 1;
}

int runWrite(CDriveBaseClass *driver, const QStringList &args, QTextStream &out, QTextStream &err)
{
    const CommandArgs words =
        CommandArgs::parse(args, {QStringLiteral("--type"), QStringLiteral("--connect")},
                           {QStringLiteral("--json"), QStringLiteral("--trace"),
                            QStringLiteral("--csv"), QStringLiteral("--table")});
    WriteRequest request;
    const QString why = words.error.isEmpty() ? writeRequestFrom(words, &request) : words.error;
    if (!why.isEmpty()) {
        err << "write: " << why << "\n"
            << "usage: " << writeUsage() << "\n";
        return 2;
    }
    return executeWrite(driver, request, out, err);
}
