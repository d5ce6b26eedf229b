#include "net/Sources.h"

#include <QTest>

using Spans = std::vector<Span>;
Q_DECLARE_METATYPE(Spans)
Q_DECLARE_METATYPE(Span)

// Which of a record's mirrors a download may use: those no less safe than the record's own
// address, judged against the server the record came from.
class TestSources : public QObject
{
    Q_OBJECT

private slots:
    void mirrors_data();
    void mirrors();
    void suspect_data();
    void suspect();
};

void TestSources::mirrors_data()
{
    QTest::addColumn<QString>("recordServer");
    QTest::addColumn<QString>("downloadUri");
    QTest::addColumn<QStringList>("mirrors");
    QTest::addColumn<QStringList>("used");

    const QString publicServer = QStringLiteral("https://updates.example.com/version/down_update.php");
    const QString package = QStringLiteral("https://cdn.example.com/p.msi");
    QTest::newRow("in the publisher's order") << publicServer << package << QStringList{"https://b.example/p.msi", "https://a.example/p.msi"}
                                              << QStringList{package, "https://b.example/p.msi", "https://a.example/p.msi"};
    QTest::newRow("https down to http") << publicServer << package << QStringList{"http://a.example/p.msi"} << QStringList{package};
    QTest::newRow("http beside http") << publicServer << "http://cdn.example.com/p.msi" << QStringList{"http://a.example/p.msi"}
                                      << QStringList{"http://cdn.example.com/p.msi", "http://a.example/p.msi"};
    QTest::newRow("loopback behind a public server") << publicServer << package << QStringList{"https://127.0.0.1/p.msi"} << QStringList{package};
    QTest::newRow("private network behind a public server") << publicServer << package << QStringList{"https://192.168.1.5/p.msi", "https://[::ffff:10.0.0.1]/p.msi"}
                                                            << QStringList{package};
    QTest::newRow("private network behind a private server") << "http://10.0.0.2/version/down_update.php" << "http://10.0.0.2/p.msi"
                                                             << QStringList{"http://192.168.1.5/p.msi"} << QStringList{"http://10.0.0.2/p.msi", "http://192.168.1.5/p.msi"};
    QTest::newRow("loopback behind a loopback server") << "http://127.0.0.1:8765/version/down_update.php" << "http://127.0.0.1:8765/p.msi"
                                                       << QStringList{"http://127.0.0.1:8766/p.msi"} << QStringList{"http://127.0.0.1:8765/p.msi", "http://127.0.0.1:8766/p.msi"};
}

void TestSources::mirrors()
{
    QFETCH(QString, recordServer);
    QFETCH(QString, downloadUri);
    QFETCH(QStringList, mirrors);
    QFETCH(QStringList, used);

    UpdateRecord record;
    record.downloadUri = downloadUri;
    record.mirrors = mirrors;
    Sources sources(record, QUrl(recordServer));
    QStringList got{sources.current().toString()};
    while (sources.advance())
        got << sources.current().toString();
    QCOMPARE(got, used);
    // A new press begins at the record's own address.
    sources.restart();
    QCOMPARE(sources.current().toString(), downloadUri);
    // With pieces all are used together, but for one that served a wrong piece.
    const auto inUse = [&sources] {
        QStringList urls;
        for (int index : sources.inUse(true))
            urls << sources[index].url.toString();
        return urls;
    };
    QCOMPARE(inUse(), used);
    QCOMPARE(sources.inUse(false), QList<int>{sources.currentIndex()});
    sources[sources.size() - 1].dropped = true;
    QCOMPARE(inUse(), used.size() > 1 ? used.mid(0, used.size() - 1) : used);
}

void TestSources::suspect_data()
{
    // Two sources' bytes of a package in, each as one span; the first served a wrong piece.
    QTest::addColumn<Span>("first");
    QTest::addColumn<Span>("second");
    QTest::addColumn<Span>("in");
    QTest::addColumn<Spans>("suspect");

    QTest::newRow("the liar's bytes go, the others' stay") << Span{30, 40} << Span{0, 30} << Span{0, 40} << Spans{{30, 40}};
    QTest::newRow("bytes of an attempt before go too") << Span{10, 20} << Span{20, 30} << Span{0, 30} << Spans{{0, 20}};
}

void TestSources::suspect()
{
    QFETCH(Span, first);
    QFETCH(Span, second);
    QFETCH(Span, in);
    QFETCH(Spans, suspect);
    SpanSet brought[2];
    brought[0].insert(first);
    brought[1].insert(second);
    SpanSet kept;
    kept.insert(in);
    QVERIFY(Sources::suspect({brought[0], brought[1]}, {true, false}, kept).spans() == suspect);
}

QTEST_APPLESS_MAIN(TestSources)
#include "tst_sources.moc"
