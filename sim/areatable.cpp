#include "areatable.h"

#include <QStringList>

namespace sim {

const Area *areaByCode(int code)
{
    for (const Area &area : kAreas) {
        if (area.code == code)
            return &area;
    }
    return nullptr;
}

const Area *areaByName(const QString &nameOrCode)
{
    for (const Area &area : kAreas) {
        if (nameOrCode == QLatin1String(area.name))
            return &area;
    }
    bool ok = false;
    const int code = nameOrCode.toInt(&ok, 10);
    return ok ? areaByCode(code) : nullptr;
}

QString areaNames()
{
    QStringList names;
    for (const Area &area : kAreas)
        names << QStringLiteral("%1=%2").arg(QLatin1String(area.name)).arg(area.code);
    return names.join(QLatin1Char(' '));
}

} // namespace sim
