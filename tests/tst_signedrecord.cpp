#include "signingkey.h"
#include "trust/SignedRecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

// What a signed record must hold to be believed, at explicit times.
class TestSignedRecord : public QObject
{
    Q_OBJECT

private slots:
    void open_data();
    void open();
    void members_data();
    void members();
    void replay_data();
    void replay();
    void rollout_data();
    void rollout();

private:
    SigningKey publisher;
};

namespace {

const qint64 now = 1800000000;

QByteArray bytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

void TestSignedRecord::open_data()
{
    QTest::addColumn<QJsonObject>("body");
    QTest::addColumn<bool>("opens");

    const QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "说明"},
                             {"DownloadUri", "https://example.com/p.msi"}, {"Size", 300000}, {"Sha256", QString(64, 'a')},
                             {"Expires", double(now + 1)}, {"Mirrors", QJsonArray{"https://mirror.example.com/p.msi"}}};
    const auto with = [&record](const char *name, const QJsonValue &value) {
        QJsonObject changed = record;
        if (value.isUndefined())
            changed.remove(QLatin1String(name));
        else
            changed.insert(QLatin1String(name), value);
        return changed;
    };
    const auto signedBy = [](const SigningKey &key, const QByteArray &signedBytes) { return key.signedMembers(signedBytes); };

    QTest::newRow("expires a second from now") << signedBy(publisher, bytes(record)) << true;
    QTest::newRow("expires now") << signedBy(publisher, bytes(with("Expires", double(now)))) << false;
    QTest::newRow("expired an hour ago") << signedBy(publisher, bytes(with("Expires", double(now - 3600)))) << false;
    QTest::newRow("no Expires") << signedBy(publisher, bytes(with("Expires", QJsonValue::Undefined))) << false;
    QTest::newRow("Expires as a string") << signedBy(publisher, bytes(with("Expires", QString::number(now + 3600)))) << false;
    QTest::newRow("Expires with a fraction") << signedBy(publisher, bytes(with("Expires", now + 0.5))) << false;
    QTest::newRow("Expires beyond 2^53") << signedBy(publisher, bytes(with("Expires", 1e17))) << false;
    QTest::newRow("no Size") << signedBy(publisher, bytes(with("Size", QJsonValue::Undefined))) << false;
    QTest::newRow("no Sha256") << signedBy(publisher, bytes(with("Sha256", QJsonValue::Undefined))) << false;
    QTest::newRow("Sha256 too short") << signedBy(publisher, bytes(with("Sha256", QString(63, 'a')))) << false;
    QTest::newRow("signed by another key") << signedBy(SigningKey(), bytes(record)) << false;
    QTest::newRow("signed bytes not JSON") << signedBy(publisher, "签名的说明") << false;
    QTest::newRow("signed bytes a JSON array") << signedBy(publisher, "[1]") << false;
    QJsonObject changed = signedBy(publisher, bytes(record));
    changed.insert("SignedRecord", QString::fromLatin1(bytes(with("Version", "9.9.9")).toBase64()));
    QTest::newRow("bytes changed after signing") << changed << false;
    QJsonObject mirrorsChanged = signedBy(publisher, bytes(record));
    mirrorsChanged.insert("SignedRecord", QString::fromLatin1(bytes(with("Mirrors", QJsonArray{"https://evil.example/p.msi"})).toBase64()));
    QTest::newRow("mirrors changed after signing") << mirrorsChanged << false;
    QJsonObject mirrorsBeside = signedBy(publisher, bytes(record));
    mirrorsBeside.insert("Mirrors", QJsonArray{"https://evil.example/p.msi"});
    QTest::newRow("mirrors beside the signed pair") << mirrorsBeside << true;
    QJsonObject unsignedPair = signedBy(publisher, bytes(record));
    unsignedPair.remove("RecordSignature");
    QTest::newRow("signature missing") << unsignedPair << false;
    QJsonObject badBase64 = signedBy(publisher, bytes(record));
    badBase64.insert("RecordSignature", "not*base64");
    QTest::newRow("signature not base64") << badBase64 << false;
}

