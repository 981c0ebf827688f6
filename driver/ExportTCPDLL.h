#pragma once

#include "CDriveBaseClass.h"

extern "C" CDriveBaseClass *getSharedLibrary();
