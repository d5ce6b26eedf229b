#include "PackageTransfer.h"

#include "SafeGet.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <limits>

namespace {

// Bytes taken from a reply at a time.
constexpr int pieceSize = 1024 * 1024;
// A lone connection may read ahead further: it carries the whole package (measured: a
// gigabyte in few hand-backs from Qt's network thread). Split ones are held back by the
// server anyway, and each buffer is allocated in its connection's own thread and heap
// (measured, a fresh process's first split download: 20 MiB growth with 512 KiB, 8 MiB
// with 128 KiB, at the same speed).
constexpr qint64 loneReadBuffer = 2 * 1024 * 1024;
constexpr qint64 sharedReadBuffer = 128 * 1024;
// How often the pace of each connection is taken.
constexpr int tickMs = 500;
// A split connection asks for about this much of its range at a time, so that the rest
// stays free for others to take over; a round trip per request costs little beside it.
constexpr int requestSeconds = 2;
// Connections that fail or give up are replaced this often in one transfer at most.
constexpr int maxLaneFailures = 16;
constexpr qint64 unknownEnd = std::numeric_limits<qint64>::max();

// Where a connection goes: scheme, host and port.
QString originOf(const QUrl &url)
{
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

} // namespace

// One connection: the bytes it is to bring (from next up to end) and the request under way.
struct PackageTransfer::Lane
{
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    // The request under way: the whole package (an empty span), else that span.
    PackageDownload::Span asked;
    qint64 next = 0;
    qint64 end = 0;
    bool accepted = false;
    // Gave up or failed: takes no more work.
    bool retired = false;
    qint64 requestBytes = 0;
    // For the slow rule and the size of the next request.
    qint64 tickBytes = 0;
    bool busyAtTick = false;
    int slowTicks = 0;
    // Bytes a second: the last request's pace, smoothed over the seconds of a long one.
    double rate = 0;
    QElapsedTimer sent;

    bool whole() const { return asked.end == 0; }
};

PackageTransfer::PackageTransfer(QNetworkAccessManager &manager, PackageDownload &download, const QUrl &url,
                                 QObject *parent)
    : QObject(parent)
    , firstManager(manager)
    , download(download)
    , url(url)
    , buffer(pieceSize)
{
    ticker.setInterval(tickMs);
    connect(&ticker, &QTimer::timeout, this, &PackageTransfer::tick);
}

PackageTransfer::~PackageTransfer()
{
    for (const auto &lane : lanes)
        release(*lane);
}

void PackageTransfer::start()
{
    download.retry();
    ticker.start();
    if (download.received() == 0) {
        Lane &lane = addLane();
        lane.end = download.total() >= 0 ? download.total() : unknownEnd;
        send(lane, {});
        return;
    }
    // The spans still missing after a broken transfer; split again if the download was split.
    split = download.servesRanges() && download.total() >= minimumSplitSize;
    distribute();
    if (busyLanes() == 0)
        fail({DownloadFailure::Incomplete, true});
}

void PackageTransfer::abort(const DownloadFailure &cause)
{
    fail(cause);
}

PackageTransfer::Lane &PackageTransfer::addLane()
{
    auto lane = std::make_unique<Lane>();
    // One manager per connection: Qt opens up to six connections per manager and keeps
    // idle ones open, so managers shared by connections would hold more than eight. A
    // connection that follows a retired one takes its manager, whose thread closes the old
    // socket before it opens the new one.
    const auto inUse = [this](const QNetworkAccessManager *manager) {
        return std::any_of(lanes.begin(), lanes.end(), [manager](const std::unique_ptr<Lane> &other) {
            return !other->retired && other->manager == manager;
        });
    };
    lane->manager = &firstManager;
    for (const auto &manager : managers)
        if (inUse(lane->manager))
            lane->manager = manager.get();
    if (inUse(lane->manager)) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        lane->manager = managers.back().get();
    }
    lanes.push_back(std::move(lane));
    return *lanes.back();
}

