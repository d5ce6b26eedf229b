#include "InstallerPackage.h"

#include <QByteArray>
#include <QIODevice>
#include <QtEndian>

namespace {

const QByteArray signature = QByteArrayLiteral("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
constexpr int headerSize = 512;
constexpr int headerFatLocations = 109;
constexpr quint32 maxRegularSector = 0xFFFFFFFA;
constexpr quint32 freeSector = 0xFFFFFFFF;

quint32 entryAt(const QByteArray &data, int offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

using Defect = InstallerPackage::Defect;
constexpr Defect foreign = Defect::Foreign;
constexpr Defect cutShort = Defect::CutShort;
constexpr Defect unreadable = Defect::Unreadable;

// Walks the allocation table. Every sector it reads must lie wholly inside the file and
// the table may not have more sectors than the file, so neither a forged header nor a loop
// in the chains can make the walk read more than the file's size.
class TableWalk
{
public:
    TableWalk(QIODevice &file, qint64 size, int sectorShift)
        : file(file)
        , sectorSize(qint64(1) << sectorShift)
        // Sector n starts at (n + 1) sector sizes; the header takes the first.
        , wholeSectors(qMax<qint64>(size / sectorSize - 1, 0))
    {
    }

    Defect walk(const QByteArray &header)
    {
        const quint32 fatSectors = entryAt(header, 44);
        quint32 difatSector = entryAt(header, 68);
        const quint32 difatSectors = entryAt(header, 72);
        // A FAT sector of a whole package lies inside it.
        if (fatSectors > wholeSectors)
            return cutShort;

        quint32 index = 0;
        for (; index < fatSectors && index < headerFatLocations; ++index) {
            const Defect failure = scanFatSector(index, entryAt(header, 76 + 4 * int(index)));
            if (failure != Defect::None)
                return failure;
        }
        const int perDifatSector = int(sectorSize / 4) - 1;
        for (quint32 read = 0; index < fatSectors; ++read) {
            if (read == difatSectors)
                return foreign;
            QByteArray difat;
            const Defect failure = readSector(difatSector, &difat);
            if (failure != Defect::None)
                return failure;
            for (int i = 0; i < perDifatSector && index < fatSectors; ++i, ++index) {
                const Defect fatFailure = scanFatSector(index, entryAt(difat, 4 * i));
                if (fatFailure != Defect::None)
                    return fatFailure;
            }
            difatSector = entryAt(difat, 4 * perDifatSector);
        }
        if (lastInUse < 0)
            return foreign;
        return lastInUse < wholeSectors ? Defect::None : cutShort;
    }

private:
    Defect readSector(quint32 sector, QByteArray *data)
    {
        if (sector > maxRegularSector)
            return foreign;
        if (sector >= wholeSectors)
            return cutShort;
        if (!file.seek((qint64(sector) + 1) * sectorSize))
            return unreadable;
        *data = file.read(sectorSize);
        return data->size() == sectorSize ? Defect::None : unreadable;
    }

    // FAT sector `index` holds the entries of sectors index * (sectorSize / 4) onwards.
    Defect scanFatSector(quint32 index, quint32 sector)
    {
        QByteArray fat;
        const Defect failure = readSector(sector, &fat);
        if (failure != Defect::None)
            return failure;
        const int entries = int(sectorSize / 4);
        for (int i = entries - 1; i >= 0; --i) {
            if (entryAt(fat, 4 * i) != freeSector) {
                lastInUse = qMax(lastInUse, qint64(index) * entries + i);
                break;
            }
        }
        return Defect::None;
    }

    QIODevice &file;
    const qint64 sectorSize;
    const qint64 wholeSectors;
    qint64 lastInUse = -1;
};

} // namespace

InstallerPackage::Defect InstallerPackage::defect(QIODevice &file, qint64 size)
{
    if (size <= 0)
        return foreign;
    if (!file.seek(0))
        return unreadable;
    const QByteArray header = file.read(qMin<qint64>(size, headerSize));
    if (header.isEmpty() || !signature.startsWith(header.left(signature.size())))
        return foreign;
    if (header.size() < headerSize)
        return cutShort;
    const quint16 byteOrder = qFromLittleEndian<quint16>(header.constData() + 28);
    const quint16 sectorShift = qFromLittleEndian<quint16>(header.constData() + 30);
    // 512-byte sectors (version 3) or 4096-byte ones (version 4); nothing else is a package.
    if (byteOrder != 0xFFFE || (sectorShift != 9 && sectorShift != 12))
        return foreign;
    return TableWalk(file, size, sectorShift).walk(header);
}
