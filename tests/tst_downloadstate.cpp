#include "net/DownloadState.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

// The state a stopped download keeps: read back as written, or not at all.
class TestDownloadState : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void isFor_data();
    void isFor();
};

static DownloadState sample()
{
    DownloadState state;
    state.url = QStringLiteral("https://example.com/QuorilexVideo_32.msi");
    state.size = 300000;
    state.sha256 = QByteArray(32, '\x5a');
    state.validator = "\"300000-1\"";
    state.length = 300000;
    state.servesRanges = true;
    state.spans.insert({0, 100000});
    state.spans.insert({200000, 250000});
    state.savedAt = 1764547200;
    return state;
}

void TestDownloadState::read_data()
{
    // The sample's JSON with one member replaced (a null value removes it), or other bytes.
    QTest::addColumn<QString>("member");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");

    const QJsonValue none = QJsonValue(QJsonValue::Null);
    QTest::newRow("as written") << QString() << QJsonValue() << QByteArray() << true;
    QTest::newRow("Last-Modified as validator") << "validator" << QJsonValue("Mon, 01 Dec 2025 00:00:00 GMT") << QByteArray() << true;
    QTest::newRow("no hash") << "sha256" << QJsonValue("") << QByteArray() << true;
    QTest::newRow("torn") << QString() << QJsonValue() << sample().toJson().left(60) << false;
    QTest::newRow("empty file") << QString() << QJsonValue() << QByteArray(" ") << false;
    QTest::newRow("foreign JSON") << QString() << QJsonValue() << QByteArray("{\"state\":1}") << false;
    QTest::newRow("other format") << "format" << QJsonValue("quorilex-partial-download 2") << QByteArray() << false;
    QTest::newRow("no url") << "url" << none << QByteArray() << false;
    QTest::newRow("weak ETag") << "validator" << QJsonValue("W/\"300000-1\"") << QByteArray() << false;
    QTest::newRow("validator with a line break") << "validator" << QJsonValue("\"a\"\r\nX-Injected: 1") << QByteArray() << false;
    QTest::newRow("hash not hex") << "sha256" << QJsonValue(QString(64, 'g')) << QByteArray() << false;
    QTest::newRow("hash too short") << "sha256" << QJsonValue(QString(62, 'a')) << QByteArray() << false;
    QTest::newRow("length a fraction") << "length" << QJsonValue(300000.5) << QByteArray() << false;
    QTest::newRow("span past the length") << "spans" << QJsonValue(QJsonArray{QJsonArray{0, 300001}}) << QByteArray() << false;
    QTest::newRow("spans overlap") << "spans" << QJsonValue(QJsonArray{QJsonArray{0, 100}, QJsonArray{50, 200}}) << QByteArray() << false;
    QTest::newRow("span backwards") << "spans" << QJsonValue(QJsonArray{QJsonArray{100, 50}}) << QByteArray() << false;
    QTest::newRow("span of three") << "spans" << QJsonValue(QJsonArray{QJsonArray{0, 50, 60}}) << QByteArray() << false;
    QTest::newRow("nothing in") << "spans" << QJsonValue(QJsonArray{}) << QByteArray() << false;
    QTest::newRow("everything in") << "spans" << QJsonValue(QJsonArray{QJsonArray{0, 300000}}) << QByteArray() << false;
}

void TestDownloadState::read()
{
    QFETCH(QString, member);
    QFETCH(QJsonValue, value);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);

    if (bytes.isEmpty()) {
        QJsonObject object = QJsonDocument::fromJson(sample().toJson()).object();
        if (value.isNull())
            object.remove(member);
        else if (!member.isEmpty())
            object.insert(member, value);
        bytes = QJsonDocument(object).toJson();
    }
    QTemporaryDir dir;
    const QString path = DownloadState::pathFor(dir.filePath(QStringLiteral("QuorilexVideo_32.msi.a1B2c3.part")));
    QCOMPARE(path, dir.filePath(QStringLiteral("QuorilexVideo_32.msi.a1B2c3.state")));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    const std::optional<DownloadState> state = DownloadState::read(path);
    QCOMPARE(state.has_value(), read);
    if (!read)
        return;
    // Written again, it is the same file: nothing was lost on the way.
    QVERIFY(state->write(path));
    const std::optional<DownloadState> again = DownloadState::read(path);
    QVERIFY(again);
    QCOMPARE(again->toJson(), state->toJson());
    QCOMPARE(state->spans.spans(), (std::vector<Span>{{0, 100000}, {200000, 250000}}));
    QCOMPARE(state->validator, member == QLatin1String("validator") ? value.toString().toLatin1() : sample().validator);
}

void TestDownloadState::isFor_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("sha256");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("resumes");

    const DownloadState state = sample();
    const qint64 week = DownloadState::keptForSecs;
    QTest::newRow("same package") << state.url << state.size << state.sha256 << state.savedAt + 60 << true;
    QTest::newRow("a week old") << state.url << state.size << state.sha256 << state.savedAt + week << true;
    QTest::newRow("older than a week") << state.url << state.size << state.sha256 << state.savedAt + week + 1 << false;
    QTest::newRow("saved in the future") << state.url << state.size << state.sha256 << state.savedAt - week - 1 << false;
    QTest::newRow("other address") << state.url + "?v=2" << state.size << state.sha256 << state.savedAt << false;
    QTest::newRow("other size") << state.url << state.size + 1 << state.sha256 << state.savedAt << false;
    QTest::newRow("size no longer given") << state.url << qint64(-1) << state.sha256 << state.savedAt << false;
    QTest::newRow("other hash") << state.url << state.size << QByteArray(32, '\x5b') << state.savedAt << false;
}

void TestDownloadState::isFor()
{
    QFETCH(QString, url);
    QFETCH(qint64, size);
    QFETCH(QByteArray, sha256);
    QFETCH(qint64, now);
    QFETCH(bool, resumes);

    UpdateRecord record;
    record.downloadUri = url;
    record.size = size;
    record.sha256 = sha256;
    const DownloadState state = sample();
    QCOMPARE(state.isFor(record) && !state.expired(now), resumes);
}

QTEST_APPLESS_MAIN(TestDownloadState)
#include "tst_downloadstate.moc"
