#include "net/Scheduler.h"

#include <QTest>

// The download's decisions on plain values and a clock of the test's own: when to split,
// which span a connection takes, when a whole stream reads on, and when one is too slow.
class TestScheduler : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void work_data();
    void work();
    void onward_data();
    void onward();
    void slowConnectionGivesUp();
    void refusedRanges_data();
    void refusedRanges();
    void sources_data();
    void sources();
    void requestSize_data();
    void requestSize();
};

namespace {

constexpr qint64 MiB = 1024 * 1024;

Scheduler::Package package(qint64 total, bool proven = false, bool refused = false)
{
    return {total, true, proven, refused};
}

// A first connection that asked for the whole package at 0 ms, was answered at `answerMs`
// and has brought its first bytes.
int wholeStream(Scheduler &scheduler, SpanSet &in, const Scheduler::Package &package, qint64 brought, qint64 answerMs = 0)
{
    const int id = scheduler.addWhole(package);
    scheduler.sent(id, {}, 0);
    scheduler.accepted(id, package, answerMs);
    scheduler.arrived(id, brought);
    in.insert({0, brought});
    return id;
}

} // namespace

void TestScheduler::split_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("servesRanges");
    // What the first connection brought by the first tick, and when that was.
    QTest::addColumn<qint64>("brought");
    QTest::addColumn<qint64>("atMs");
    QTest::addColumn<bool>("splits");
    // How long its answer took: a far server's splits the download before any pace is known.
    QTest::addColumn<qint64>("answerMs");

    QTest::newRow("throttled line") << 40 * MiB << true << 2 * MiB << qint64(500) << true << qint64(0);
    QTest::newRow("fast line keeps one connection") << 40 * MiB << true << 20 * MiB << qint64(500) << false << qint64(0);
    QTest::newRow("rest in just under two seconds") << 40 * MiB << true << 10 * MiB << qint64(500) << false << qint64(0);
    QTest::newRow("too early to tell") << 40 * MiB << true << qint64(1000) << qint64(200) << false << qint64(0);
    QTest::newRow("small package") << 8 * MiB << true << qint64(1000) << qint64(500) << false << qint64(0);
    QTest::newRow("no ranges") << 40 * MiB << false << qint64(1000) << qint64(500) << false << qint64(0);
    QTest::newRow("unknown length") << qint64(-1) << true << qint64(1000) << qint64(500) << false << qint64(0);
    QTest::newRow("far server") << 40 * MiB << true << 20 * MiB << qint64(500) << true << qint64(400);
    QTest::newRow("near server, fast") << 40 * MiB << true << 20 * MiB << qint64(500) << false << qint64(60);
    QTest::newRow("far server, small package") << 8 * MiB << true << qint64(0) << qint64(500) << false << qint64(400);
}

void TestScheduler::split()
{
    QFETCH(qint64, total);
    QFETCH(bool, servesRanges);
    QFETCH(qint64, brought);
    QFETCH(qint64, atMs);
    QFETCH(bool, splits);
    QFETCH(qint64, answerMs);

    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known{total, servesRanges, false, false};
    wholeStream(scheduler, in, known, brought, answerMs);
    QCOMPARE(scheduler.isSplit() || scheduler.tick(atMs, known).splits, splits);
    QCOMPARE(scheduler.isSplit(), splits);
    // One range first, the rest once a range was answered with its bytes, less what
    // redirects left open.
    QCOMPARE(scheduler.limit(known, 0), splits ? 2 : 1);
    QCOMPARE(scheduler.limit(package(total, true), 1), splits ? Scheduler::maxConnections - 1 : 1);
    // Those are connected ahead while the first range is under way.
    QCOMPARE(scheduler.ahead(known, 0), splits ? Scheduler::maxConnections - 3 : 0);
    QCOMPARE(scheduler.ahead(package(total, true), 0), 0);
}