void PackageTransfer::send(Lane &lane, const PackageDownload::Span &asked)
{
    // A manager that a redirect took elsewhere still holds a connection there: a new one
    // closes it, so that no more sockets are open than connections counted.
    const QString origin = originOf(url);
    if (!origins[lane.manager].isEmpty() && origins[lane.manager] != QSet<QString>{origin}) {
        for (auto &manager : managers)
            if (manager.get() == lane.manager) {
                origins.erase(lane.manager);
                QNetworkAccessManager *const old = lane.manager;
                manager = std::make_unique<QNetworkAccessManager>();
                for (const auto &other : lanes)
                    if (other->manager == old)
                        other->manager = manager.get();
            }
    }
    origins[lane.manager].insert(origin);
    lane.asked = asked;
    lane.accepted = false;
    lane.requestBytes = 0;
    lane.sent.start();
    lane.reply = SafeGet::send(*lane.manager, download.request(url, asked));
    lane.reply->setReadBufferSize(split ? sharedReadBuffer : loneReadBuffer);
    Lane *const at = &lane;
    connect(lane.reply, &QIODevice::readyRead, this, [this, at] {
        read(*at);
        arrivedBytes();
    });
    connect(lane.reply, &QNetworkReply::finished, this, [this, at] { requestEnded(*at); });
    connect(lane.reply, &QNetworkReply::redirected, this, [this, at](const QUrl &target) {
        origins[at->manager].insert(originOf(at->reply->url().resolved(target)));
    });
}

void PackageTransfer::read(Lane &lane)
{
    while (!ended && lane.reply && lane.reply->bytesAvailable() > 0) {
        if (!lane.accepted && !accept(lane))
            return;
        // A whole stream past its share brings another connection's bytes: not read. Past
        // the package's end it is too long, which the download judges.
        const bool share = lane.whole() && lane.end < download.total();
        if (share && lane.next >= lane.end && onward(lane) != Onward::Read)
            return;
        const qint64 wanted = share ? qMin<qint64>(pieceSize, lane.end - lane.next) : pieceSize;
        const qint64 size = lane.reply->read(buffer.data(), wanted);
        if (size <= 0)
            return;
        if (!lane.whole() && lane.next + size > lane.asked.end) {
            fail({DownloadFailure::RangeMismatch});
            return;
        }
        if (const MaybeFailure unstored = download.write(lane.next, buffer.data(), size)) {
            fail(*unstored);
            return;
        }
        lane.next += size;
        lane.requestBytes += size;
        lane.tickBytes += size;
        arrived += size;
    }
}

// Whether the answer's body is to be read: decided once its header is in.
bool PackageTransfer::accept(Lane &lane)
{
    lane.accepted = true;
    const Answer::Verdict verdict = download.judge(*lane.reply, lane.asked);
    if (verdict.failure) {
        if (!lane.whole() && verdict.failure->cause == DownloadFailure::HttpStatus)
            rangeRefused(lane, *verdict.failure);
        else
            fail(*verdict.failure);
        return false;
    }
    if (lane.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0)
        return true;
    // Later requests go where this one was answered, not through the redirect again.
    url = lane.reply->url();
    if (verdict.startOver) {
        // The whole package where a range was asked for: the server does not split after
        // all, or the package changed. This answer brings it all, alone.
        split = false;
        splittable = false;
        for (const auto &other : lanes)
            if (other.get() != &lane)
                retire(*other);
        lane.asked = {};
        lane.next = 0;
        lane.end = download.total() >= 0 ? download.total() : unknownEnd;
        lane.reply->setReadBufferSize(loneReadBuffer);
        return true;
    }
    if (lane.whole()) {
        lane.end = download.total() >= 0 ? download.total() : unknownEnd;
        // Split once its pace shows that this connection is held back (see tick()).
        splittable = download.servesRanges() && download.total() >= minimumSplitSize;
    }
    return true;
}

void PackageTransfer::requestEnded(Lane &lane)
{
    if (ended || !lane.reply)
        return;
    read(lane);
    if (ended || !lane.reply)
        return;
    if (!lane.accepted && !accept(lane))
        return;
    QNetworkReply *const reply = lane.reply;
    const bool transportFailed = reply->error() != QNetworkReply::NoError
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0;
    if (lane.whole() && lane.end == unknownEnd && !transportFailed) {
        // A body of no announced length ends where the connection does.
        download.endsAt(lane.next);
        lane.end = lane.next;
    }
    release(lane);
    // A request that ended between two ticks shows its pace here.
    if (lane.requestBytes > 0 && lane.sent.elapsed() > 0)
        lane.rate = qMax(lane.rate, lane.requestBytes * 1000.0 / lane.sent.elapsed());
    if (lane.next < (lane.whole() ? lane.end : lane.asked.end)) {
        // A body that began and stopped short is incomplete; when nothing came at all (a
        // refused certificate or connection) the network is the cause, not the file.
        laneFailed(lane, {lane.requestBytes > 0 || !transportFailed ? DownloadFailure::Incomplete
                                                                      : DownloadFailure::NetworkFailure,
                          true});
        return;
    }
    arrivedBytes();
}

// After bytes came: tells the window, ends a whole stream whose share is in, and hands out
// the work of connections that are free.
void PackageTransfer::arrivedBytes()
{
    if (ended)
        return;
    emit readyRead();
    emit downloadProgress(download.received(), download.total());
    if (download.complete()) {
        end();
        return;
    }
    proceed();
}

