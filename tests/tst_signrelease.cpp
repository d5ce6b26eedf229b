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
    // `record` with its options and EXPIRES (or none), or `resign` of a record just made with
    // its options; then the exit code, and for a record written, its expiry's lead in days
    // and its piece size.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<qint64>("packageSize");
    QTest::addColumn<int>("notesSize");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("leadDays");
    QTest::addColumn<int>("pieceMiB");

    const qint64 mib = 1024 * 1024;
    QTest::newRow("record") << "record" << QStringList() << 3 * mib << 100 << 0 << 7 << 4;
    QTest::newRow("record of 260 MiB: 64 pieces at most") << "record" << QStringList() << 260 * mib << 100 << 0 << 7 << 8;
    QTest::newRow("record, a year ahead") << "record" << QStringList{"+366d"} << 3 * mib << 100 << 0 << 366 << 4;
    QTest::newRow("record, over a year ahead") << "record" << QStringList{"+367d"} << 3 * mib << 100 << 1 << 0 << 0;
    QTest::newRow("record, expired") << "record" << QStringList{"2020-01-01"} << 3 * mib << 100 << 1 << 0 << 0;
    QTest::newRow("record over the updater's cap") << "record" << QStringList() << 3 * mib << 700 * 1024 << 1 << 0 << 0;
    QTest::newRow("record, rollout") << "record" << QStringList{"--rollout-days", "7"} << 3 * mib << 100 << 0 << 7 << 4;
    QTest::newRow("record, rollout of 31 days") << "record" << QStringList{"--rollout-days", "31"} << 3 * mib << 100 << 2 << 0 << 0;
    QTest::newRow("resign") << "resign" << QStringList() << 3 * mib << 100 << 0 << 7 << 4;
    QTest::newRow("resign, three days") << "resign" << QStringList{"--expires", "+3d"} << 3 * mib << 100 << 0 << 3 << 4;
    QTest::newRow("resign, expired") << "resign" << QStringList{"--expires", "2020-01-01"} << 3 * mib << 100 << 1 << 0 << 0;
    QTest::newRow("resign with another key") << "resign" << QStringList{"other"} << 3 * mib << 100 << 1 << 0 << 0;
}

void TestSignRelease::commands()
{
    QFETCH(QString, command);
    QFETCH(QStringList, options);
    QFETCH(qint64, packageSize);
    QFETCH(int, notesSize);
    QFETCH(int, exitCode);
    QFETCH(int, leadDays);
    QFETCH(int, pieceMiB);

    QTemporaryDir dir;
    const QString package = dir.filePath("package.msi");
    const QString notes = dir.filePath("notes.txt");
    const QString record = dir.filePath("down_update.json");
    QFile packageFile(package);
    QVERIFY(packageFile.open(QIODevice::WriteOnly));
    packageFile.write("a package");
    QVERIFY(packageFile.resize(packageSize));
    packageFile.close();
    QFile notesFile(notes);
    QVERIFY(notesFile.open(QIODevice::WriteOnly));
    notesFile.write(QByteArray(notesSize, 'n'));
    notesFile.close();

    const QStringList recordArguments{DEMO_SECRET_KEY, package, "3.2.0", "2026-12-01", notes,
                                      "https://updates.example.com/download/3.2.0/QuorilexVideo_32.msi"};
    QByteArray before;
    int code = 0;
    if (command == "record") {
        const bool expiry = !options.isEmpty() && !options.first().startsWith("--");
        code = signrelease(QStringList{"record"} + (expiry ? QStringList() : options) + recordArguments + (expiry ? options : QStringList()),
                           record);
    } else {
        QCOMPARE(signrelease(QStringList{"record", "--rollout-days", "5"} + recordArguments + QStringList{"+1d"}, record), 0);
        before = readAll(record);
        QString key = DEMO_SECRET_KEY;
        if (options == QStringList{"other"}) {
            key = dir.filePath("other.secret");
            QCOMPARE(signrelease({"keygen", key}), 0);
            options.clear();
        }
        code = signrelease(QStringList{"resign", record, key} + options);
    }
    QCOMPARE(code, exitCode);
    const QByteArray body = readAll(record);
    if (exitCode != 0) {
        // A refused resign leaves the published record as it was.
        QCOMPARE(body, before);
        return;
    }

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QByteArray publicKey = QByteArray::fromBase64(readAll(DEMO_PUBLIC_KEY).trimmed());
    const std::optional<UpdateRecord> opened
        = SignedRecord::open(QJsonDocument::fromJson(body).object().value("data").toObject(), publicKey, now);
    QVERIFY(opened);
    QCOMPARE(opened->pieceSize, pieceMiB * qint64(1024 * 1024));
    QVERIFY(opened->pieceSha256.size() <= 64);
    const qint64 expires = signedRecord(body).value("Expires").toVariant().toLongLong();
    QVERIFY2(qAbs(expires - (now + leadDays * 24 * 3600)) < 600, qPrintable(QString::number(expires - now)));
    if (command == "resign") {
        // Only the expiry changed: the rollout, the package and the time are as signed.
        QJsonObject was = signedRecord(before);
        QJsonObject is = signedRecord(body);
        was.remove("Expires");
        is.remove("Expires");
        QCOMPARE(is, was);
    }
}

QTEST_MAIN(TestSignRelease)
#include "tst_signrelease.moc"
