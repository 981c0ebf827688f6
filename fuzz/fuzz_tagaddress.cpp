// Tag addresses: the area named at the head of the text, the point number made of its digits,
// and the transfer length of a type and count in that area; then a read and a write of that
// tag on a driver with no link, which must be refused or end at the missing link.
//
// Input: type (8 bits, signed), count (32 bits), how the text is encoded (UTF-8, Latin-1,
// UTF-16), the text.

#include "fuzzsupport.h"
#include "libtarvik.h"
#include "tagaddress.h"

#include <QSet>

#include <climits>

namespace {

LibTarvik *driver = nullptr;

// The point number a reader of the address sees: all its decimal digits in a row, as written.
// -1 when there are none, when they make 0, or when the number is beyond the largest index + 1.
int expectedIndex(const QString &address)
{
    QString digits;
    for (QChar c : address) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits.append(c);
    }
    while (digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    if (digits.isEmpty() || digits.size() > 10)
        return -1;
    const qint64 number = digits.toLongLong();
    return number > qint64(INT_MAX) + 1 ? -1 : int(number - 1);
}

QString textOf(quint8 encoding, const QByteArray &bytes)
{
    switch (encoding % 3) {
    case 0:
        return QString::fromUtf8(bytes);
    case 1:
        return QString::fromLatin1(bytes);
    default:
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()),
                                  bytes.size() / 2);
    }
}

int fixedWidth(int type)
{
    static const int widths[] = {0, 1, 0, 0, 2, 2, 4, 4, 4, 8, 8, 8, 1};
    return type >= 0 && type <= String ? widths[type] : 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::startQt(argc, argv);
    driver = new LibTarvik;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int type = qint8(in.u8());
    const int count = int(in.u32());
    const quint8 encoding = in.u8();
    const QString address = textOf(encoding, in.rest());
    const QString what =
        QStringLiteral("address '%1' type %2 count %3").arg(address.left(80)).arg(type).arg(count);

    // The area whose name heads the text, and never a shorter name when a longer one fits.
    const int area = driver->getArea(address);
    FUZZ_CHECK(area >= 0 && area <= 29, what);
    const QString name = tarvik::areaName(area);
    FUZZ_CHECK(area == 0 || (!name.isEmpty() && address.startsWith(name)), what);
    for (int code = 1; code <= 29; ++code) {
        const QString other = tarvik::areaName(code);
        if (!other.isEmpty() && address.startsWith(other))
            FUZZ_CHECK(area != 0 && other.size() <= name.size(),
                       what + QStringLiteral(" vs ") + other);
    }

    const int index = driver->getAddr(address);
    FUZZ_CHECK(index == expectedIndex(address), what + QStringLiteral(" index %1").arg(index));

    const int length = driver->getBytelen(DataType(type), count, area);
    FUZZ_CHECK(length >= 0 && length <= tarvik::largestTransfer, what);
    if (count <= 0 || type < Bool || type > String)
        FUZZ_CHECK(length == 0, what);
    const int width = fixedWidth(type);
    if (width > 0 && count > 0) {
        const qint64 units = qint64(count) * width;
        FUZZ_CHECK(length == (units > tarvik::largestTransfer ? 0 : int(units)), what);
    }
    FUZZ_CHECK(driver->getmaximum_length(area) >= 0, what);

    // No link: nothing can be sent, so the outcome is a refusal or "link not open".
    static const QSet<int> noLink = {2, 3, 4, 9};
    const CLabelVariable read = driver->ReadVariable(address, DataType(type), count);
    FUZZ_CHECK(noLink.contains(read.result), what + QStringLiteral(" read %1").arg(read.result));
    FUZZ_CHECK(read.address == address && read.count == count && read.type == type, what);
    FUZZ_CHECK(!read.value.isValid(), what);

    CLabelVariable record;
    record.value = QVariant::fromValue(QList<short>{1, 2, 3});
    const CLabelVariable written = driver->WriteVariable(address, DataType(type), record, count);
    FUZZ_CHECK(noLink.contains(written.result),
               what + QStringLiteral(" write %1").arg(written.result));
    FUZZ_CHECK(written.address == address && written.count == count && written.type == type, what);
    return 0;
}
