#include "writecommand.h"

#include "arguments.h"
#include "connection.h"
#include "recordformat.h"

#include <QList>

#include <array>
#include <limits>
#include <type_traits>

namespace {

// A payload made of the command's values, or the reason one of them does not fit the type.
struct Parsed
{
    QVariant payload;
    QString error;
};

using Parser = Parsed (*)(const QStringList &texts);

template <typename R> using WideOf = std::conditional_t<std::is_signed_v<R>, qlonglong, qulonglong>;

// Whole numbers in decimal, or hexadecimal after 0x.
template <typename Wide> Wide parseWhole(QString text, bool *ok)
{
    int base = 10;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        text = text.mid(2);
        base = 16;
    }
    if constexpr (std::is_signed_v<Wide>)
        return text.toLongLong(ok, base);
    else
        return text.toULongLong(ok, base);
}

// One value as element type E, within the range of R. The range of Int8 is that of a signed
// byte on every platform, whatever the sign of plain char there.
template <typename E, typename R = E> bool parseElement(const QString &text, E *e)
{
    bool ok = false;
    if constexpr (std::is_same_v<E, bool>) {
        const QString t = text.toLower();
        ok = t == QLatin1String("true") || t == QLatin1String("1") || t == QLatin1String("false") ||
             t == QLatin1String("0");
        *e = t == QLatin1String("true") || t == QLatin1String("1");
    } else if constexpr (std::is_same_v<E, QString>) {
        ok = true;
        *e = text;
    } else if constexpr (std::is_same_v<E, float>) {
        *e = text.toFloat(&ok); // refuses what a float cannot hold
    } else if constexpr (std::is_same_v<E, double>) {
        *e = text.toDouble(&ok);
    } else {
        using Wide = WideOf<R>;
        const Wide v = parseWhole<Wide>(text, &ok);
        ok = ok && v >= Wide(std::numeric_limits<R>::min()) &&
             v <= Wide(std::numeric_limits<R>::max());
        *e = E(v);
    }
    return ok;
}

template <typename E, typename R = E> QString rangeOf()
{
    if constexpr (std::is_same_v<E, bool>)
        return QStringLiteral("true, false, 1 or 0");
    else if constexpr (std::is_same_v<E, QString>)
        return QStringLiteral("any text");
    else if constexpr (std::is_floating_point_v<E>)
        return QStringLiteral("a number within its range");
    else
        return QStringLiteral("%1 to %2")
            .arg(WideOf<R>(std::numeric_limits<R>::min()))
            .arg(WideOf<R>(std::numeric_limits<R>::max()));
}

template <typename E, typename R = E> Parsed parseValues(const QStringList &texts)
{
    QList<E> list;
    for (const QString &text : texts) {
        E e{};
        if (!parseElement<E, R>(text, &e))
            return {QVariant(), QStringLiteral("%1 is out of range or not a value of this type: "
                                               "it takes %2")
                                    .arg(text, rangeOf<E, R>())};
        list.append(e);
    }
    return {QVariant::fromValue(list), QString()};
}

// Indexed by type code.
constexpr std::array<Parser, 13> parsers = {
    nullptr,
    &parseValues<bool>,
    &parseValues<char, signed char>,
    &parseValues<unsigned char>,
    &parseValues<short>,
    &parseValues<unsigned short>,
    &parseValues<int>,
    &parseValues<unsigned int>,
    &parseValues<float>,
    &parseValues<long long>,
    &parseValues<unsigned long long>,
    &parseValues<double>,
    &parseValues<QString>,
};

// A type the driver does not transfer gets no payload: the driver's refusal is the answer.
Parsed payloadOf(int type, const QStringList &texts)
{
    const bool known = type > 0 && type < int(parsers.size());
    return known ? parsers[size_t(type)](texts) : Parsed{};
}

} // namespace

QString writePayload(int type, const QStringList &texts, QVariant *payload)
{
    const Parsed parsed = payloadOf(type, texts);
    *payload = parsed.payload;
    return parsed.error;
}

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
