#pragma once

#include "CDriveBaseClass.h"

#include <QLibrary>
#include <QString>

// Loads the driver library the way a host runtime does: by file name, resolving only
// getSharedLibrary, and from then on using nothing but the CDriveBaseClass interface.
class DriverLibrary
{
public:
    // Where the library is looked for when no path is given: beside the program's own
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

// One driver, made on first use: a command whose words do not parse never loads the library.
class LazyDriver
{
public:
    explicit LazyDriver(const QString &path) : path(path) {}
    ~LazyDriver() { DriverLibrary::dispose(driver); }
    LazyDriver(const LazyDriver &) = delete;
    LazyDriver &operator=(const LazyDriver &) = delete;

    // The driver, or null with error() saying why the library did not load.
    CDriveBaseClass *get();
    QString error() const { return loadError; }
    QString libraryPath() const { return path; }

private:
    QString path;
    DriverLibrary library;
    CDriveBaseClass *driver = nullptr;
    QString loadError;
};
