#include "CLabelVariable.h"

CLabelVariable::CLabelVariable() = default;

CLabelVariable::CLabelVariable(const CLabelVariable &other) = default;

CLabelVariable &CLabelVariable::operator=(const CLabelVariable &other)
{
    result = other.result;
    value = other.value;
    time = other.time;
    address = other.address;
    count = other.count;
    type = other.type;
    auxText = other.auxText;
    return *this;
}

CLabelVariable::~CLabelVariable() = default;