void TestScheduler::work_data()
{
    // The first connection, a whole stream "busy" or "failed" (then a "range under way" brings
    // its rest), and how far the file is in when another connection looks for work; whether
    // one took work before and gave up.
    QTest::addColumn<QString>("first");
    QTest::addColumn<qint64>("inUpTo");
    QTest::addColumn<bool>("takerGaveUp");
    // The span taken (-1: no work), and the first connection's share afterwards.
    QTest::addColumn<qint64>("begin");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<qint64>("firstEnd");
    // The pace the first connection showed over half a second after that (0: none), bringing
    // half a second's bytes.
    QTest::addColumn<qint64>("firstRate");

    QTest::newRow("half of the largest range") << "busy" << 8 * MiB << false << 24 * MiB << 40 * MiB << 24 * MiB << qint64(0);
    QTest::newRow("what another gave up") << "busy" << 8 * MiB << true << 24 * MiB << 40 * MiB << 24 * MiB << qint64(0);
    QTest::newRow("a failed connection's rest") << "failed" << 8 * MiB << false << 8 * MiB << 40 * MiB << 8 * MiB << qint64(0);
    QTest::newRow("too little left to halve") << "busy" << 33 * MiB << false << qint64(-1) << qint64(-1) << 40 * MiB << qint64(0);
    // 5 MiB left at 4 MiB/s: each half takes over half a second.
    QTest::newRow("near the end, half of its rest") << "busy" << 33 * MiB << false << 75 * MiB / 2 << 40 * MiB << 75 * MiB / 2 << 4 * MiB;
    QTest::newRow("near the end, too little") << "busy" << 36 * MiB << false << qint64(-1) << qint64(-1) << 40 * MiB << 6 * MiB;
    // 33-40 MiB asked for at once, 6 MiB still to come at 2 MiB/s: the taker races it from 37.
    QTest::newRow("near the end, half of a range under way") << "range under way" << 33 * MiB << false << 37 * MiB << 40 * MiB
                                                              << 37 * MiB << 2 * MiB;
}

void TestScheduler::work()
{
    QFETCH(QString, first);
    QFETCH(qint64, inUpTo);
    QFETCH(bool, takerGaveUp);
    QFETCH(qint64, begin);
    QFETCH(qint64, end);
    QFETCH(qint64, firstEnd);
    QFETCH(qint64, firstRate);

    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known = package(40 * MiB, true);
    const int stream = wholeStream(scheduler, in, known, inUpTo);
    QVERIFY(scheduler.tick(20000, known).splits);
    if (takerGaveUp)
        scheduler.retire(*scheduler.addForWork(known));
    int from = stream;
    if (first != QLatin1String("busy"))
        QVERIFY(scheduler.failed(stream));
    if (first == QLatin1String("range under way")) {
        from = *scheduler.addForWork(known);
        scheduler.sent(from, *scheduler.request(from, known), 20000);
    }
    if (firstRate > 0) {
        const qint64 at = scheduler.connection(from).next;
        scheduler.tick(20250, known);
        scheduler.arrived(from, firstRate / 2);
        in.insert({at, at + firstRate / 2});
        scheduler.tick(20750, known);
    }
    const std::optional<int> taker = scheduler.addForWork(known);
    QCOMPARE(taker.has_value(), begin >= 0);
    QCOMPARE(scheduler.connection(from).end, firstEnd);
    if (!taker)
        return;
    QCOMPARE(scheduler.connection(*taker).next, begin);
    QCOMPARE(scheduler.connection(*taker).end, end);
    // A split connection asks for about two seconds of its range at a time, at least 4 MiB.
    const std::optional<Span> asked = scheduler.request(*taker, known);
    QVERIFY(asked);
    QCOMPARE(asked->begin, begin);
    QCOMPARE(asked->end, qMin(begin + Scheduler::minimumRange, end));
}