// Hands out the work of connections that are free. A ranged request ends by itself; a whole
// stream is cut off once another connection brings what follows its share.
void PackageTransfer::proceed()
{
    for (std::size_t i = 0; i < lanes.size() && !ended; ++i) {
        Lane &lane = *lanes[i];
        if (!lane.reply || !lane.whole() || lane.next < lane.end)
            continue;
        switch (onward(lane)) {
        case Onward::Read:
            read(lane);
            break;
        case Onward::Wait:
            break;
        case Onward::Stop:
            release(lane);
            break;
        }
    }
    if (!ended && download.complete())
        end();
    distribute();
}

// Whether a whole stream that has brought its share reads on: into what follows when nobody
// else is to bring it, so that it is never cut while no other connection has taken over.
PackageTransfer::Onward PackageTransfer::onward(Lane &lane)
{
    const qint64 at = lane.end;
    const std::vector<PackageDownload::Span> gaps = download.missing();
    const auto gap = std::find_if(gaps.begin(), gaps.end(),
                                  [at](const PackageDownload::Span &span) { return span.begin <= at && at < span.end; });
    if (gap == gaps.end())
        return Onward::Stop;
    qint64 end = gap->end;
    for (const auto &other : lanes) {
        if (other.get() == &lane || other->retired || other->next >= other->end)
            continue;
        // Its taker may yet be turned away: the stream waits for the answer.
        if (other->next <= at && at < other->end)
            return other->reply && other->accepted ? Onward::Stop : Onward::Wait;
        if (other->next > at)
            end = qMin(end, other->next);
    }
    lane.end = end;
    return Onward::Read;
}

void PackageTransfer::laneFailed(Lane &lane, const DownloadFailure &cause)
{
    const bool broughtNothing = lane.requestBytes == 0;
    retire(lane);
    // A lone connection's failure is the download's, as it always was: the next press
    // goes on from the bytes kept.
    if (!split) {
        fail(cause);
        return;
    }
    // A connection turned away at once is not opened again: the server has enough.
    if (broughtNothing || ++laneFailures > maxLaneFailures)
        ceiling = qMin(ceiling, openLanes());
    proceed();
    if (busyLanes() == 0)
        fail(cause);
}

// A range answered with an error status before its first byte.
void PackageTransfer::rangeRefused(Lane &lane, const DownloadFailure &cause)
{
    retire(lane);
    // A server that has ranges enough from this updater (as a connection limit does) turns
    // one more away while the others go on.
    if (download.rangesProven() && busyLanes() > 0) {
        ceiling = qMin(ceiling, openLanes());
        proceed();
        return;
    }
    // The server turns ranges away, as some forbid split downloads: the first connection
    // brings the rest alone, or, when it is gone, the whole package is asked for again and
    // the bytes kept stay where its validator allows. Never again in this download.
    download.refuseRanges();
    split = false;
    splittable = false;
    for (const auto &other : lanes)
        if (!other->whole())
            retire(*other);
    proceed();
    if (busyLanes() == 0)
        fail(cause);
}

void PackageTransfer::retire(Lane &lane)
{
    release(lane);
    lane.retired = true;
    // What it did not bring becomes free for the others.
    lane.end = lane.next;
}

void PackageTransfer::release(Lane &lane)
{
    if (!lane.reply)
        return;
    QNetworkReply *const reply = lane.reply;
    lane.reply = nullptr;
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

// Gives a free connection work and sends its next request; false when there is none.
bool PackageTransfer::assign(Lane &lane)
{
    if (download.refusesRanges()) {
        lane.next = 0;
        lane.end = download.total() >= 0 ? download.total() : unknownEnd;
        send(lane, {});
        return true;
    }
    if (lane.next >= lane.end && !takeWork(lane))
        return false;
    qint64 askedEnd = lane.end;
    if (split) {
        const qint64 size = qMax<qint64>(minimumRange, qint64(lane.rate * requestSeconds));
        if (lane.end - lane.next - size >= minimumRange)
            askedEnd = lane.next + size;
    }
    send(lane, {lane.next, askedEnd});
    return true;
}

// Takes the first span nobody is bringing, else half of the largest range still left that
// is not yet asked for.
bool PackageTransfer::takeWork(Lane &lane)
{
    for (const PackageDownload::Span &gap : download.missing()) {
        // The gap's first byte that no connection is bringing.
        qint64 begin = gap.begin;
        for (bool moved = true; moved;) {
            moved = false;
            for (const auto &other : lanes)
                if (other->next <= begin && begin < other->end) {
                    begin = other->end;
                    moved = true;
                }
        }
        if (begin >= gap.end)
            continue;
        qint64 end = gap.end;
        for (const auto &other : lanes)
            if (other->next > begin && other->next < end && other->next < other->end)
                end = other->next;
        lane.next = begin;
        lane.end = end;
        return true;
    }
    if (!split)
        return false;
    Lane *victim = nullptr;
    qint64 largest = 0;
    for (const auto &other : lanes) {
        if (!other->reply)
            continue;
        const qint64 free = other->end - (other->whole() ? other->next : other->asked.end);
        if (free > largest) {
            largest = free;
            victim = other.get();
        }
    }
    if (!victim || largest < 2 * minimumRange)
        return false;
    const qint64 cut = victim->end - largest / 2;
    lane.next = cut;
    lane.end = victim->end;
    victim->end = cut;
    return true;
}

void PackageTransfer::distribute()
{
    if (ended)
        return;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        Lane &lane = *lanes[i];
        if (!lane.retired && !lane.reply)
            assign(lane);
    }
    // A connection is opened only for work that is there.
    while (openLanes() < limit()) {
        Lane work;
        if (!takeWork(work))
            break;
        Lane &lane = addLane();
        lane.next = work.next;
        lane.end = work.end;
        assign(lane);
    }
}

