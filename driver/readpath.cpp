#include "libtarvik.h"

CLabelVariable LibTarvik::ReadVariable(QString address, DataType type)
{
    return ReadVariable(address, type, 1);
}

CLabelVariable LibTarvik::ReadVariable(QString address, DataType type, int count)
{
    CLabelVariable record;
    record.time = QDateTime::currentDateTime();
    record.result = 2; // tag reads are not served by this build yet
    record.address = address;
    record.count = count;
    record.type = type;
    return record;
}
