#include "trust/SignedRecord.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// signrelease as a publisher runs it: what it signs opens in the updater, and what the
// updater would refuse is refused with nothing written over.
class TestSignRelease : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
};

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs signrelease; its standard output goes to `output` when one is given.
int signrelease(const QStringList &arguments, const QString &output = QString())
{
    QProcess process;
    if (!output.isEmpty())
        process.setStandardOutputFile(output);
    process.start(QStringLiteral(SIGNRELEASE_EXECUTABLE), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QJsonObject signedRecord(const QByteArray &body)
{
    const QJsonObject data = QJsonDocument::fromJson(body).object().value("data").toObject();
    return QJsonDocument::fromJson(QByteArray::fromBase64(data.value("SignedRecord").toString().toLatin1())).object();
}

} // namespace

void TestSignRelease::commands_data()
{
    // `record` with these arguments before the usual ones and EXPIRES after them (or none),
    // or `resign` of a record just made; then the exit code, and for a record written, its
    // expiry's lead in days and its piece size.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expires");
    QTest::addColumn<int>("packageMiB");
    QTest::addColumn<int>("notesKiB");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("leadDays");
    QTest::addColumn<int>("pieceMiB");

    QTest::newRow("record") << QStringList() << "" << 3 << 1 << 0 << 7 << 4;
    QTest::newRow("record of 260 MiB: 64 pieces at most") << QStringList() << "" << 260 << 1 << 0 << 7 << 8;
    QTest::newRow("record, over a year ahead") << QStringList() << "+367d" << 3 << 1 << 1 << 0 << 0;
    QTest::newRow("record, expired") << QStringList() << "2020-01-01" << 3 << 1 << 1 << 0 << 0;
    QTest::newRow("record over the updater's cap") << QStringList() << "" << 3 << 700 << 1 << 0 << 0;
    QTest::newRow("record, rollout of 31 days") << QStringList{"--rollout-days", "31"} << "" << 3 << 1 << 2 << 0 << 0;
    QTest::newRow("resign") << QStringList{"resign"} << "" << 3 << 1 << 0 << 7 << 4;
    QTest::newRow("resign with another key") << QStringList{"resign", "other"} << "" << 3 << 1 << 1 << 0 << 0;
}

void TestSignRelease::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expires);
    QFETCH(int, packageMiB);
    QFETCH(int, notesKiB);
    QFETCH(int, exitCode);
    QFETCH(int, leadDays);
    QFETCH(int, pieceMiB);

    QTemporaryDir dir;
    const QString record = dir.filePath("down_update.json");
    QFile package(dir.filePath("package.msi"));
    QFile notes(dir.filePath("notes.txt"));
    QVERIFY(package.open(QIODevice::WriteOnly) && package.write("a package") && package.resize(packageMiB << 20));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write(QByteArray(notesKiB << 10, 'n')));
    package.close();
    notes.close();
    const QStringList usual{DEMO_SECRET_KEY, package.fileName(), "3.2.0", "2026-12-01", notes.fileName(), "https://example.com/p.msi"};
    QByteArray before;
    if (arguments.value(0) == "resign") {
        QCOMPARE(signrelease(QStringList{"record", "--rollout-days", "5"} + usual + QStringList{"+1d"}, record), 0);
        before = readAll(record);
        const QString key = arguments.value(1) == "other" ? dir.filePath("other.secret") : QStringLiteral(DEMO_SECRET_KEY);
        QVERIFY(key == DEMO_SECRET_KEY || signrelease({"keygen", key}) == 0);
        QCOMPARE(signrelease(QStringList{"resign", record, key} + (expires.isEmpty() ? QStringList() : QStringList{"--expires", expires})),
                 exitCode);
    } else {
        QCOMPARE(signrelease(QStringList{"record"} + arguments + usual + (expires.isEmpty() ? QStringList() : QStringList{expires}), record),
                 exitCode);
    }
    const QByteArray body = readAll(record);
    if (exitCode != 0) {
        // A refused resign leaves the published record as it was.
        QCOMPARE(body, before);
        return;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const std::optional<UpdateRecord> opened = SignedRecord::open(QJsonDocument::fromJson(body).object().value("data").toObject(),
                                                                  QByteArray::fromBase64(readAll(DEMO_PUBLIC_KEY).trimmed()), now);
    QVERIFY(opened);
    QCOMPARE(opened->pieceSize, qint64(pieceMiB) << 20);
    QJsonObject was = signedRecord(before);
    QJsonObject is = signedRecord(body);
    QVERIFY(qAbs(is.take("Expires").toDouble() - (now + leadDays * 24 * 3600)) < 600);
    // Re-signing changes the expiry alone.
    if (!before.isEmpty()) {
        was.remove("Expires");
        QCOMPARE(is, was);
    }
}

QTEST_MAIN(TestSignRelease)
#include "tst_signrelease.moc"
