#pragma once

#include "CDriveBaseClass.h"

#include <QLibrary>
#include <QString>

// Loads the driver library the way a host runtime does: by file name, resolving only
// getSharedLibrary, and from then on using nothing but the CDriveBaseClass interface.
class DriverLibrary
{
public:
    // Where the library is looked for when no path is given: beside the host program's own
    // installation, then the dynamic loader's search path.
    static QString defaultPath();

    bool load(const QString &path, QString *error);
    CDriveBaseClass *create() const;
    // Releases the link and deletes the driver. The interface has no virtual destructor; the
    // driver is a QObject, whose destructor is virtual, so it is deleted through that.
    static void dispose(CDriveBaseClass *driver);

private:
    QLibrary library;
    GetSharedLibraryFunction factory = nullptr;
};
