#include "ExportTCPDLL.h"
#include "libtarvik.h"

// The one C entry point a host resolves by name. Each call makes an independent driver; the
// host owns it.
extern "C" TARVIK_EXPORT CDriveBaseClass *getSharedLibrary()
{
    return new LibTarvik;
}