void TestScheduler::onward_data()
{
    // What holds the bytes after a whole stream's share, 2-21 MiB of 40 once the split cut
    // it: "nobody", bytes already "in", a range "asked" and not yet answered, or "answered".
    QTest::addColumn<QString>("next");
    QTest::addColumn<int>("onward");
    QTest::addColumn<qint64>("endAfter");

    QTest::newRow("nobody: reads on") << "nobody" << int(Scheduler::Onward::Read) << 40 * MiB;
    QTest::newRow("bytes in: stops") << "in" << int(Scheduler::Onward::Stop) << 21 * MiB;
    QTest::newRow("a range not yet answered: waits") << "asked" << int(Scheduler::Onward::Wait) << 21 * MiB;
    QTest::newRow("a range answered: stops") << "answered" << int(Scheduler::Onward::Stop) << 21 * MiB;
}

void TestScheduler::onward()
{
    QFETCH(QString, next);
    QFETCH(int, onward);
    QFETCH(qint64, endAfter);

    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known = package(40 * MiB, true);
    const int first = wholeStream(scheduler, in, known, 2 * MiB);
    QVERIFY(scheduler.tick(500, known).splits);
    const int taker = *scheduler.addForWork(known);
    QCOMPARE(scheduler.connection(first).end, 21 * MiB);
    if (next == QLatin1String("asked") || next == QLatin1String("answered"))
        scheduler.sent(taker, *scheduler.request(taker, known), 500);
    else
        scheduler.retire(taker);
    if (next == QLatin1String("answered"))
        scheduler.accepted(taker, known, 500);
    if (next == QLatin1String("in"))
        in.insert({21 * MiB, 25 * MiB});
    scheduler.arrived(first, 19 * MiB);
    in.insert({2 * MiB, 21 * MiB});
    QCOMPARE(int(scheduler.onward(first, known)), onward);
    QCOMPARE(scheduler.connection(first).end, endAfter);
}

// A connection that brings less than an eighth of the best for two seconds gives up its rest.
void TestScheduler::slowConnectionGivesUp()
{
    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known = package(64 * MiB, true);
    const int first = wholeStream(scheduler, in, known, MiB);
    QVERIFY(scheduler.tick(500, known).splits);
    const int slow = *scheduler.addForWork(known);
    scheduler.sent(slow, *scheduler.request(slow, known), 500);
    scheduler.accepted(slow, known, 500);
    qint64 now = 500;
    for (int tick = 1; tick <= 5; ++tick) {
        scheduler.arrived(first, 4 * MiB);
        scheduler.arrived(slow, 256 * 1024);
        now += Scheduler::tickMs;
        const Scheduler::Tick result = scheduler.tick(now, known);
        // The first tick only starts the count; four slow ones in a row are two seconds.
        QCOMPARE(result.slow, tick == 5 ? std::vector<int>{slow} : std::vector<int>{});
    }
    QVERIFY(scheduler.connection(slow).retired);
    QCOMPARE(scheduler.connection(slow).end, scheduler.connection(slow).next);
    QVERIFY(!scheduler.connection(first).retired);
}

void TestScheduler::refusedRanges_data()
{
    QTest::addColumn<bool>("proven");
    QTest::addColumn<bool>("othersBusy");
    QTest::addColumn<int>("refusal");
    // The connection brought a range before.
    QTest::addColumn<bool>("worked");

    QTest::newRow("first range turned away") << false << true << int(Scheduler::Refusal::NoRanges) << false;
    QTest::newRow("one more than the server allows") << true << true << int(Scheduler::Refusal::FewerConnections) << false;
    // Its new socket met the server still counting the old one: once, it asks again later.
    QTest::newRow("worked, then turned away") << true << true << int(Scheduler::Refusal::Later) << true;
    QTest::newRow("proven, but nothing else works") << true << false << int(Scheduler::Refusal::NoRanges) << false;
}