void TestSignedRecord::open()
{
    QFETCH(QJsonObject, body);
    QFETCH(bool, opens);

    const std::optional<UpdateRecord> record = SignedRecord::open(body, publisher.publicKey, now);
    QCOMPARE(record.has_value(), opens);
    if (!record)
        return;
    // Its size is the publisher's word.
    QVERIFY(record->vouched);
    QCOMPARE(record->size, qint64(300000));
    QCOMPARE(record->version, QStringLiteral("3.1.0"));
    QCOMPARE(record->mirrors, QStringList{"https://mirror.example.com/p.msi"});
}

void TestSignedRecord::members_data()
{
    // Members added to a record of 9 MiB (null removes one); the member named malformed, or none.
    QTest::addColumn<QJsonObject>("members");
    QTest::addColumn<QString>("malformed");

    const QString hash(64, 'a');
    const QJsonArray threePieces{hash, hash.toUpper(), hash};
    QTest::newRow("mirrors") << QJsonObject{{"Mirrors", QJsonArray{"https://a.example/p.msi", "http://10.0.0.1:8080/p.msi"}}} << "";
    QTest::newRow("eight mirrors") << QJsonObject{{"Mirrors", QJsonArray{"http://a/", "http://b/", "http://c/", "http://d/", "http://e/", "http://f/", "http://g/", "http://h/"}}} << "";
    QTest::newRow("nine mirrors") << QJsonObject{{"Mirrors", QJsonArray{"http://a/", "http://b/", "http://c/", "http://d/", "http://e/", "http://f/", "http://g/", "http://h/", "http://i/"}}} << "Mirrors";
    QTest::newRow("ftp mirror") << QJsonObject{{"Mirrors", QJsonArray{"ftp://a.example/p.msi"}}} << "Mirrors";
    QTest::newRow("relative mirror") << QJsonObject{{"Mirrors", QJsonArray{"/p.msi"}}} << "Mirrors";
    QTest::newRow("mirrors as a string") << QJsonObject{{"Mirrors", "https://a.example/p.msi"}} << "Mirrors";
    QTest::newRow("pieces") << QJsonObject{{"PieceSize", 4 << 20}, {"PieceSha256", threePieces}} << "";
    QTest::newRow("piece size not a power of two") << QJsonObject{{"PieceSize", 3 << 20}} << "PieceSize";
    QTest::newRow("piece size under 1 MiB") << QJsonObject{{"PieceSize", 512 << 10}} << "PieceSize";
    QTest::newRow("piece size over 64 MiB") << QJsonObject{{"PieceSize", 128 << 20}} << "PieceSize";
    QTest::newRow("a piece too few") << QJsonObject{{"PieceSize", 4 << 20}, {"PieceSha256", QJsonArray{hash, hash}}} << "PieceSha256";
    QTest::newRow("a piece hash too short") << QJsonObject{{"PieceSize", 4 << 20}, {"PieceSha256", QJsonArray{hash, hash, hash.left(63)}}} << "PieceSha256";
    QTest::newRow("pieces without their size") << QJsonObject{{"PieceSha256", threePieces}} << "PieceSha256";
    QTest::newRow("pieces without the package's size") << QJsonObject{{"Size", QJsonValue::Null}, {"PieceSize", 4 << 20}, {"PieceSha256", threePieces}} << "PieceSha256";
    QTest::newRow("rollout") << QJsonObject{{"RolloutStart", 1800000000}, {"RolloutDays", 30}} << "";
    QTest::newRow("rollout of 31 days") << QJsonObject{{"RolloutStart", 1800000000}, {"RolloutDays", 31}} << "RolloutDays";
    QTest::newRow("rollout start without days") << QJsonObject{{"RolloutStart", 1800000000}} << "RolloutDays";
    QTest::newRow("rollout days without start") << QJsonObject{{"RolloutDays", 7}} << "RolloutStart";
}

