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
// What an answer shows of its request is little: a link check is answered 04 01, a read or a
// write never so. Link checks sent one after another are told apart by counting them.
class Outstanding
{
public:
    enum class Kind : quint8 { LinkCheck, Read, Write };

    // How an answer looks: 04 01 like a link check's, or anything else.
    enum class Shape : quint8 { LinkCheck, Other };

    // Whose an arriving answer is.
    enum class Owner : quint8 {
        Newest, // the request sent last: the one its exchange waits for
        Older,  // an older request, given up on before; it and everything older are settled
        Nobody, // no outstanding request gives such an answer: a repeat, an echo, babble
    };

    struct Settled
    {
        Owner owner = Owner::Nobody;
        Kind kind = Kind::LinkCheck; // of the request it settled
        int answerSize = 0;          // of that request's complete answer, when known
    };

    // Notes a request just sent; answerSize is the size of its complete answer when known (0 when
    // not). False when so much is outstanding that nothing more may go out.
    bool sent(Kind kind, int answerSize = 0);

    // Settles an answer of this shape: says whose it is, and forgets that request and every
    // older one.
    Settled settle(Shape shape);
    // Whose an answer of this shape would be, settling nothing.
    Settled ownerOf(Shape shape) const;

    // True while a read or a write is outstanding: a read or write sent now could not tell its
    // own answer from that one's.
    bool awaitsExchange() const;

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

    int ownerIndex(Shape shape) const;
    // What settling entry i would say (nobody's when i is -1).
    Settled settledAt(int i) const;
    void dropOldest(int n);

    // The sending side lets at most one read or write be outstanding at a time, between runs of
    // link checks: a handful of entries is plenty; more means something is badly wrong.
    static constexpr int capacity = 8;
    std::array<Entry, capacity> entries_{};
    int size_ = 0;
};
