#include "net/Answer.h"

#include <QTest>

Q_DECLARE_METATYPE(Answer::Header)
Q_DECLARE_METATYPE(Answer::Expected)

// Whether an answer continues the package: the decision every response of a download goes
// through, on plain values.
class TestAnswer : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void servesRanges_data();
    void servesRanges();
};

namespace {

const qint64 GiB = Q_INT64_C(1) << 30;
const QByteArray etag = QByteArrayLiteral("\"300000-1\"");
const QByteArray date = QByteArrayLiteral("Mon, 01 Dec 2025 00:00:00 GMT");

Answer::Header whole(qint64 length = 300000, const QByteArray &tag = etag, const QByteArray &modified = date)
{
    Answer::Header header;
    header.status = 200;
    header.contentLength = length;
    header.etag = tag;
    header.lastModified = modified;
    return header;
}

Answer::Header part(const QByteArray &range, qint64 length = 200000, const QByteArray &tag = etag,
                    const QByteArray &modified = date)
{
    Answer::Header header;
    header.status = 206;
    header.contentLength = length;
    header.contentRange = range;
    header.etag = tag;
    header.lastModified = modified;
    return header;
}

// A first request, or a range from `offset` of a package of 300,000 bytes.
Answer::Expected expected(qint64 offset = 0, const QByteArray &validator = QByteArray(), qint64 recordSize = -1,
                          bool vouched = false)
{
    Answer::Expected expect;
    expect.offset = offset;
    expect.end = offset > 0 ? 300000 : 0;
    expect.total = offset > 0 ? 300000 : recordSize;
    expect.validator = validator;
    expect.recordSize = recordSize;
    expect.vouched = vouched;
    expect.sizeLimit = 4 * GiB;
    return expect;
}

// A range from `begin` up to `end` of the same package, as a split download asks for it;
// with `pieces` checked, from any source, and with `rangeOnly`, from another than the first.
Answer::Expected range(qint64 begin, qint64 end, bool pieces = false, bool rangeOnly = false)
{
    Answer::Expected expect = expected(1, etag);
    expect.offset = begin;
    expect.end = end;
    expect.hashesVouch = pieces;
    expect.rangeOnly = rangeOnly;
    return expect;
}

} // namespace

