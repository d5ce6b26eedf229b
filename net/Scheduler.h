#ifndef SCHEDULER_H
#define SCHEDULER_H

#include "SpanSet.h"

#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

// Which bytes each connection of a download brings, decided on plain values: whether to
// split, the span a connection asks for next, work stealing and the slow rule. The transfer
// tells it what its connections did and when; it opens no socket and reads no clock.
//
// A package that a server splits safely, and that one connection would be slow to bring,
// comes over several connections at once, each asking for ranges, so that one throttled
// connection no longer sets the pace; anything else comes over one connection.
//
// The order of calls, for each connection (its id is its index here):
//   1. addWhole() for the first, or addForWork() for one more; then request(), the span to
//      ask for (empty: the whole package), and sent() as it goes out.
//   2. Its answer's header: accepted(), which may split at once; or startOver(), a whole
//      package where a range was asked for; or refused(), a range turned away before its
//      first byte.
//   3. Each piece of its body: arrived(), then for the first connection paceSplits(). A whole
//      stream that has brought its share asks onward() before it reads on.
//   4. Its end: endsHere() when the body had no announced length, then ended(); fellShort()
//      tells whether it brought less than it asked for, and failed() then says whether the
//      download goes on. A free connection goes back to request(); retire() ends it.
// Every tickMs, tick(); a source that answered wrong, dropSource(). Whatever ends a request
// here calls the whenStopped() call with its id.
class Scheduler
{
public:
    // At most this many connections at once, so that no server sees more from one updater.
    static constexpr int maxConnections = 8;
    // Only a package at least this long is split, and never into ranges shorter than
    // minimumRange: below that a connection's start costs more than it brings.
    static constexpr qint64 minimumSplitSize = 16 * 1024 * 1024;
    static constexpr qint64 minimumRange = 4 * 1024 * 1024;
    // Nor before the first connection's pace shows that it would need longer than this
    // for the rest alone, or its answer that the server is far: each connection then brings
    // at most a window per round trip.
    static constexpr int splitAfterMs = 2000;
    static constexpr int farAnswerMs = 100;
    // A connection that brings less than 1/slowFactor of the best one's bytes for this
    // many seconds in a row hands its remainder to the others.
    static constexpr int slowFactor = 8;
    static constexpr int slowSeconds = 2;
    // How often the pace of each connection is taken (tick()).
    static constexpr int tickMs = 500;
    // A split connection asks for about this much of its range at a time, so that the rest
    // stays free for others to take over; and for no fewer round trips than this, so that
    // the one a new request waits costs little beside it.
    static constexpr int requestSeconds = 2;
    static constexpr int requestRoundTrips = 50;
    // A connection that worked and is then turned away asks again once after this long: a
    // server that holds each connection to a rate notices a closed one late, and counts it
    // against its limit meanwhile.
    static constexpr int restMs = 1000;
    // Connections that fail or give up are replaced this often in one transfer at most.
    static constexpr int maxFailures = 16;
    // Near the end a connection takes over half of a rest shorter than two such ranges, or of
    // a range under way, while that half would take the connection it is taken from at least
    // this long and two of its round trips: the taker's answer costs one, and it gains the other.
    static constexpr int endGameMs = 250;
    // The end of a whole stream of no announced length.
    static constexpr qint64 unknownEnd = std::numeric_limits<qint64>::max();

    // What the download knows of its package: kept by the download as its answers come, and
    // read here at each call.
    struct Package
    {
        // -1 while unknown.
        qint64 total = -1;
        // The first answer allows ranges and names a validator for them (or the publisher's
        // hashes vouch for every byte); a range was answered with its bytes; the server
        // turns ranges away.
        bool servesRanges = false;
        bool rangesProven = false;
        bool refusesRanges = false;
        // The pieces its record lists (0: none), along whose edges ranges are cut so that a
        // wrong piece tells which source served it.
        qint64 pieceSize = 0;

        // Where a whole stream ends: the package's end, or unknownEnd.
        qint64 end() const { return total >= 0 ? total : unknownEnd; }
        // A server that splits safely, and a package long enough to be worth it.
        bool splittable() const { return servesRanges && !refusesRanges && total >= minimumSplitSize; }
    };

    struct Connection
    {
        // The bytes it is to bring, from next up to end.
        qint64 next = 0;
        qint64 end = 0;
        // The request under way, or the last one: the whole package (an empty span), else
        // that span.
        Span asked;
        bool busy = false;
        bool accepted = false;
        // Gave up or failed: takes no more work.
        bool retired = false;
        qint64 requestBytes = 0;
        qint64 sentAtMs = 0;
        // How long its last answer took to come: a round trip, or two on a new socket.
        qint64 answerMs = 0;
        // For the slow rule and the size of the next request.
        qint64 tickBytes = 0;
        bool busyAtTick = false;
        int slowTicks = 0;
        // Bytes a second: the last request's pace, smoothed over the seconds of a long one.
        double rate = 0;
        // The source it asks.
        int source = 0;
        // Turned away once after it worked; while it rests (until its next request), the time
        // it asks again from.
        bool rested = false;
        qint64 restUntilMs = 0;

