#pragma once

// Moved to the shared test helpers; kept so files including it by this path still build.
#include "../support/payload.h"