void TestAnswer::judge_data()
{
    QTest::addColumn<Answer::Header>("header");
    QTest::addColumn<Answer::Expected>("expect");
    // -1: accepted.
    QTest::addColumn<int>("failure");
    QTest::addColumn<bool>("startOver");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QByteArray>("validator");

    const int accepted = -1;
    Answer::Header status = whole();
    status.status = 203;
    QTest::newRow("whole package") << whole() << expected() << accepted << false << qint64(300000) << etag;
    QTest::newRow("no length") << whole(-1) << expected() << accepted << false << qint64(-1) << etag;
    QTest::newRow("203") << status << expected() << int(Failure::HttpStatus) << false << qint64(-1) << QByteArray();
    QTest::newRow("206 to a plain request") << part("bytes 0-299999/300000", 300000) << expected()
                                            << int(Failure::HttpStatus) << false << qint64(-1) << QByteArray();
    QTest::newRow("length other than the record's") << whole(300001) << expected(0, QByteArray(), 300000)
                                                    << int(Failure::SizeMismatch) << false << qint64(-1) << QByteArray();
    QTest::newRow("record's size, no length") << whole(-1) << expected(0, QByteArray(), 300000) << accepted << false
                                              << qint64(300000) << etag;
    QTest::newRow("declared beyond the limit") << whole(10 * 1024 * GiB) << expected()
                                               << int(Failure::TooLarge) << false << qint64(-1) << QByteArray();
    QTest::newRow("plain Size beyond the limit") << whole(5 * GiB) << expected(0, QByteArray(), 5 * GiB)
                                                 << int(Failure::TooLarge) << false << qint64(-1) << QByteArray();
    QTest::newRow("signed Size beyond the limit") << whole(5 * GiB) << expected(0, QByteArray(), 5 * GiB, true)
                                                  << accepted << false << 5 * GiB << etag;

    // The validator sent back: a well-formed strong ETag, else a valid date, else none.
    QTest::newRow("weak ETag, date") << whole(300000, "W/" + etag) << expected() << accepted << false << qint64(300000) << date;
    QTest::newRow("ETag with a CR, date") << whole(300000, "\"a\"\rX-Injected: cr") << expected() << accepted << false
                                          << qint64(300000) << date;
    QTest::newRow("ETag with a NUL") << whole(300000, QByteArray("\"a\0b\"", 5), QByteArray()) << expected() << accepted
                                     << false << qint64(300000) << QByteArray();
    QTest::newRow("ETag with a space") << whole(300000, "\"a b\"", QByteArray()) << expected() << accepted << false
                                       << qint64(300000) << QByteArray();
    QTest::newRow("ETag unquoted") << whole(300000, "abc", QByteArray()) << expected() << accepted << false
                                   << qint64(300000) << QByteArray();
    QTest::newRow("ETag of non-ASCII bytes") << whole(300000, "\"\xe4\xb8\xad\"", QByteArray()) << expected() << accepted
                                             << false << qint64(300000) << QByteArray("\"\xe4\xb8\xad\"");
    QTest::newRow("date with a CR") << whole(300000, QByteArray(), date + "\rX-Injected: cr") << expected() << accepted
                                    << false << qint64(300000) << QByteArray();
    QTest::newRow("date of a day that is not") << whole(300000, QByteArray(), "Mon, 30 Feb 2025 00:00:00 GMT")
                                               << expected() << accepted << false << qint64(300000) << QByteArray();
    QTest::newRow("RFC 850 date") << whole(300000, QByteArray(), "Monday, 01-Dec-25 00:00:00 GMT") << expected()
                                  << accepted << false << qint64(300000) << QByteArray("Monday, 01-Dec-25 00:00:00 GMT");
    QTest::newRow("asctime date") << whole(300000, QByteArray(), "Mon Dec  1 00:00:00 2025") << expected() << accepted
                                  << false << qint64(300000) << QByteArray("Mon Dec  1 00:00:00 2025");

    // A range asked for from byte 100,000 of 300,000.
    QTest::newRow("the range asked for") << part("bytes 100000-299999/300000") << expected(100000, etag) << accepted
                                         << false << qint64(300000) << etag;
    // Only the validator the range was asked under vouches that its bytes are the package's.
    QTest::newRow("range, no ETag") << part("bytes 100000-299999/300000", 200000, QByteArray()) << expected(100000, etag)
                                    << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range, resumed by date") << part("bytes 100000-299999/300000", 200000, "\"other\"")
                                            << expected(100000, date) << accepted << false << qint64(300000) << date;
    QTest::newRow("range by date, no Last-Modified") << part("bytes 100000-299999/300000", 200000, etag, QByteArray())
                                                     << expected(100000, date) << int(Failure::RangeMismatch)
                                                     << false << qint64(300000) << date;
    QTest::newRow("range by date, another Last-Modified")
        << part("bytes 100000-299999/300000", 200000, etag, "Tue, 02 Dec 2025 00:00:00 GMT") << expected(100000, date)
        << int(Failure::RangeMismatch) << false << qint64(300000) << date;
    QTest::newRow("range from another byte") << part("bytes 0-299999/300000") << expected(100000, etag)
                                             << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range to another end") << part("bytes 100000-199999/300000") << expected(100000, etag)
                                          << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range of another package") << part("bytes 100000-299999/300001") << expected(100000, etag)
                                              << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range, length that does not fit") << part("bytes 100000-299999/300000", 199999) << expected(100000, etag)
                                                     << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range, another ETag") << part("bytes 100000-299999/300000", 200000, "\"changed\"")
                                         << expected(100000, etag) << int(Failure::RangeMismatch) << false
                                         << qint64(300000) << etag;
    QTest::newRow("range, unsatisfied form") << part("bytes */300000") << expected(100000, etag)
                                             << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    // A multipart answer carries its ranges in the body, not in the header.
    QTest::newRow("range, no Content-Range") << part(QByteArray()) << expected(100000, etag)
                                             << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range ignored: the whole again") << whole() << expected(100000, etag) << accepted << true
                                                    << qint64(300000) << etag;

    // Ranges with an end, and from byte 0, as the connections of a split download ask.
    QTest::newRow("closed range") << part("bytes 100000-199999/300000", 100000) << range(100000, 200000) << accepted
                                  << false << qint64(300000) << etag;
    QTest::newRow("closed range, answered to the end") << part("bytes 100000-299999/300000") << range(100000, 200000)
                                                       << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("closed range, longer body") << part("bytes 100000-199999/300000", 200000) << range(100000, 200000)
                                               << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
    QTest::newRow("range from byte 0") << part("bytes 0-99999/300000", 100000) << range(0, 100000) << accepted << false
                                       << qint64(300000) << etag;
    QTest::newRow("range from byte 0, the whole again") << whole() << range(0, 100000) << accepted << true
                                                        << qint64(300000) << etag;

    // With pieces checked, a mirror's range under its own validator will do; the rest not.
    QTest::newRow("pieces, another ETag") << part("bytes 100000-199999/300000", 100000, "\"mirror\"") << range(100000, 200000, true)
                                          << accepted << false << qint64(300000) << etag;
    QTest::newRow("pieces, no validator") << part("bytes 100000-199999/300000", 100000, QByteArray(), QByteArray())
                                          << range(100000, 200000, true) << accepted << false << qint64(300000) << etag;
    QTest::newRow("pieces, range of another package") << part("bytes 100000-199999/300001", 100000, "\"mirror\"")
                                                      << range(100000, 200000, true) << int(Failure::RangeMismatch) << false
                                                      << qint64(300000) << etag;
    QTest::newRow("another source, the whole package") << whole() << range(100000, 200000, true, true)
                                                       << int(Failure::RangeMismatch) << false << qint64(300000) << etag;
}

