#pragma once

// Outcome codes a read or a write leaves in a record's result, and the codes ConnectDrive and
// DisConnectDrive answer, each with their words. Hosts compare with these and show the words; the
// codes are what hosts have always been handed.
namespace tarvik {

enum class Outcome : int {
    Success = 0,        // values read, or the write answered
    NewRecord = 1,      // no operation has set an outcome
    TypeRefused = 2,    // type 0, a type the area does not take, a payload of another type
    NoPoint = 3,        // no area, or no usable point number; nothing sent
    BadCount = 4,       // bad count or length; nothing sent
    NoAnswer = 7,       // belongs to the scheme; the driver reports a missing answer as 8
    ExchangeFailed = 8, // no answer in the wait, wrong sequence bytes or a short answer
    LinkNotOpen = 9,    // nothing sent
};

// Outcomes with which the driver refuses a request before sending it, the same way every time.
inline bool refusedForGood(int result)
{
    return result == int(Outcome::TypeRefused) || result == int(Outcome::NoPoint) ||
           result == int(Outcome::BadCount);
}

// An outcome in words: a short form for the columns of a table and a sentence.
struct OutcomeText
{
    int code;
    const char *brief;
    const char *words;
};

// The words for a result code; null for a code that is no outcome.
inline const OutcomeText *outcomeText(int code)
{
    static const OutcomeText texts[] = {
        {0, "ok", "success"},
        {1, "no outcome", "no outcome: the request builder answered an unknown code"},
        {2, "type refused",
         "type refused (type 0, a type the area does not take, or a payload of another type)"},
        {3, "no such point", "no area, or no usable point number"},
        {4, "bad count", "bad count or length"},
        {7, "no answer", "no answer in time"},
        {8, "exchange failed",
         "exchange failed: no answer, wrong sequence bytes or a short answer"},
        {9, "link not open", "link not open"},
    };
    for (const OutcomeText &t : texts) {
        if (t.code == code)
            return &t;
    }
    return nullptr;
}

// What ConnectDrive answers.
enum class ConnectOutcome : int {
    Connected = 0,
    Refused = -1,     // no usable connection string, address or port, or the port did not open
    NotAnswered = -2, // UDP: nothing answered the link check; the socket is closed again
};

// What DisConnectDrive answers.
enum class CloseOutcome : int { Closed = 0, NothingToClose = -1 };

// A code with its words, and the words of a code in a table of them (null where it has no row).
struct CodeWords
{
    int code;
    const char *words;
};

template <typename Table> const char *wordsIn(const Table &table, int code)
{
    for (const CodeWords &w : table) {
        if (w.code == code)
            return w.words;
    }
    return nullptr;
}

// The words for a code of ConnectDrive; null for a code it never answers.
inline const char *connectWords(int code)
{
    static const CodeWords words[] = {
        {int(ConnectOutcome::Connected), "connected"},
        {int(ConnectOutcome::Refused),
         "refused: not a usable connection string, address or port, or the port cannot be "
         "opened"},
        {int(ConnectOutcome::NotAnswered), "no answer to the link check"},
    };
    return wordsIn(words, code);
}

// The words for a code of DisConnectDrive; null for a code it never answers.
inline const char *closeWords(int code)
{
    static const CodeWords words[] = {
        {int(CloseOutcome::Closed), "closed"},
        {int(CloseOutcome::NothingToClose), "nothing to close"},
    };
    return wordsIn(words, code);
}

} // namespace tarvik
