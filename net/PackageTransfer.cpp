#include "PackageTransfer.h"

#include "Logging.h"
#include "SafeGet.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

// Bytes taken from a reply at a time.
constexpr int pieceSize = 1024 * 1024;

const char slowAlone[] = "the first connection alone would be slow: splitting";

QString describe(const Span &asked)
{
    return asked.end == 0 ? QStringLiteral("the whole package") : QStringLiteral("bytes %1-%2").arg(asked.begin).arg(asked.end - 1);
}

} // namespace

PackageTransfer::PackageTransfer(QNetworkAccessManager &manager, PackageDownload &download, Sources &sources,
                                 bool together, QObject *parent)
    : QObject(parent)
    , links(manager, this, [this](int id) { return scheduler.connection(id).retired; })
    , download(download)
    , sources(sources)
    , used(sources.inUse(together))
    , scheduler(download.spans(), used)
    , buffer(pieceSize)
{
    scheduler.whenStopped([this](int id) { links.release(id); });
    ticker.setInterval(Scheduler::tickMs);
    connect(&ticker, &QTimer::timeout, this, &PackageTransfer::tick);
}

void PackageTransfer::start()
{
    download.retry();
    sources.beginAttempt();
    clock.start();
    ticker.start();
    if (download.received() == 0) {
        send(addLink(scheduler.addWhole(download.known())), {});
        // Its pace is judged from a quarter second on, whether bytes come then or not: a
        // throttled server sends in bursts, and may send none until its next second.
        QTimer::singleShot(Scheduler::tickMs / 2, Qt::PreciseTimer, this, [this] {
            if (!ended && scheduler.paceSplits(clock.elapsed(), download.known())) {
                qCInfo(lcTransfer) << slowAlone;
                distribute();
            }
        });
        return;
    }
    // The spans still missing after a broken transfer; split again if the download was split.
    scheduler.resume(download.known());
    distribute();
    if (scheduler.busy() == 0)
        fail(Failure(Failure::Incomplete, QStringLiteral("nothing left to ask for")));
}

int PackageTransfer::addLink(int id)
{
    links.add(id, sources[scheduler.connection(id).source].at);
    return id;
}

void PackageTransfer::send(int id, const Span &asked)
{
    scheduler.sent(id, asked, clock.elapsed());
    if (links.reaches(id, sources[scheduler.connection(id).source].at)) {
        open(id);
        return;
    }
    // From the event loop: this may run inside a signal of one of the old manager's replies.
    QTimer::singleShot(0, this, [this, id] {
        if (ended || !scheduler.connection(id).busy || links.reply(id))
            return;
        links.renew(id);
        open(id);
    });
}

void PackageTransfer::open(int id)
{
    const QUrl &url = sources[scheduler.connection(id).source].at;
    const Span asked = scheduler.connection(id).asked;
    qCInfo(lcTransfer).noquote() << "connection" << id << "asks for" << describe(asked) << "at" << forLog(url);
    QNetworkReply *const reply = links.open(id, download.request(url, asked), url, scheduler.isSplit());
    connect(reply, &QIODevice::readyRead, this, [this, id] {
        read(id);
        arrivedBytes();
    });
    connect(reply, &QNetworkReply::finished, this, [this, id] { requestEnded(id); });
}

void PackageTransfer::read(int id)
{
    while (!ended && links.reply(id) && links.reply(id)->bytesAvailable() > 0) {
        if (!scheduler.connection(id).accepted && !accept(id))
            return;
        // Taken after accept(), which may open connections.
        const Scheduler::Connection &c = scheduler.connection(id);
        // A whole stream past its share brings another connection's bytes: read only when
        // nobody else is to bring them. Past the package's end it is too long, which the
        // download judges.
        const bool share = c.whole() && c.end < download.total();
        if (share && c.next >= c.end && scheduler.onward(id, download.known()) != Scheduler::Onward::Read)
            return;
        const qint64 wanted = share ? qMin<qint64>(pieceSize, c.end - c.next) : pieceSize;
        const qint64 size = links.reply(id)->read(buffer.data(), wanted);
        if (size <= 0)
            return;
        if (!c.whole() && c.next + size > c.asked.end) {
            // Its source answered wrong, not the others.
            drop({c.source}, Failure(Failure::RangeMismatch, QStringLiteral("connection %1: a body longer than %2").arg(id).arg(describe(c.asked))));
            return;
        }
        for (const Span &gap : download.spans().gaps({c.next, c.next + size}))
            sources[c.source].brought.insert(gap);
        const MaybeFailure unstored = download.write(c.next, buffer.data(), size);
        if (unstored && unstored->cause != Failure::PieceMismatch)
            return fail(*unstored);
        // A wrong piece found meanwhile: these bytes were stored, and stay unless their source
        // served it; this connection reads on unless it did.
        scheduler.arrived(id, size);
        arrived += size;
        if (id == 0 && scheduler.paceSplits(clock.elapsed(), download.known()))
            qCInfo(lcTransfer) << slowAlone;
        if (unstored)
            wrongPiece(*unstored);
    }
}

