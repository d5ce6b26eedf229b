#include "trust/InstallerPackage.h"

#include <QBuffer>
#include <QFile>
#include <QTest>
#include <QtEndian>

namespace {

const QString whole = QStringLiteral("whole");
const QString cutShort = QStringLiteral("cut short");
const QString foreign = QStringLiteral("foreign");

QByteArray package(const QString &name)
{
    QFile file(QStringLiteral(TEST_PACKAGES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test package %s", qPrintable(file.fileName()));
    return file.readAll();
}

// Only the bytes that arrived, so that nothing past them can be read.
QString defectOf(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    switch (InstallerPackage::defect(buffer, bytes.size())) {
    case InstallerPackage::Defect::None:
        return whole;
    case InstallerPackage::Defect::CutShort:
        return cutShort;
    case InstallerPackage::Defect::Foreign:
        return foreign;
    case InstallerPackage::Defect::Unreadable:
        break;
    }
    return QStringLiteral("unreadable");
}

} // namespace

class TestInstallerPackage : public QObject
{
    Q_OBJECT

private slots:
    void cutPackages_data();
    void cutPackages();
    void forgedHeaders_data();
    void forgedHeaders();
};

void TestInstallerPackage::cutPackages_data()
{
    QTest::addColumn<QString>("name");
    // Bytes kept; negative counts back from the end.
    QTest::addColumn<qint64>("kept");
    QTest::addColumn<QString>("defect");

    // Real packages from wixl; the large one names its FAT sectors through a DIFAT sector.
    // The demo server's packages, likewise, and one that is no whole number of sectors.
    for (const char *name : {"wixl-small.msi", "wixl-large.msi", "demo-small.msi", "demo-large.msi", "demo-uneven.msi"}) {
        const QByteArray row(name);
        QTest::newRow(row + ", whole") << name << qint64(0) << whole;
        QTest::newRow(row + ", signature only") << name << qint64(8) << cutShort;
        QTest::newRow(row + ", header only") << name << qint64(512) << cutShort;
        QTest::newRow(row + ", half") << name << qint64(package(name).size() / 2) << cutShort;
        QTest::newRow(row + ", one sector short") << name << qint64(-512) << cutShort;
    }
    QTest::newRow("wixl-small.msi, one byte short") << "wixl-small.msi" << qint64(-1) << cutShort;
    QTest::newRow("wixl-large.msi, one byte short") << "wixl-large.msi" << qint64(-1) << cutShort;
    // 300000 bytes are 585 sectors and 480 bytes that no sector holds.
    QTest::newRow("demo-uneven.msi, leftover lost") << "demo-uneven.msi" << qint64(585 * 512) << whole;
    QTest::newRow("demo-uneven.msi, last sector cut") << "demo-uneven.msi" << qint64(585 * 512 - 1) << cutShort;
}

void TestInstallerPackage::cutPackages()
{
    QFETCH(QString, name);
    QFETCH(qint64, kept);
    QFETCH(QString, defect);

    const QByteArray bytes = package(name);
    QCOMPARE(defectOf(kept > 0 ? bytes.left(int(kept)) : bytes.left(bytes.size() + int(kept))), defect);
}

void TestInstallerPackage::forgedHeaders_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<QString>("defect");

    const auto number = [](quint32 value) {
        QByteArray bytes(4, '\0');
        qToLittleEndian(value, bytes.data());
        return bytes;
    };
    QTest::newRow("1024-byte sectors") << 30 << QByteArray("\x0A\x00", 2) << foreign;
    QTest::newRow("big-endian") << 28 << QByteArray("\xFF\xFE", 2) << foreign;
    QTest::newRow("more FAT sectors than the file") << 44 << number(0xFFFFFFFF) << cutShort;
    QTest::newRow("FAT sector beyond the file") << 76 << number(0x00FFFFFF) << cutShort;
    QTest::newRow("FAT sector with a reserved number") << 76 << number(0xFFFFFFFE) << foreign;
    QTest::newRow("DIFAT shorter than the FAT") << 72 << number(0) << foreign;
    QTest::newRow("DIFAT sector beyond the file") << 68 << number(0x7FFFFFFF) << cutShort;
}

void TestInstallerPackage::forgedHeaders()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, patch);
    QFETCH(QString, defect);

    QByteArray bytes = package(QStringLiteral("demo-large.msi"));
    bytes.replace(offset, patch.size(), patch);
    QCOMPARE(defectOf(bytes), defect);
}

QTEST_GUILESS_MAIN(TestInstallerPackage)
#include "tst_installerpackage.moc"
