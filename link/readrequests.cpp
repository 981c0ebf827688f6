#include "CmdTarvik.h"
