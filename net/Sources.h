#ifndef SOURCES_H
#define SOURCES_H

#include "Failure.h"
#include "SpanSet.h"
#include "trust/UpdateRecord.h"

#include <QList>
#include <QUrl>

#include <vector>

// The places one package comes from, the one table of them: the record's address, then its
// mirrors in the publisher's order, each at its index for the whole download (the scheduler's
// connections name them by it too). A mirror is used only where the record's address would be
// allowed to redirect: http(s), never from https down to http, never into a more private
// network than the record's own server.
class Sources
{
public:
    struct Source
    {
        // As the record gives it.
        QUrl url;
        // Where its last answer came from, after any redirect: the attempt's later requests go
        // there.
        QUrl at;
        // It served bytes that are not the package: passed over until restart().
        bool dropped = false;
        // The bytes it brought in the running attempt.
        SpanSet brought;
    };

    // `recordServer` is where the record came from.
    Sources(const UpdateRecord &record, const QUrl &recordServer);

    int size() const { return int(table.size()); }
    const Source &operator[](int index) const { return table[std::size_t(index)]; }
    Source &operator[](int index) { return table[std::size_t(index)]; }
    // Where the package is asked for now, and its index.
    QUrl current() const { return table[std::size_t(index)].url; }
    int currentIndex() const { return index; }
    // The sources one attempt uses: the current one, and with `together` the ones after it
    // that are not dropped.
    QList<int> inUse(bool together) const;
    // A new attempt: each source is asked at its own address again and has brought nothing.
    void beginAttempt();
    // The next source not dropped, if any is left; false at the last.
    bool advance();
    bool anotherLeft() const { return nextLeft() >= 0; }
    // Back to the record's own address, every source given another chance.
    void restart();

    // After wrong `pieces`: those of the attempt's sources `used` that brought any byte of
    // them, and the bytes of `in` to fetch again.
    struct Blame
    {
        std::vector<int> blamed;
        SpanSet suspect;
    };
    Blame blame(const QList<int> &used, const SpanSet &pieces, const SpanSet &in) const;
    // Bytes fetched again are nobody's.
    void forgetBrought(const std::vector<Span> &gone);
    // The bytes of `in` to fetch again: those the `blamed` sources brought (each source's in
    // `brought`), and those no source brought in this attempt (kept from an attempt before),
    // which cannot be told apart from them.
    static SpanSet suspect(const std::vector<SpanSet> &brought, const std::vector<bool> &blamed, const SpanSet &in);

    // Whether a failure is the source's refusal rather than a transfer that broke off: a
    // refused or unresolved connection, an error status, an unsafe or endless redirect, a
    // range it served wrong. Another source may well answer.
    static bool turnedAway(const Failure &failure);

private:
    // The first source after the current one that is not dropped, -1 when none is.
    int nextLeft() const;

    std::vector<Source> table;
    int index = 0;
};

#endif
