#pragma once

#include "DataType.h"
#include "TarvikExport.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

// One tag access as it crosses between host and driver: the typed values, the tag they belong
// to and the outcome. Records are created, copied and destroyed on both sides of the library
// boundary, so the fields, their order and the copy rules are fixed by the host's interface.
class TARVIK_EXPORT CLabelVariable
{
public:
    int result = 1;       // outcome of the operation that produced the record; 1 = new record
    int accessStatus = 1; // outcome of the latest element access: 0, 1 (none yet), 10, 11
    QVariant value;       // payload: a QList of the element type that `type` selects
    QDateTime time;       // when the payload was taken
    QString address;      // tag address text as the host passed it
    int count = 0;        // number of elements the record stands for
    DataType type = DataType(0);
    int auxValue = 0; // carried by copy construction only; assignment keeps the target's
    QString auxText;  // carried by copy construction and assignment, compared by ==

    CLabelVariable();
    CLabelVariable(const CLabelVariable &other);
    // Takes everything but accessStatus and auxValue, which stay the target's own.
    CLabelVariable &operator=(const CLabelVariable &other);
    ~CLabelVariable();

    // Element accessors: element i of the payload, or the zero value with accessStatus 10
    // (index outside the list) or 11 (payload is not a list of that element type).
    bool atbool(int i);
    char atchar(int i);
    char atInt8(int i);
    unsigned char atUInt8(int i);
    short atInt16(int i);
    unsigned short atUInt16(int i);
    int atInt32(int i);
    unsigned int atUInt32(int i);
    float atFloat(int i);
    long long atInt64(int i);
    unsigned long long atUInt64(int i);
    double atDouble(int i);
    QString atQString(int i);

    // Element-wise arithmetic and comparison; the left operand's type picks the element type.
    CLabelVariable operator+(CLabelVariable const &other);
    CLabelVariable operator-(CLabelVariable const &other);
    CLabelVariable operator*(CLabelVariable const &other);
    CLabelVariable operator/(CLabelVariable const &other);
    bool operator==(CLabelVariable const &other);
};
