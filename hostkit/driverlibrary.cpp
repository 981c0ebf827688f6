#include "driverlibrary.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>

QString DriverLibrary::defaultPath()
{
    // The build tree keeps the library in lib/ beside bin/; an installation in its libdir.
    const QString here = QCoreApplication::applicationDirPath();
    for (const char *relative : {"/../lib", "/" TARVIK_HOST_TO_LIBDIR}) {
        const QFileInfo candidate(here + QLatin1String(relative) +
                                  QLatin1String("/libLibTarvik.so.1"));
        if (candidate.exists())
            return candidate.canonicalFilePath();
    }
    return QStringLiteral("libLibTarvik.so.1");
}

bool DriverLibrary::load(const QString &path, QString *error)
{
    library.setFileName(path);
    if (!library.load()) {
        *error = library.errorString();
        return false;
    }
    factory = reinterpret_cast<GetSharedLibraryFunction>(library.resolve("getSharedLibrary"));
    if (!factory) {
        *error = QStringLiteral("%1 has no getSharedLibrary: %2").arg(path, library.errorString());
        return false;
    }
    return true;
}

CDriveBaseClass *DriverLibrary::create() const
{
    return factory ? factory() : nullptr;
}

void DriverLibrary::dispose(CDriveBaseClass *driver)
{
    if (!driver)
        return;
    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver);
}

CDriveBaseClass *LazyDriver::get()
{
    if (!driver && loadError.isEmpty()) {
        if (library.load(path, &loadError))
            driver = library.create();
    }
    return driver;
}
