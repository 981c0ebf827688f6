#pragma once

#include "CLabelVariable.h"
#include "DataType.h"

#include <QString>

// The host runtime's driver interface. The host calls getSharedLibrary() and from then on
// talks to the driver only through these eleven operations, in this vtable order.
class CDriveBaseClass
{
public:
    virtual QString getDriveName() = 0;
    virtual QString getversion_number() = 0;
    virtual QString DebugCmd(EDebugCmdType cmd) = 0;
    virtual int ConnectDrive(QString conn) = 0;
    virtual int SetConnectPar(QString par) = 0;
    virtual int DisConnectDrive() = 0;
    virtual CLabelVariable ReadVariable(QString address, DataType type) = 0;
    virtual CLabelVariable ReadVariable(QString address, DataType type, int count) = 0;
    virtual CLabelVariable WriteVariable(QString address, DataType type, CLabelVariable record) = 0;
    virtual CLabelVariable WriteVariable(QString address, DataType type, CLabelVariable record,
                                         int count) = 0;
    virtual int DestroyFree() = 0;

protected:
    // The interface has no virtual destructor: a driver is never deleted through it.
    ~CDriveBaseClass() = default;
};

// The library's one exported C function, as a host resolves it by name: each call returns a
// new, independent driver on the heap.
using GetSharedLibraryFunction = CDriveBaseClass *(*)();
