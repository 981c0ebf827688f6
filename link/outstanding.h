#pragma once

#include <QtGlobal>

#include <array>

// The requests a link has sent whose answers have not come, oldest first.
//
// A controller answers each request at most once, in the order the requests came, and the
// protocol carries no request identifier. So an answer belongs to the oldest outstanding request
// that could have given it, and once it is in, every request older than that one has been
// answered or never will be. The exchange waiting for the newest request takes an answer only
// when no older request could have given it: late answers, however late, settle older requests
// and never become the value of a newer one.
//
// What an answer shows of its request is only this: a link check is answered 04 01, a read or a
// write with anything else. Link checks sent one after another are told apart by counting them.
class Outstanding
{
public:
    enum class Kind : quint8 {
        LinkCheck, // answered 04 01
        Exchange,  // a read or a write, answered with anything else
    };

    // Whose answer an arriving answer is.
    enum class Owner : quint8 {
        Newest, // the request sent last: the one its exchange waits for
        Older,  // an older request, given up on before; it and everything older are settled
        Nobody, // no outstanding request gives such an answer: a repeat, an echo, babble
    };

    // Notes a request just sent; answerSize is the size of its complete answer when known (0 when
    // not). False when so much is outstanding that nothing more may go out.
    bool sent(Kind kind, int answerSize = 0);

    // Settles an answer of this kind and says whose it is.
    Owner settle(Kind answerKind);

    // True when an outstanding request could give an answer of this kind: a request of the kind
    // sent now could not tell its own answer from that one's.
    bool awaits(Kind kind) const;

    // The complete answer size of the oldest outstanding read or write (0 when unknown or none).
    int oldestExchangeAnswerSize() const;

    // Requests outstanding (link checks sent in a row count one each).
    int count() const;
    bool isEmpty() const { return size_ == 0; }
    void clear() { size_ = 0; }

private:
    // Link checks in a row are one entry with a count; a read or a write is one entry of its own.
    struct Entry
    {
        Kind kind;
        int requests;
        int answerSize;
    };

    void dropOldest(int n);

    // The sending side lets at most one read or write be outstanding at a time, between runs of
    // link checks: a handful of entries is plenty; more means something is badly wrong.
    static constexpr int capacity = 8;
    std::array<Entry, capacity> entries_{};
    int size_ = 0;
};