// Whether the answer's body is to be read: decided once its header is in.
bool PackageTransfer::accept(int id)
{
    QNetworkReply *const reply = links.reply(id);
    const int source = scheduler.connection(id).source;
    const bool first = source == used.front();
    const Span asked = scheduler.connection(id).asked;
    const Answer::Verdict verdict = download.judge(*reply, asked, !first);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    MaybeFailure unfit = verdict.failure;
    if (!unfit && status != 0)
        unfit = download.apply(verdict, asked, status);
    if (unfit) {
        // Another source's answer that will not do costs that source, not the download.
        if (!scheduler.connection(id).whole() && (unfit->cause == Failure::HttpStatus || !first))
            rangeRefused(id, *unfit);
        else
            fail(*unfit);
        return false;
    }
    // No HTTP answer (status 0): the request's end tells what failed.
    if (status != 0) {
        qCInfo(lcTransfer).noquote() << "connection" << id << "answered" << status << "from" << forLog(reply->url());
        // Later requests go where this one was answered, not through the redirect again.
        sources[source].at = reply->url();
    }
    if (verdict.startOver) {
        // The whole package where a range was asked for: the server does not split after
        // all, or the package changed. This answer brings it all, alone.
        qCInfo(lcTransfer) << "connection" << id << "brings the whole package again, alone";
        scheduler.startOver(id, download.known());
        return true;
    }
    // Split at once, the others' ranges asked once its bytes are read (proceed()).
    if (scheduler.accepted(id, download.known(), clock.elapsed()))
        qCInfo(lcTransfer) << "the server is far away: splitting";
    return true;
}

void PackageTransfer::requestEnded(int id)
{
    read(id);
    if (ended || !links.reply(id))
        return;
    if (!scheduler.connection(id).accepted && !accept(id))
        return;
    QNetworkReply *const reply = links.reply(id);
    const bool transportFailed = reply->error() != QNetworkReply::NoError
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0;
    const Scheduler::Connection &c = scheduler.connection(id);
    if (c.whole() && c.end == Scheduler::unknownEnd && !transportFailed) {
        // A body of no announced length ends where the connection does.
        download.endsAt(c.next);
        scheduler.endsHere(id);
    }
    const qint64 brought = c.requestBytes;
    scheduler.ended(id, clock.elapsed());
    if (scheduler.fellShort(id)) {
        // A body that began and stopped short is incomplete; when nothing came at all (a
        // refused certificate or connection) the network is the cause, not the file.
        Failure cause(brought > 0 || !transportFailed ? Failure::Incomplete : Failure::NetworkFailure,
                      QStringLiteral("connection %1 to %2 ended after %3 bytes: %4").arg(id).arg(forLog(reply->url())).arg(brought)
                          .arg(transportFailed ? fromServer(reply->errorString()) : QStringLiteral("the body ended early")));
        cause.networkError = reply->error();
        qCWarning(lcTransfer).noquote() << cause.detail;
        goOn(scheduler.failed(id), cause);
        return;
    }
    qCInfo(lcTransfer) << "connection" << id << "brought" << brought << "bytes";
    arrivedBytes();
}

// After bytes came: tells the window and hands out the work of connections that are free.
void PackageTransfer::arrivedBytes()
{
    if (ended)
        return;
    emit readyRead();
    emit downloadProgress(download.received(), download.total());
    proceed();
}

// A ranged request ends by itself; a whole stream is cut off once another connection brings
// what follows its share, and reads on into it when nobody does.
void PackageTransfer::proceed()
{
    for (int id = 0; id < scheduler.count() && !ended; ++id) {
        const Scheduler::Connection &c = scheduler.connection(id);
        if (!links.reply(id) || !c.whole() || c.next < c.end)
            continue;
        const Scheduler::Onward onward = scheduler.onward(id, download.known());
        if (onward == Scheduler::Onward::Read)
            read(id);
        else if (onward == Scheduler::Onward::Stop)
            scheduler.ended(id, clock.elapsed());
    }
    if (!ended && settled())
        return;
    distribute();
}

