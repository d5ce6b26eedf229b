#include "Scheduler.h"

#include <algorithm>
#include <numeric>

Scheduler::Scheduler(const SpanSet &in, const QList<int> &sources)
    : in(in)
    , firstSource(sources.front())
    , together(sources.size() > 1)
    , ceilings(std::size_t(*std::max_element(sources.begin(), sources.end()) + 1), 0)
{
    for (int source : sources)
        ceilings[std::size_t(source)] = maxConnections;
}

std::optional<int> Scheduler::addForWork(const Package &package)
{
    Connection taker;
    taker.source = -1;
    for (int source = 0; source < int(ceilings.size()); ++source)
        if (openTo(source) < ceilings[std::size_t(source)] && (taker.source < 0 || openTo(source) < openTo(taker.source)))
            taker.source = source;
    if (taker.source < 0 || !takeWork(taker, package))
        return std::nullopt;
    connections.push_back(taker);
    return count() - 1;
}

int Scheduler::openTo(int source) const
{
    return int(std::count_if(connections.begin(), connections.end(),
                             [source](const Connection &c) { return !c.retired && c.source == source; }));
}

void Scheduler::dropSource(int source)
{
    for (int id = 0; id < count(); ++id)
        if (connections[std::size_t(id)].source == source)
            retire(id);
    lowerCeiling(source);
}

int Scheduler::limit(const Package &package, int lingering) const
{
    if (!split)
        return 1;
    const int most = qMin(ceiling, std::accumulate(ceilings.begin(), ceilings.end(), 0));
    // One range first: a server that turns ranges away or sends them elsewhere is known
    // before more connections go out.
    return (package.rangesProven ? most : qMin(most, 2)) - lingering;
}

int Scheduler::ahead(const Package &package, int lingering) const
{
    if (!split || package.rangesProven)
        return 0;
    Package proven = package;
    proven.rangesProven = true;
    // Less one: a redirect of that range opens a socket elsewhere before the others learn of it.
    return qMax(0, limit(proven, lingering) - qMax(open(), limit(package, lingering)) - 1);
}

std::optional<Span> Scheduler::request(int id, const Package &package)
{
    Connection &c = connections[std::size_t(id)];
    if (package.refusesRanges) {
        // Everything again, over the bytes kept: the server gives nothing else.
        c.next = 0;
        c.end = package.end();
        return Span{};
    }
    if (c.next >= c.end && !takeWork(c, package))
        return std::nullopt;
    qint64 askedEnd = c.end;
    if (split) {
        // Near the end no more than an even share of what nobody has asked for yet, so that
        // every connection has work until the last bytes.
        const qint64 share = qMax(minimumRange, unasked(package) / qMax(1, open()));
        const qint64 seconds = qMax<qint64>(requestSeconds * 1000, requestRoundTrips * c.answerMs);
        const qint64 size = qMin(share, qMax<qint64>(minimumRange, qint64(c.rate * seconds / 1000)));
        qint64 end = c.next + size;
        if (package.pieceSize > 0)
            end = (end + package.pieceSize - 1) / package.pieceSize * package.pieceSize;
        if (c.end - end >= minimumRange)
            askedEnd = end;
    }
    return Span{c.next, askedEnd};
}

qint64 Scheduler::unasked(const Package &package) const
{
    qint64 bytes = package.total - in.size();
    for (const Connection &c : connections)
        if (c.busy)
            bytes -= (c.whole() ? c.end : c.asked.end) - c.next;
    return qMax<qint64>(0, bytes);
}

