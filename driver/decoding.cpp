#include "libtarvik.h"
