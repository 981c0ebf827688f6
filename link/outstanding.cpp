#include "outstanding.h"

#include <algorithm>

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

Outstanding::Owner Outstanding::settle(Kind answerKind)
{
    for (int i = 0; i < size_; ++i) {
        Entry &entry = entries_[i];
        if (entry.kind != answerKind)
            continue;
        const bool newest = i == size_ - 1 && entry.requests == 1;
        if (--entry.requests == 0)
            dropOldest(i + 1);
        else
            dropOldest(i);
        return newest ? Owner::Newest : Owner::Older;
    }
    return Owner::Nobody;
}

bool Outstanding::awaits(Kind kind) const
{
    return std::any_of(entries_.begin(), entries_.begin() + size_,
                       [kind](const Entry &entry) { return entry.kind == kind; });
}

int Outstanding::oldestExchangeAnswerSize() const
{
    const auto end = entries_.begin() + size_;
    const auto it = std::find_if(entries_.begin(), end,
                                 [](const Entry &entry) { return entry.kind == Kind::Exchange; });
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
