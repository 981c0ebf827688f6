#include "outstanding.h"

#include <algorithm>

namespace {

// Which answers each kind of request can be given, indexed by Kind then Shape. A write is
// answered with anything but 04 01: that is a link check's answer, and a write that took a late
// or repeated one would be reported done before the device confirmed it.
constexpr bool gives[][2] = {
    {true, false}, // a link check: 04 01
    {false, true}, // a read: its answer repeats the read's 01 01
    {false, true}, // a write
};
static_assert(std::size(gives) == int(Outstanding::Kind::Write) + 1, "one row per kind of request");

bool isExchange(Outstanding::Kind kind)
{
    return kind != Outstanding::Kind::LinkCheck;
}

} // namespace

bool Outstanding::sent(Kind kind, int answerSize)
{
    if (kind == Kind::LinkCheck && size_ > 0 && entries_[size_ - 1].kind == Kind::LinkCheck) {
        ++entries_[size_ - 1].requests;
        return true;
    }
    if (size_ == capacity)
        return false;
    entries_[size_++] = {kind, 1, answerSize};
    return true;
}

// The oldest request that could have given an answer of this shape.
int Outstanding::ownerIndex(Shape shape) const
{
    for (int i = 0; i < size_; ++i) {
        if (gives[int(entries_[i].kind)][int(shape)])
            return i;
    }
    return -1;
}

Outstanding::Settled Outstanding::settledAt(int i) const
{
    if (i < 0)
        return {};
    const Entry &entry = entries_[i];
    const bool newest = i == size_ - 1 && entry.requests == 1;
    return {newest ? Owner::Newest : Owner::Older, entry.kind, entry.answerSize};
}

Outstanding::Settled Outstanding::ownerOf(Shape shape) const
{
    return settledAt(ownerIndex(shape));
}

Outstanding::Settled Outstanding::settle(Shape shape)
{
    const int i = ownerIndex(shape);
    const Settled settled = settledAt(i);
    if (i < 0)
        return settled;
    if (--entries_[i].requests == 0)
        dropOldest(i + 1);
    else
        dropOldest(i);
    return settled;
}

bool Outstanding::awaitsExchange() const
{
    return std::any_of(entries_.begin(), entries_.begin() + size_,
                       [](const Entry &entry) { return isExchange(entry.kind); });
}

int Outstanding::oldestExchangeAnswerSize() const
{
    const auto end = entries_.begin() + size_;
    const auto it = std::find_if(entries_.begin(), end,
                                 [](const Entry &entry) { return isExchange(entry.kind); });
    return it == end ? 0 : it->answerSize;
}

int Outstanding::count() const
{
    int n = 0;
    for (int i = 0; i < size_; ++i)
        n += entries_[i].requests;
    return n;
}

void Outstanding::dropOldest(int n)
{
    std::move(entries_.begin() + n, entries_.begin() + size_, entries_.begin());
    size_ -= n;
}
