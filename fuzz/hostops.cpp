#include "hostops.h"

#include "DataType.h"

#include <QList>

namespace hostops {

namespace {

const char *const names[] = {"DI",   "DI_F",   "DI_S", "DO",   "DO_F", "DO_S",   "AI",  "AI_F",
                             "AI_S", "AO",     "AO_F", "AO_S", "SD",   "SA",     "NDI", "NDO",
                             "NAI",  "NAO",    "HDS",  "HDP",  "HAI",  "LD",     "LA",  "LW",
                             "SI",   "Custom", "di",   "D",    "SI_",  "CUSTOM", ""};
constexpr int nameCount = int(sizeof names / sizeof names[0]);

} // namespace

QString areaName(quint8 index)
{
    return QLatin1String(names[index % nameCount]);
}

QByteArray text(const QByteArray &bytes)
{
    const QByteArray kept = bytes.left(255);
    return char(quint8(kept.size())) + kept;
}

QByteArray address(const char *area, quint32 point)
{
    QByteArray out;
    out.append(char(NamePoint));
    int index = 0;
    while (index < nameCount - 1 && qstrcmp(names[index], area) != 0)
        ++index;
    out.append(char(index));
    out.append(char(point & 0xFF)).append(char((point >> 8) & 0xFF)).append(char(point >> 16));
    return out;
}

QByteArray count(quint16 value)
{
    QByteArray out;
    out.append(char(countTableSize)); // not a table entry: 16 bits follow
    out.append(char(value & 0xFF)).append(char(value >> 8));
    return out;
}

QByteArray shortRecord(const QList<short> &values)
{
    QByteArray out;
    out.append(char(Int16)).append(char(quint8(values.size())));
    for (short v : values)
        out.append(char(quint16(v) & 0xFF)).append(char(quint16(v) >> 8));
    return out;
}

QByteArray textRecord(const QList<QByteArray> &texts)
{
    QByteArray out;
    out.append(char(String)).append(char(quint8(texts.size())));
    for (const QByteArray &t : texts)
        out.append(text(t));
    return out;
}

} // namespace hostops
