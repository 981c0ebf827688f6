#pragma once

#include "CLabelVariable.h"

// A tag's record cut out of the record of a read that covered it: its elements from `offset` on,
// and its own address and count, as a read of the tag alone would have handed them over. A
// failed read hands each tag its outcome with no values.
//
// The record is written into `member`, whose storage is used again: a member kept from one cut
// to the next takes a value of the same type in place, without the construction and destruction
// through Qt's type registry that a new QVariant of a list costs, which is more than the cut.
void cutMember(const CLabelVariable &read, int offset, const QString &address, int count,
               CLabelVariable &member);
