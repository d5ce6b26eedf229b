#ifndef SOURCES_H
#define SOURCES_H

#include "Failure.h"
#include "trust/UpdateRecord.h"

#include <QList>
#include <QSet>
#include <QUrl>

// The places one package comes from: the record's address, then its mirrors in the
// publisher's order. A mirror is used only where the record's address would be allowed to
// redirect: http(s), never from https down to http, never into a more private network than
// the record's own server.
class Sources
{
public:
    // `recordServer` is where the record came from.
    Sources(const UpdateRecord &record, const QUrl &recordServer);

    // Where the package is asked for now.
    QUrl current() const { return urls.value(index); }
    int size() const { return urls.size(); }
    // The sources one attempt uses: the current one, and with `together` the ones after it
    // that are not dropped.
    QList<QUrl> inUse(bool together) const;
    // The next source not dropped, if any is left; false at the last.
    bool advance();
    bool anotherLeft() const { return nextLeft() >= 0; }
    // A source served bytes that are not the package: it is passed over from now on, until
    // restart().
    void drop(const QUrl &source) { dropped.insert(urls.indexOf(source)); }
    bool isDropped(const QUrl &source) const { return dropped.contains(urls.indexOf(source)); }
    // Back to the record's own address, every source given another chance.
    void restart();

    // Whether a failure is the source's refusal rather than a transfer that broke off: a
    // refused or unresolved connection, an error status, an unsafe or endless redirect, a
    // range it served wrong. Another source may well answer.
    static bool turnedAway(const Failure &failure);

private:
    // The first source after the current one that is not dropped, -1 when none is.
    int nextLeft() const;

    QList<QUrl> urls;
    QSet<int> dropped;
    int index = 0;
};

#endif
