#include "signingkey.h"
#include "trust/SignedRecord.h"

#include <QJsonDocument>
#include <QTest>

// What a signed record must hold to be believed, at explicit times.
class TestSignedRecord : public QObject
{
    Q_OBJECT

private slots:
    void open_data();
    void open();

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
                             {"Expires", double(now + 1)}};
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
}

QTEST_MAIN(TestSignedRecord)
#include "tst_signedrecord.moc"
