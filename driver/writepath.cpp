#include "libtarvik.h"

CLabelVariable LibTarvik::WriteVariable(QString address, DataType type, CLabelVariable record)
{
    return WriteVariable(address, type, record, 1);
}

CLabelVariable LibTarvik::WriteVariable(QString address, DataType type, CLabelVariable record,
                                        int count)
{
    record.result = 2; // tag writes are not served by this build yet
    record.address = address;
    record.count = count;
    record.type = type;
    return record;
}
