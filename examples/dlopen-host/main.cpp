// Loads the driver library at run time, as host runtimes do: dlopen, then getSharedLibrary
// resolved by name; nothing else of the library is linked. Reads one tag and prints it.
//
//   dlopen-host ADDRESS:PORT [LIBRARY]     LIBRARY: default libLibTarvik.so.1 (the loader's path)

#include <tarvik/CDriveBaseClass.h>

#include <QCoreApplication>
#include <QSequentialIterable>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv); // the driver needs Qt's event dispatcher on its thread
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
        std::fprintf(help ? stdout : stderr, "usage: dlopen-host ADDRESS:PORT [LIBRARY]\n");
        return help ? 0 : 2;
    }
    const char *library = argc == 3 ? argv[2] : "libLibTarvik.so.1";

    // Stays loaded to the end: records and drivers made by it must not outlive it.
    void *handle = dlopen(library, RTLD_NOW);
    auto factory =
        handle ? reinterpret_cast<GetSharedLibraryFunction>(dlsym(handle, "getSharedLibrary"))
               : nullptr;
    if (!factory) {
        std::fprintf(stderr, "cannot load the driver: %s\n", dlerror());
        return 1;
    }
    CDriveBaseClass *driver = factory();
    std::printf("%s %s\n", qPrintable(driver->getDriveName()),
                qPrintable(driver->getversion_number()));

    int status = 1;
    const int connected = driver->ConnectDrive(QString::fromLocal8Bit(argv[1]));
    if (connected == 0) {
        CLabelVariable record = driver->ReadVariable(QStringLiteral("AI_F12"), Int16, 2);
        std::printf("AI_F12 result %d:", record.result);
        for (const QVariant &element : record.value.value<QSequentialIterable>())
            std::printf(" %s", qPrintable(element.toString()));
        std::printf("\n");
        status = record.result == 0 ? 0 : 1;
        driver->DisConnectDrive();
    } else {
        std::fprintf(stderr, "connect %s: %d\n", argv[1], connected);
    }
    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver); // a QObject: its destructor is virtual
    return status;
}