void TestSignedRecord::members()
{
    QFETCH(QJsonObject, members);
    QFETCH(QString, malformed);

    QJsonObject json{{"DownloadUri", "https://example.com/p.msi"}, {"Size", 9 << 20}};
    for (auto it = members.begin(); it != members.end(); ++it)
        it.value().isNull() ? void(json.remove(it.key())) : void(json.insert(it.key(), it.value()));
    const UpdateRecord record = UpdateRecord::fromJson(json);
    QCOMPARE(record.malformedMember, malformed);
    QCOMPARE(record.mirrors.size(), malformed.isEmpty() ? members.value("Mirrors").toArray().size() : 0);
    QCOMPARE(int(record.pieceSha256.size()), malformed.isEmpty() ? members.value("PieceSha256").toArray().size() : 0);
}

void TestSignedRecord::replay_data()
{
    // A record after the kept one (Time 1800000000, 3.1.0, 9 MiB): changed members (null
    // removes one), and whether it is refused as a replay.
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<bool>("refused");

    QTest::newRow("re-signed: expiry, mirrors and notes") << QJsonObject{{"Expires", 1900000000}, {"UpdateContent", "新的说明"}, {"Mirrors", QJsonArray{"https://m.example/p.msi"}}} << false;
    QTest::newRow("an older record") << QJsonObject{{"Time", 1799999999}} << true;
    QTest::newRow("same time, another version") << QJsonObject{{"Version", "3.1.1"}} << true;
    QTest::newRow("same time, another hash") << QJsonObject{{"Sha256", QString(64, 'b')}} << true;
}

void TestSignedRecord::replay()
{
    QFETCH(QJsonObject, changes);
    QFETCH(bool, refused);
    QJsonObject json{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1800000000}, {"DownloadUri", "https://example.com/p.msi"},
                     {"Size", 9 << 20}, {"Sha256", QString(64, 'a')}, {"Expires", 1800001000}};
    const UpdateRecord kept = UpdateRecord::fromJson(json);
    for (auto it = changes.begin(); it != changes.end(); ++it)
        json.insert(it.key(), it.value());
    const QString reason = UpdateRecord::fromJson(json).replayOf(kept);
    QCOMPARE(!reason.isEmpty(), refused);
    // The log names both times.
    if (refused)
        QVERIFY2(reason.contains("1800000000") && reason.contains(QString::number(json.value("Time").toInt())), qPrintable(reason));
}

void TestSignedRecord::rollout_data()
{
    // A rollout from `now` over 10 days, seen some seconds later; the share offered, and
    // whether the installs with the lowest, middle and highest numbers are offered.
    QTest::addColumn<qint64>("after");
    QTest::addColumn<int>("days");
    QTest::addColumn<double>("share");
    QTest::addColumn<QList<bool>>("admitted");

    const qint64 day = 24 * 3600;
    QTest::newRow("at the start") << qint64(0) << 10 << 0.0 << QList<bool>{false, false, false};
    QTest::newRow("half way") << 5 * day << 10 << 0.5 << QList<bool>{true, false, false};
    QTest::newRow("at the end") << 10 * day << 10 << 1.0 << QList<bool>{true, true, true};
    QTest::newRow("no rollout") << -day << 0 << 1.0 << QList<bool>{true, true, true};
}

void TestSignedRecord::rollout()
{
    QFETCH(qint64, after);
    QFETCH(int, days);
    QFETCH(double, share);
    QFETCH(QList<bool>, admitted);

    QCOMPARE(UpdateRecord::rolloutShare(now + after, now, days), share);
    UpdateRecord record;
    record.rolloutStart = now;
    record.rolloutDays = days;
    const QList<quint32> numbers{0, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < numbers.size(); ++i)
        QVERIFY2(record.rolloutAdmits(numbers[i], now + after) == admitted[i], qPrintable(QString::number(numbers[i])));
}

QTEST_MAIN(TestSignedRecord)
#include "tst_signedrecord.moc"