        bool whole() const { return asked.end == 0; }
    };

    // Whether a whole stream that has brought its share reads on.
    enum class Onward { Read, Wait, Stop };
    // What a range turned away means.
    enum class Refusal { FewerConnections, NoRanges, Later };

    // Reads which bytes are in from `in`, which outlives it. The sources that serve together
    // are named by their index in the download's table, the one where the download began first.
    explicit Scheduler(const SpanSet &in, const QList<int> &sources = {0});

    // Called whenever a connection's request ends here, whatever ends it, so that its reply
    // goes at once: the scheduler's view and the reply cannot disagree.
    void whenStopped(std::function<void(int id)> call) { stopped = std::move(call); }

    int count() const { return int(connections.size()); }
    const Connection &connection(int id) const { return connections[std::size_t(id)]; }
    bool isSplit() const { return split; }
    // Connections that may take work, and those with a request under way or resting.
    int open() const { return int(std::count_if(connections.begin(), connections.end(), [](const Connection &c) { return !c.retired; })); }
    int busy() const
    {
        return int(std::count_if(connections.begin(), connections.end(), [](const Connection &c) { return c.busy || c.restUntilMs > 0; }));
    }

    // A first connection for the whole package.
    int addWhole(const Package &package)
    {
        connections.push_back({});
        connections.back().end = package.end();
        connections.back().source = firstSource;
        return count() - 1;
    }
    // A new connection for the first work nobody brings, to the source with the fewest
    // connections that may take one more; nothing when there is none.
    std::optional<int> addForWork(const Package &package);
    // Connections open to a source, and whether any source is still asked.
    int openTo(int source) const;
    bool asksAny() const { return std::any_of(ceilings.begin(), ceilings.end(), [](int most) { return most > 0; }); }
    // A source is not asked again in this transfer (it served a wrong piece): its
    // connections are retired.
    void dropSource(int source);
    // How many connections may be open now; `lingering` sockets (what redirects left
    // open) count against it.
    int limit(const Package &package, int lingering) const;
    // While the first range is under way: the connections that go out once it is answered,
    // worth connecting ahead so that they do not wait a handshake then (all but one).
    int ahead(const Package &package, int lingering) const;
    // The span a free connection asks for next (empty for the whole package), taking work
    // where there is some; nothing when there is none.
    std::optional<Span> request(int id, const Package &package);
    // After a resume: splits again when the download was split.
    void resume(const Package &package) { split = package.splittable(); }

    void sent(int id, const Span &asked, qint64 nowMs);
    // Its answer's header was accepted at `nowMs`: a whole stream's share becomes the
    // package. True when that splits the download now: the answer came from far away.
    bool accepted(int id, const Package &package, qint64 nowMs);
    // The whole package where a range was asked for: it brings everything, alone.
    void startOver(int id, const Package &package);
    void arrived(int id, qint64 bytes);
    // A body of no announced length ended where its connection did.
    void endsHere(int id) { connections[std::size_t(id)].end = connections[std::size_t(id)].next; }
    // Its request ended (the reply is gone): its pace is taken.
    void ended(int id, qint64 nowMs);
    // Whether its request fell short of what it was to bring.
    bool fellShort(int id) const;
    void retire(int id);
    // It failed: false when that fails the download (a lone connection).
    bool failed(int id);
    // Its range was turned away before its first byte, at `nowMs`.
    Refusal refused(int id, const Package &package, qint64 nowMs);

    // For a whole stream that has brought its share: reads on into what follows when nobody
    // else is to bring it, so that it is never cut while no other connection has taken over.
    Onward onward(int id, const Package &package);

    struct Tick
    {
        // The first connection's pace shows that it alone would be slow: split now.
        bool splits = false;
        // Connections found slow, now retired: their remainder is free.
        std::vector<int> slow;
    };
    // Every tickMs: how fast each connection is, and whether one is far behind the best.
    Tick tick(qint64 nowMs, const Package &package);
    // Whether the first connection's pace, from a quarter second on, shows that it alone would
    // be slow: the download splits now. Asked at each tick and as its bytes come.
    bool paceSplits(qint64 nowMs, const Package &package);

private:
    void stop(int id);
    bool takeWork(Connection &taker, const Package &package);
    // The bytes still missing that no request under way brings.
    qint64 unasked(const Package &package) const;
    // A source that turns connections away (or crawls) is asked with as many as it has now.
    void lowerCeiling(int source) { ceilings[std::size_t(source)] = qMin(ceilings[std::size_t(source)], openTo(source)); }
    // Connections that keep failing or crawling: no more are opened than are open now.
    void countFailure() { ceiling = ++failures > maxFailures ? qMin(ceiling, open()) : ceiling; }

    const SpanSet &in;
    const int firstSource;
    const bool together;
    std::vector<Connection> connections;
    std::function<void(int)> stopped;
    // The first answer allows a split, and whether the transfer is split.
    bool splittable = false;
    bool split = false;
    // Connections at most, lowered when connections keep failing, and for each source at its
    // index, lowered when it turns connections away (0: not asked).
    int ceiling = maxConnections;
    std::vector<int> ceilings;
    int failures = 0;
};

#endif