// Twice a second: how fast each connection is, and whether one is far behind the best.
void PackageTransfer::tick()
{
    // A first connection that would bring the rest soon enough alone keeps it: on a fast
    // line more connections only cost threads, memory and a second read for the hash.
    if (splittable && !split) {
        // Its pace since the request went out, once that is long enough to tell.
        Lane &first = *lanes.front();
        const qint64 elapsed = first.sent.elapsed();
        if (first.reply && elapsed >= tickMs / 2
            && first.requestBytes * splitAfterMs / elapsed < download.total() - download.received()) {
            split = true;
            first.reply->setReadBufferSize(sharedReadBuffer);
            distribute();
        }
    }
    // The best pace any connection has shown: once the others are done, a connection that
    // stalls at the end is still measured against it.
    qint64 best = 0;
    for (const auto &lane : lanes)
        if (!lane->retired)
            best = qMax(best, qMax(qint64(lane->rate * tickMs / 1000), lane->reply && lane->busyAtTick ? lane->tickBytes : 0));
    std::vector<Lane *> slow;
    for (const auto &lane : lanes) {
        const bool busy = lane->reply != nullptr;
        if (busy && lane->busyAtTick) {
            const double pace = lane->tickBytes * 1000.0 / tickMs;
            lane->rate = lane->rate > 0 ? (lane->rate + pace) / 2 : pace;
            lane->slowTicks = split && lane->tickBytes * slowFactor < best ? lane->slowTicks + 1 : 0;
            if (lane->slowTicks * tickMs >= slowSeconds * 1000)
                slow.push_back(lane.get());
        } else {
            lane->slowTicks = 0;
        }
        lane->busyAtTick = busy;
        lane->tickBytes = 0;
    }
    if (slow.empty())
        return;
    // Its remainder goes to the others; a new connection may take its place.
    for (Lane *lane : slow) {
        retire(*lane);
        if (++laneFailures > maxLaneFailures)
            ceiling = qMin(ceiling, openLanes());
    }
    proceed();
}

void PackageTransfer::fail(const DownloadFailure &cause)
{
    if (ended)
        return;
    // Bytes came and then the server was lost: the download is incomplete, whichever
    // connection failed last and however.
    const bool lost = cause.cause == DownloadFailure::NetworkFailure && download.received() > 0;
    download.fail(lost ? DownloadFailure{DownloadFailure::Incomplete, true} : cause);
    end();
}

void PackageTransfer::end()
{
    ended = true;
    ticker.stop();
    for (const auto &lane : lanes)
        release(*lane);
    outcome = download.finish();
    emit finished();
}

int PackageTransfer::openLanes() const
{
    return int(std::count_if(lanes.begin(), lanes.end(), [](const std::unique_ptr<Lane> &lane) { return !lane->retired; }));
}

int PackageTransfer::limit() const
{
    if (!split)
        return 1;
    // One range first: a server that turns ranges away or sends them elsewhere is known
    // before more connections go out.
    int wanted = download.rangesProven() ? ceiling : qMin(ceiling, 2);
    // Connections that a redirect left open in a manager count too.
    for (const auto &[manager, reached] : origins)
        wanted -= qMax(0, reached.size() - 1);
    return wanted;
}

int PackageTransfer::busyLanes() const
{
    return int(std::count_if(lanes.begin(), lanes.end(), [](const std::unique_ptr<Lane> &lane) { return lane->reply != nullptr; }));
}
