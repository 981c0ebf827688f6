#pragma once

#include "CLabelVariable.h"

#include <QDateTime>
#include <QStringList>

// A few bytes held in place when they fit, which a tag's last texts mostly do (a number is a
// length and a dozen digits), and in a block of their own when they do not.
class SmallBytes
{
public:
    void assign(const char *bytes, size_t size);
    QByteArray bytes() const;
    const char *data() const { return smallSize < 0 ? large.constData() : small; }
    int size() const { return smallSize < 0 ? large.size() : smallSize; }

private:
    static constexpr int inPlace = 15;
    QByteArray large;
    char small[inPlace] = {};
    qint8 smallSize = -1; // -1: held in large
};

// What the gateway remembers of one tag's publishing, one for every tag it reads: the small
// fields sit together after the large ones, so none is padded to eight bytes of its own.
struct TagMemory
{
    // The last value published: its elements as text (for the deadband, and for a stale message
    // after a failure), packed in one block, when it was read, and its record's type and count
    // (which frame the texts). Not the record itself: copying a record's value costs more than
    // the rest of a value's way; nor a list of strings, three blocks a tag where one will do.
    SmallBytes lastTexts;
    QDateTime lastTime;
    qint64 publishedAt = 0; // ms on the controller's clock
    int lastType = 0;
    int lastCount = 0;
    int lastResult = -1; // of the last message published; -1: none yet
    bool haveGood = false;
    bool confirmWrite = false; // a write succeeded: the next read is published whatever it holds

    // The texts of the last value published.
    QStringList texts() const;
    // The record has been published at now (ms), its elements as texts.
    void published(const CLabelVariable &record, const QStringList &texts, qint64 now);
};

// When a tag's record is published, whatever the output makes of it.
namespace publishpolicy {

// Whether the record is to be published: the outcome changed, a value moved beyond the deadband,
// a write is to be confirmed, or the last message is maxAgeMs old. Elements are compared as what
// they are: texts and booleans on any change, 64-bit integers exactly, other numbers as doubles.
// texts: the record's elements as text (recordformat::values), formatted once by the caller, which
// keeps them as lastTexts when it publishes.
bool due(const TagMemory &memory, const CLabelVariable &record, const QStringList &texts,
         double deadband, qint64 now, qint64 maxAgeMs);
// A write the gateway refuses before anything is sent has this result, and words that say why:
// "refused: " and the reason.
constexpr int refusedResult = -1;
QString refusalWords(const QString &why);

} // namespace publishpolicy