// Takes the first span nobody is bringing, else half of the largest range still left that
// is not yet asked for; near the end, half of what a range under way still brings. That
// range's request reads on into the half taken: whichever connection brings a byte first
// stores it, and no request is cut short, which would cost its socket and a new one.
bool Scheduler::takeWork(Connection &taker, const Package &package)
{
    for (const Span &gap : in.gaps({0, package.end()})) {
        // The gap's first byte that no connection is bringing.
        qint64 begin = gap.begin;
        for (bool moved = true; moved;) {
            moved = false;
            for (const Connection &other : connections)
                if (other.next <= begin && begin < other.end) {
                    begin = other.end;
                    moved = true;
                }
        }
        if (begin >= gap.end)
            continue;
        qint64 end = gap.end;
        for (const Connection &other : connections)
            if (other.next > begin && other.next < end && other.next < other.end)
                end = other.next;
        taker.next = begin;
        taker.end = end;
        return true;
    }
    if (!split)
        return false;
    Connection *victim = nullptr;
    qint64 largest = 0;
    for (const bool underWay : {false, true}) {
        for (Connection &other : connections) {
            const qint64 free = other.end - (other.whole() || underWay ? other.next : other.asked.end);
            const double halfMs = other.rate > 0 ? free / 2 * 1000.0 / other.rate : 0;
            const bool worth = (free >= 2 * minimumRange && !underWay) || halfMs >= qMax<qint64>(endGameMs, 2 * other.answerMs);
            if (other.busy && worth && free > largest) {
                largest = free;
                victim = &other;
            }
        }
        if (victim)
            break;
    }
    if (!victim)
        return false;
    qint64 cut = victim->end - largest / 2;
    if (package.pieceSize > 0) {
        cut = cut / package.pieceSize * package.pieceSize;
        if (cut <= victim->end - largest)
            return false;
    }
    taker.next = cut;
    taker.end = victim->end;
    victim->end = cut;
    return true;
}

void Scheduler::sent(int id, const Span &asked, qint64 nowMs)
{
    Connection &c = connections[std::size_t(id)];
    c.asked = asked;
    c.busy = true;
    c.restUntilMs = 0;
    c.accepted = false;
    c.requestBytes = 0;
    c.sentAtMs = nowMs;
}

bool Scheduler::accepted(int id, const Package &package, qint64 nowMs)
{
    Connection &c = connections[std::size_t(id)];
    c.accepted = true;
    c.answerMs = nowMs - c.sentAtMs;
    if (!c.whole())
        return false;
    c.end = package.end();
    // Split once its pace shows that this connection is held back (see tick()), or now when
    // the server is far.
    splittable = package.splittable();
    const bool splits = splittable && !split && c.answerMs >= farAnswerMs;
    split = split || splits;
    return splits;
}

void Scheduler::startOver(int id, const Package &package)
{
    split = false;
    splittable = false;
    for (int other = 0; other < count(); ++other)
        if (other != id)
            retire(other);
    Connection &c = connections[std::size_t(id)];
    c.accepted = true;
    c.asked = {};
    c.next = 0;
    c.end = package.end();
}

void Scheduler::arrived(int id, qint64 bytes)
{
    Connection &c = connections[std::size_t(id)];
    c.next += bytes;
    c.requestBytes += bytes;
    c.tickBytes += bytes;
}

void Scheduler::ended(int id, qint64 nowMs)
{
    stop(id);
    Connection &c = connections[std::size_t(id)];
    // A request that ended between two ticks shows its pace here.
    const qint64 elapsed = nowMs - c.sentAtMs;
    if (c.requestBytes > 0 && elapsed > 0)
        c.rate = qMax(c.rate, c.requestBytes * 1000.0 / elapsed);
}

bool Scheduler::fellShort(int id) const
{
    const Connection &c = connections[std::size_t(id)];
    return c.next < (c.whole() ? c.end : c.asked.end);
}

void Scheduler::stop(int id)
{
    connections[std::size_t(id)].busy = false;
    if (stopped)
        stopped(id);
}

void Scheduler::retire(int id)
{
    stop(id);
    Connection &c = connections[std::size_t(id)];
    c.restUntilMs = 0;
    c.retired = true;
    // What it did not bring becomes free for the others.
    c.end = c.next;
}

bool Scheduler::failed(int id)
{
    const bool broughtNothing = connections[std::size_t(id)].requestBytes == 0;
    retire(id);
    // A lone connection's failure is the download's: the next attempt goes on from the
    // bytes kept.
    if (!split)
        return false;
    // A connection turned away at once is not opened again: its source has enough.
    if (broughtNothing)
        lowerCeiling(connections[std::size_t(id)].source);
    else
        countFailure();
    return true;
}