// A range turned away ends the split unless ranges have worked and other connections do.
void TestScheduler::refusedRanges()
{
    QFETCH(bool, proven);
    QFETCH(bool, othersBusy);
    QFETCH(int, refusal);
    QFETCH(bool, worked);

    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known = package(40 * MiB, proven);
    const int first = wholeStream(scheduler, in, known, MiB);
    QVERIFY(scheduler.tick(500, known).splits);
    const int ranged = *scheduler.addForWork(known);
    scheduler.sent(ranged, *scheduler.request(ranged, known), 500);
    if (worked) {
        scheduler.accepted(ranged, known, 500);
        scheduler.arrived(ranged, scheduler.connection(ranged).asked.size());
        scheduler.ended(ranged, 1000);
        scheduler.sent(ranged, *scheduler.request(ranged, known), 1000);
    }
    if (!othersBusy)
        scheduler.retire(first);
    QCOMPARE(int(scheduler.refused(ranged, known, 1000)), refusal);
    if (refusal == int(Scheduler::Refusal::Later)) {
        QVERIFY(!scheduler.connection(ranged).retired);
        QCOMPARE(scheduler.connection(ranged).restUntilMs, 1000 + Scheduler::restMs);
        // Turned away again: the server has enough.
        scheduler.sent(ranged, *scheduler.request(ranged, known), 2000);
        QCOMPARE(scheduler.refused(ranged, known, 2000), Scheduler::Refusal::FewerConnections);
        return;
    }
    QVERIFY(scheduler.connection(ranged).retired);
    QCOMPARE(scheduler.isSplit(), refusal == int(Scheduler::Refusal::FewerConnections));
    if (refusal == int(Scheduler::Refusal::NoRanges)) {
        // The whole package over one connection from then on.
        QCOMPARE(scheduler.limit(known, 0), 1);
        if (othersBusy)
            QVERIFY(!scheduler.connection(first).retired);
        const std::optional<int> again = scheduler.addForWork(package(40 * MiB, proven, true));
        QVERIFY(again);
        QCOMPARE(*scheduler.request(*again, package(40 * MiB, proven, true)), Span{});
    }
}

void TestScheduler::sources_data()
{
    // With three sources and 4 MiB pieces: what one source does to the connections it has
    // (or to all of them), and the connections each source has once the others filled up.
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("source");
    QTest::addColumn<QVector<int>>("counts");

    QTest::newRow("spread over three") << "" << 0 << QVector<int>{3, 3, 2};
    QTest::newRow("a mirror turns one away") << "refuse" << 1 << QVector<int>{3, 2, 3};
    QTest::newRow("a dead mirror") << "fail all" << 2 << QVector<int>{4, 4, 0};
    QTest::newRow("a mirror served a wrong piece") << "drop" << 1 << QVector<int>{4, 0, 4};
    // The first source too: the split goes on with the others.
    QTest::newRow("the first source turns one away") << "refuse" << 0 << QVector<int>{2, 3, 3};
    // A crawling source is asked no more while another keeps pace; when all crawl, the line
    // is slow, and every source is asked again.
    QTest::newRow("a mirror crawls") << "crawl" << 2 << QVector<int>{4, 4, 0};
    QTest::newRow("all crawl") << "crawl" << -1 << QVector<int>{3, 3, 2};
}