// Ends the transfer once every byte is in and hashed; a wrong piece is fetched again.
bool PackageTransfer::settled()
{
    if (!download.complete())
        return false;
    const MaybeFailure wrongOne = download.settle();
    if (!wrongOne)
        end();
    else if (wrongOne->cause == Failure::PieceMismatch)
        wrongPiece(*wrongOne);
    else
        fail(*wrongOne);
    return true;
}

// A piece failed its hash: its sources are asked no more, and what they brought is fetched
// again, with the bytes no source of this transfer vouches for (kept from an attempt before).
void PackageTransfer::wrongPiece(const Failure &cause)
{
    const Sources::Blame blame = sources.blame(used, download.takeWrongPieces(), download.spans());
    download.forget(blame.suspect);
    sources.forgetBrought(download.spans().gaps({0, download.total()}));
    drop(blame.blamed, cause);
}

// Sources answered wrong: they are not asked again in this download, and their connections
// stop. The others bring their work; the transfer fails for `cause` when nobody is left.
void PackageTransfer::drop(const std::vector<int> &wrong, const Failure &cause)
{
    for (int source : wrong) {
        if (sources[source].dropped)
            continue;
        qCWarning(lcTransfer).noquote() << forLog(sources[source].url) << "answered wrong:" << cause.detail << "- it is not used again";
        sources[source].dropped = true;
        dropped = true;
        scheduler.dropSource(source);
    }
    goOn(scheduler.asksAny(), cause);
}

// The others bring the work left, unless `goesOn` is false; the transfer fails for `cause`
// then, or when nobody is left to bring it.
void PackageTransfer::goOn(bool goesOn, const Failure &cause)
{
    if (goesOn)
        proceed();
    if (!goesOn || scheduler.busy() == 0)
        fail(cause);
}

// A range answered with an error status before its first byte.
void PackageTransfer::rangeRefused(int id, const Failure &cause)
{
    qCWarning(lcTransfer).noquote() << "connection" << id << "turned away:" << cause.detail;
    const Scheduler::Refusal refusal = scheduler.refused(id, download.known(), clock.elapsed());
    if (refusal == Scheduler::Refusal::Later) {
        qCInfo(lcTransfer) << "connection" << id << "asks again in" << Scheduler::restMs << "ms";
        QTimer::singleShot(Scheduler::restMs, this, [this] { distribute(); });
        return;
    }
    if (refusal == Scheduler::Refusal::NoRanges) {
        // Never again in this download; the bytes kept stay where the validator allows.
        qCInfo(lcTransfer) << "the server turns ranges away: no more ranges for this download";
        download.refuseRanges();
    }
    goOn(true, cause);
}

void PackageTransfer::distribute()
{
    if (ended)
        return;
    for (int id = 0; id < scheduler.count(); ++id) {
        const Scheduler::Connection &c = scheduler.connection(id);
        // Each connection of a split download reads less ahead, the one that began it too.
        links.share(id, scheduler.isSplit());
        if (c.retired || c.busy || c.restUntilMs > clock.elapsed())
            continue;
        if (const std::optional<Span> asked = scheduler.request(id, download.known()))
            send(id, *asked);
    }
    // A connection is opened only for work that is there.
    while (scheduler.open() < scheduler.limit(download.known(), links.lingering())) {
        const std::optional<int> id = scheduler.addForWork(download.known());
        if (!id)
            break;
        addLink(*id);
        if (const std::optional<Span> asked = scheduler.request(*id, download.known()))
            send(*id, *asked);
    }
    // Those that wait for the first range to be answered connect meanwhile; asked only then,
    // as this runs at every read.
    const int ahead = used.size() == 1 ? scheduler.ahead(download.known(), links.lingering()) : 0;
    if (ahead > 0)
        links.warm(sources[used.front()].at, ahead);
}

void PackageTransfer::tick()
{
    const Scheduler::Tick result = scheduler.tick(clock.elapsed(), download.known());
    if (result.splits) {
        qCInfo(lcTransfer) << slowAlone;
        distribute();
    }
    for (int id : result.slow)
        qCInfo(lcTransfer) << "connection" << id << "is far slower than the others: its rest goes to them";
    if (!result.slow.empty())
        proceed();
}

void PackageTransfer::fail(const Failure &cause)
{
    if (ended)
        return;
    download.fail(cause);
    end();
}

void PackageTransfer::end()
{
    ended = true;
    ticker.stop();
    links.releaseAll();
    download.finish();
    emit finished();
}
