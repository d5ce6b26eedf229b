#include "net/PackageChecks.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Spans = std::vector<Span>;
Q_DECLARE_METATYPE(Spans)
Q_DECLARE_METATYPE(Span)

// A package's pieces checked against the record's hashes as they become whole.
class TestPackageChecks : public QObject
{
    Q_OBJECT

private slots:
    void collect_data();
    void collect();
    void unreadable();
};

void TestPackageChecks::collect_data()
{
    // A package of 2.5 pieces of 1 MiB; the bytes written, a byte spoilt (-1 for none).
    QTest::addColumn<Spans>("written");
    QTest::addColumn<qint64>("spoilt");
    // The bytes still in once the checks ended, how far the package is checked from its
    // start, and whether a piece failed.
    QTest::addColumn<Spans>("in");
    QTest::addColumn<qint64>("checkedPrefix");
    QTest::addColumn<bool>("wrong");

    const qint64 MiB = 1024 * 1024;
    const qint64 size = 5 * MiB / 2;
    QTest::newRow("all sound") << Spans{{0, size}} << qint64(-1) << Spans{{0, size}} << size << false;
    QTest::newRow("the shorter last piece alone") << Spans{{2 * MiB, size}} << qint64(-1) << Spans{{2 * MiB, size}} << qint64(0) << false;
    QTest::newRow("a piece not yet whole") << Spans{{0, MiB + 10}} << qint64(-1) << Spans{{0, MiB + 10}} << MiB << false;
    // A wrong piece alone goes: what else its source brought is the download's to drop.
    QTest::newRow("middle piece wrong") << Spans{{0, size}} << MiB + 5 << Spans{{0, MiB}, {2 * MiB, size}} << MiB << true;
    QTest::newRow("first piece wrong") << Spans{{0, size}} << qint64(0) << Spans{{MiB, size}} << qint64(0) << true;
    QTest::newRow("last piece wrong") << Spans{{0, size}} << size - 1 << Spans{{0, 2 * MiB}} << 2 * MiB << true;
    QTest::newRow("wrong byte in a piece not whole") << Spans{{0, MiB + 10}} << MiB + 5 << Spans{{0, MiB + 10}} << MiB << false;
    QTest::newRow("pieces ahead of the start, one wrong") << Spans{{2 * MiB, size}, {MiB, 2 * MiB}} << MiB + 5
                                                          << Spans{{2 * MiB, size}} << qint64(0) << true;
    QTest::newRow("the start last, all sound") << Spans{{MiB, size}, {0, MiB}} << qint64(-1) << Spans{{0, size}} << size << false;
}

void TestPackageChecks::collect()
{
    QFETCH(Spans, written);
    QFETCH(qint64, spoilt);
    QFETCH(Spans, in);
    QFETCH(qint64, checkedPrefix);
    QFETCH(bool, wrong);

    const qint64 MiB = 1024 * 1024;
    const qint64 size = 5 * MiB / 2;
    QByteArray package(int(size), Qt::Uninitialized);
    for (int i = 0; i < package.size(); ++i)
        package[i] = char(i * 7 + i / 4096);
    UpdateRecord record;
    record.size = size;
    record.pieceSize = MiB;
    for (qint64 offset = 0; offset < size; offset += record.pieceSize)
        record.pieceSha256.push_back(QCryptographicHash::hash(package.mid(int(offset), int(record.pieceSize)), QCryptographicHash::Sha256));
    // Another package's: the pieces cover every byte, and they alone are hashed.
    record.sha256 = QCryptographicHash::hash("another", QCryptographicHash::Sha256);
    QByteArray served = package;
    if (spoilt >= 0)
        served[int(spoilt)] = char(~served[int(spoilt)]);

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("package.part")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(served) == size);
    file.close();
    PackageChecks pieces(record);
    SpanSet bytes;
    for (const Span &span : written) {
        bytes.insert(span);
        pieces.check(file.fileName(), bytes, span);
    }
    QCOMPARE(pieces.collect(bytes, true).has_value(), wrong);
    QVERIFY(bytes.spans() == in);
    QCOMPARE(pieces.checkedPrefix(), checkedPrefix);
    // The pieces kept whole are checked again, as after the download dropped a source's bytes.
    pieces.recheck(file.fileName(), bytes);
    // The missing bytes fetched again, right.
    QVERIFY(file.open(QIODevice::ReadWrite));
    for (const Span &gap : bytes.gaps({0, size})) {
        QVERIFY(file.seek(gap.begin) && file.write(package.mid(int(gap.begin), int(gap.size()))) == gap.size() && file.flush());
        bytes.insert(gap);
        pieces.check(file.fileName(), bytes, gap);
    }
    QCOMPARE(pieces.collect(bytes, true).has_value(), spoilt >= 0 && !wrong);
    QCOMPARE(pieces.checkedPrefix(), spoilt >= 0 && !wrong ? MiB : size);
    QCOMPARE(pieces.verify(size) == PackageVerifier::Verdict::Sound, spoilt < 0 || wrong);
    // Started over, nothing is checked, and no late result counts.
    pieces.reset();
    QCOMPARE(pieces.checkedPrefix(), qint64(0));
    QCOMPARE(pieces.checked().size(), qint64(0));
}

// A piece that cannot be read back is the disk's failure, not its source's: it stays in.
void TestPackageChecks::unreadable()
{
    UpdateRecord record;
    record.size = 1024;
    record.pieceSize = 1024 * 1024;
    record.pieceSha256 = {QByteArray(32, 'x')};
    PackageChecks pieces(record);
    SpanSet bytes;
    bytes.insert({0, 1024});
    QTemporaryDir dir;
    pieces.check(dir.filePath(QStringLiteral("gone.part")), bytes, {0, 1024});
    const MaybeFailure failure = pieces.collect(bytes, true);
    QVERIFY(failure && failure->cause == Failure::Unreadable);
    QCOMPARE(bytes.size(), qint64(1024));
}

QTEST_APPLESS_MAIN(TestPackageChecks)
#include "tst_packagechecks.moc"
