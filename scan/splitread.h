#pragma once

#include "CLabelVariable.h"

// A tag's record cut out of the record of a read that covered it: its elements from `offset` on,
// and its own address and count, as a read of the tag alone would have handed them over. A
// failed read hands each tag its outcome with no values.
CLabelVariable memberRecord(const CLabelVariable &read, int offset, const QString &address,
                            int count);
