#include "net/SpanSet.h"

#include <QTest>

using Spans = std::vector<Span>;
Q_DECLARE_METATYPE(Spans)

// Which bytes of a file are in: spans merged as they come, and the gaps a download asks for.
class TestSpanSet : public QObject
{
    Q_OBJECT

private slots:
    void insert_data();
    void insert();
};

void TestSpanSet::insert_data()
{
    QTest::addColumn<Spans>("inserted");
    QTest::addColumn<Spans>("in");
    // The gaps within 0-100, and how far the file is in from its first byte.
    QTest::addColumn<Spans>("gaps");
    QTest::addColumn<qint64>("prefix");
    // Then taken out again.
    QTest::addColumn<Spans>("removed");

    QTest::newRow("nothing") << Spans{} << Spans{} << Spans{{0, 100}} << qint64(0) << Spans{};
    QTest::newRow("from the start") << Spans{{0, 30}} << Spans{{0, 30}} << Spans{{30, 100}} << qint64(30) << Spans{};
    QTest::newRow("in the middle") << Spans{{40, 60}} << Spans{{40, 60}} << Spans{{0, 40}, {60, 100}} << qint64(0) << Spans{};
    QTest::newRow("touching spans are one") << Spans{{0, 30}, {30, 50}} << Spans{{0, 50}} << Spans{{50, 100}} << qint64(50) << Spans{};
    QTest::newRow("out of order, a gap between") << Spans{{60, 80}, {0, 20}} << Spans{{0, 20}, {60, 80}}
                                                 << Spans{{20, 60}, {80, 100}} << qint64(20) << Spans{};
    QTest::newRow("filling a gap joins three") << Spans{{0, 20}, {60, 80}, {20, 60}} << Spans{{0, 80}} << Spans{{80, 100}}
                                               << qint64(80) << Spans{};
    QTest::newRow("bytes already in") << Spans{{10, 50}, {20, 30}, {0, 60}} << Spans{{0, 60}} << Spans{{60, 100}}
                                      << qint64(60) << Spans{};
    QTest::newRow("spanning several") << Spans{{10, 20}, {30, 40}, {50, 60}, {15, 55}} << Spans{{10, 60}}
                                      << Spans{{0, 10}, {60, 100}} << qint64(0) << Spans{};
    QTest::newRow("empty span") << Spans{{30, 30}} << Spans{} << Spans{{0, 100}} << qint64(0) << Spans{};
    QTest::newRow("all of it") << Spans{{50, 100}, {0, 50}} << Spans{{0, 100}} << Spans{} << qint64(100) << Spans{};
    QTest::newRow("a piece taken out of the middle") << Spans{{0, 100}} << Spans{{0, 40}, {60, 100}} << Spans{{40, 60}} << qint64(40)
                                                     << Spans{{40, 60}};
    QTest::newRow("taken out across spans and gaps") << Spans{{0, 30}, {50, 70}, {80, 90}} << Spans{{0, 20}, {85, 90}}
                                                     << Spans{{20, 85}, {90, 100}} << qint64(20) << Spans{{20, 85}};
    QTest::newRow("taken out where nothing is") << Spans{{0, 10}} << Spans{{0, 10}} << Spans{{10, 100}} << qint64(10) << Spans{{50, 60}};
}

void TestSpanSet::insert()
{
    QFETCH(Spans, inserted);
    QFETCH(Spans, in);
    QFETCH(Spans, gaps);
    QFETCH(qint64, prefix);
    QFETCH(Spans, removed);

    SpanSet set;
    for (const Span &span : inserted)
        set.insert(span);
    for (const Span &span : removed)
        set.remove(span);
    QVERIFY(set.spans() == in);
    QVERIFY(set.gaps({0, 100}) == gaps);
    QCOMPARE(set.prefix(), prefix);
    qint64 size = 0;
    for (const Span &span : in)
        size += span.size();
    QCOMPARE(set.size(), size);
    // A byte is in exactly when no gap holds it.
    for (qint64 at = 0; at < 100; ++at)
        QCOMPARE(set.contains(at), std::none_of(gaps.begin(), gaps.end(), [at](const Span &gap) {
                     return gap.begin <= at && at < gap.end;
                 }));
}

QTEST_APPLESS_MAIN(TestSpanSet)
#include "tst_spanset.moc"