void TestAnswer::judge()
{
    QFETCH(Answer::Header, header);
    QFETCH(Answer::Expected, expect);
    QFETCH(int, failure);
    QFETCH(bool, startOver);
    QFETCH(qint64, total);
    QFETCH(QByteArray, validator);

    const Answer::Verdict verdict = Answer::judge(header, expect);
    QCOMPARE(verdict.failure ? int(verdict.failure->cause) : -1, failure);
    if (failure == int(Failure::HttpStatus))
        QCOMPARE(verdict.failure->status, header.status);
    if (verdict.failure)
        return;
    QCOMPARE(verdict.startOver, startOver);
    QCOMPARE(verdict.total, total);
    QCOMPARE(verdict.validator, validator);
}

void TestAnswer::servesRanges_data()
{
    QTest::addColumn<QByteArray>("acceptRanges");
    QTest::addColumn<bool>("served");

    QTest::newRow("bytes") << QByteArray("bytes") << true;
    QTest::newRow("case and spaces") << QByteArray(" Bytes ") << true;
    QTest::newRow("among other units") << QByteArray("pages, bytes") << true;
    QTest::newRow("none") << QByteArray("none") << false;
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("a unit named like it") << QByteArray("bytesx") << false;
}

void TestAnswer::servesRanges()
{
    QFETCH(QByteArray, acceptRanges);
    QFETCH(bool, served);

    Answer::Header header = whole();
    header.acceptRanges = acceptRanges;
    QCOMPARE(Answer::judge(header, expected()).servesRanges, served);
}

QTEST_MAIN(TestAnswer)
#include "tst_answer.moc"