Scheduler::Refusal Scheduler::refused(int id, const Package &package, qint64 nowMs)
{
    Connection &c = connections[std::size_t(id)];
    if (c.rate > 0 && !c.rested && split) {
        stop(id);
        c.rested = true;
        c.restUntilMs = nowMs + restMs;
        return Refusal::Later;
    }
    retire(id);
    // A server that has ranges enough from this updater (as a connection limit does) turns
    // one more away while the others go on; with several sources, the others go on.
    const int source = connections[std::size_t(id)].source;
    if (together || (package.rangesProven && busy() > 0)) {
        lowerCeiling(source);
        return Refusal::FewerConnections;
    }
    // It turns ranges away, as some forbid split downloads: the first connection brings the
    // rest alone, or, when it is gone, the whole package is asked for again.
    split = false;
    splittable = false;
    for (int other = 0; other < count(); ++other)
        if (!connections[std::size_t(other)].whole())
            retire(other);
    return Refusal::NoRanges;
}

Scheduler::Onward Scheduler::onward(int id, const Package &package)
{
    Connection &c = connections[std::size_t(id)];
    const qint64 at = c.end;
    const std::vector<Span> ahead = in.gaps({at, package.end()});
    if (ahead.empty() || ahead.front().begin != at)
        return Onward::Stop;
    qint64 end = ahead.front().end;
    for (int other = 0; other < count(); ++other) {
        const Connection &o = connections[std::size_t(other)];
        if (other == id || o.retired || o.next >= o.end)
            continue;
        // Its taker may yet be turned away: the stream waits for the answer.
        if (o.next <= at && at < o.end)
            return o.busy && o.accepted ? Onward::Stop : Onward::Wait;
        if (o.next > at)
            end = qMin(end, o.next);
    }
    c.end = end;
    return Onward::Read;
}

bool Scheduler::paceSplits(qint64 nowMs, const Package &package)
{
    // A first connection that would bring the rest soon enough alone keeps it: on a fast
    // line more connections only cost threads, memory and a second read for the hash.
    if (!splittable || split || connections.empty())
        return false;
    // Its pace since the request went out, once that is long enough to tell.
    const Connection &first = connections.front();
    const qint64 elapsed = nowMs - first.sentAtMs;
    split = first.busy && elapsed >= tickMs / 2 && first.requestBytes * splitAfterMs / elapsed < package.total - in.size();
    return split;
}

Scheduler::Tick Scheduler::tick(qint64 nowMs, const Package &package)
{
    Tick result;
    result.splits = paceSplits(nowMs, package);
    // The best pace any connection has shown: once the others are done, a connection that
    // stalls at the end is still measured against it.
    qint64 best = 0;
    for (const Connection &c : connections)
        if (!c.retired)
            best = qMax(best, qMax(qint64(c.rate * tickMs / 1000), c.busy && c.busyAtTick ? c.tickBytes : 0));
    for (int id = 0; id < count(); ++id) {
        Connection &c = connections[std::size_t(id)];
        const bool measured = c.busy && c.busyAtTick;
        const double pace = c.tickBytes * 1000.0 / tickMs;
        if (measured)
            c.rate = c.rate > 0 ? (c.rate + pace) / 2 : pace;
        c.slowTicks = measured && split && c.tickBytes * slowFactor < best ? c.slowTicks + 1 : 0;
        if (c.slowTicks * tickMs >= slowSeconds * 1000)
            result.slow.push_back(id);
    }
    // Its remainder goes to the others; a new connection may take its place, but not at its
    // source while another source keeps pace (when none does, the line is slow, not a source).
    for (int id : result.slow) {
        const int source = connections[std::size_t(id)].source;
        retire(id);
        if (std::any_of(connections.begin(), connections.end(), [source](const Connection &c) {
                return c.busy && c.busyAtTick && c.slowTicks == 0 && c.source != source;
            }))
            lowerCeiling(source);
        countFailure();
    }
    for (Connection &c : connections) {
        c.busyAtTick = c.busy;
        c.tickBytes = 0;
    }
    return result;
}