// Connections go to the source with the fewest, each source asked with no more than it
// takes, and every range starts and ends at a piece's edge.
void TestScheduler::sources()
{
    QFETCH(QString, event);
    QFETCH(int, source);
    QFETCH(QVector<int>, counts);

    SpanSet in;
    Scheduler scheduler(in, {0, 1, 2});
    Scheduler::Package known = package(256 * MiB, true);
    known.pieceSize = 4 * MiB;
    wholeStream(scheduler, in, known, MiB);
    QVERIFY(scheduler.tick(500, known).splits);
    const auto fill = [&](bool aligned) {
        while (scheduler.open() < scheduler.limit(known, 0)) {
            const std::optional<int> id = scheduler.addForWork(known);
            if (!id)
                break;
            const std::optional<Span> asked = scheduler.request(*id, known);
            QVERIFY(asked);
            // A connection that gave up midway leaves a remainder that starts where it stopped.
            QVERIFY(!aligned || asked->begin % known.pieceSize == 0);
            QVERIFY(!aligned || asked->end % known.pieceSize == 0 || asked->end == known.total);
            scheduler.sent(*id, *asked, 500);
        }
    };
    fill(true);
    if (event == QLatin1String("crawl")) {
        // A tick at which every connection keeps pace, then ticks at which those of `source`
        // (or all) bring nothing.
        for (int tick = 0; tick <= Scheduler::slowSeconds * 1000 / Scheduler::tickMs; ++tick) {
            for (int id = 0; id < scheduler.count(); ++id)
                if (scheduler.connection(id).busy && (tick == 0 || (source >= 0 && scheduler.connection(id).source != source)))
                    scheduler.arrived(id, 64 * 1024);
            scheduler.tick(1000 + tick * Scheduler::tickMs, known);
        }
    } else if (event == QLatin1String("drop")) {
        scheduler.dropSource(source);
    } else if (!event.isEmpty()) {
        // The first connection of `source` turned away, or every one failed.
        for (int id = 1; id < scheduler.count(); ++id) {
            if (scheduler.connection(id).source != source || scheduler.connection(id).retired)
                continue;
            if (event == QLatin1String("refuse")) {
                QCOMPARE(scheduler.refused(id, known, 500), Scheduler::Refusal::FewerConnections);
                break;
            }
            QVERIFY(scheduler.failed(id));
        }
    }
    fill(event != QLatin1String("crawl"));
    QCOMPARE(scheduler.open(), counts[0] + counts[1] + counts[2]);
    for (int index = 0; index < 3; ++index)
        QCOMPARE(scheduler.openTo(index), counts[index]);
    QVERIFY(scheduler.isSplit());
}

void TestScheduler::requestSize_data()
{
    // The pace a connection showed, how long its answer took, how far the file is in, and the
    // size of its next request.
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<qint64>("answerMs");
    QTest::addColumn<qint64>("inUpTo");
    QTest::addColumn<qint64>("size");

    QTest::newRow("two seconds of its pace") << 5 * MiB << qint64(0) << 8 * MiB << 10 * MiB;
    QTest::newRow("never under 4 MiB") << MiB << qint64(0) << 8 * MiB << 4 * MiB;
    // 56 MiB missing, 30 of them the first stream's share: the 26 nobody asked for, halved.
    QTest::newRow("near the end, an even share") << 40 * MiB << qint64(0) << 36 * MiB << 13 * MiB;
    // A 200 ms round trip: ten seconds of its pace, so that the wait for an answer is 2 %.
    QTest::newRow("far: fifty round trips") << MiB / 2 << qint64(200) << 8 * MiB << 5 * MiB;
}

void TestScheduler::requestSize()
{
    QFETCH(qint64, rate);
    QFETCH(qint64, answerMs);
    QFETCH(qint64, inUpTo);
    QFETCH(qint64, size);

    SpanSet in;
    Scheduler scheduler(in);
    const Scheduler::Package known = package(96 * MiB, true);
    const int stream = wholeStream(scheduler, in, known, inUpTo);
    QVERIFY(scheduler.tick(20000, known).splits);
    // A range of a second at that pace ends, and the connection asks again.
    const int taker = *scheduler.addForWork(known);
    const Span first = *scheduler.request(taker, known);
    scheduler.sent(taker, first, 20000);
    scheduler.accepted(taker, known, 20000 + answerMs);
    scheduler.arrived(taker, first.size());
    in.insert(first);
    scheduler.ended(taker, 20000 + first.size() * 1000 / rate);
    QVERIFY(scheduler.connection(stream).busy);
    const std::optional<Span> next = scheduler.request(taker, known);
    QVERIFY(next);
    QCOMPARE(next->size(), size);
}

QTEST_APPLESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
