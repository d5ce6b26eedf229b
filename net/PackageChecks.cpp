#include "PackageChecks.h"

#include "trust/InstallerPackage.h"

#include <QFile>
#include <QMutexLocker>

#include <algorithm>

namespace {

// Bytes read back at a time.
constexpr qint64 chunk = 1024 * 1024;

} // namespace

PackageChecks::PackageChecks(const UpdateRecord &record)
    : record(record)
    , pieceSize(record.pieceSize)
    , hashes(record.pieceSha256)
    , states(record.pieceSha256.size(), State::Open)
    , whole(std::make_unique<PackageVerifier>(record))
{
    inOrder.setMaxThreadCount(1);
}

PackageChecks::~PackageChecks()
{
    stop();
}

Span PackageChecks::span(int piece) const
{
    return {piece * pieceSize, qMin(record.size, (piece + 1) * pieceSize)};
}

void PackageChecks::check(const QString &path, const SpanSet &in, const Span &written)
{
    if (!active()) {
        if (record.sha256.isEmpty())
            return;
        QMutexLocker lock(&mutex);
        target = qMax(target, in.prefix());
        if (!walking) {
            walking = true;
            inOrder.start([this, path] { walk(path); });
        }
        return;
    }
    if (written.size() <= 0)
        return;
    const int last = int(qMin<qint64>(qint64(states.size()) - 1, (written.end - 1) / pieceSize));
    for (int index = int(written.begin / pieceSize); index <= last; ++index) {
        const Span bytes = span(index);
        if (states[std::size_t(index)] != State::Open || !in.gaps(bytes).empty())
            continue;
        states[std::size_t(index)] = State::Hashing;
        pool.start([this, path, bytes, index, generation = generation] {
            const QByteArray digest = PackageVerifier::sha256Of(path, bytes.begin, bytes.size());
            QMutexLocker lock(&mutex);
            if (digest.isEmpty())
                results.push_back({generation, -1, false, QStringLiteral("%1: bytes %2-%3 cannot be read back").arg(path).arg(bytes.begin).arg(bytes.end - 1)});
            else
                results.push_back({generation, index, digest == hashes[std::size_t(index)], QString()});
        });
    }
}

// Reads the file in order up to the target, into the whole file's hash.
void PackageChecks::walk(const QString &path)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    std::vector<char> buffer(chunk);
    for (;;) {
        qint64 until = 0;
        int current = 0;
        {
            QMutexLocker lock(&mutex);
            until = target;
            current = generation;
            if (edge >= until) {
                walking = false;
                return;
            }
        }
        const qint64 size = qMin(chunk, until - edge);
        if (!opened || !file.seek(edge) || file.read(buffer.data(), size) != size) {
            QMutexLocker lock(&mutex);
            results.push_back({current, -1, false, path + QStringLiteral(": ") + file.errorString()});
            // Tried again when more bytes come; never raised, as a stop may have lowered it.
            target = qMin(target, edge);
            walking = false;
            return;
        }
        whole->addData(buffer.data(), size);
        edge += size;
    }
}

// The ends of hashing that came since: a wrong piece goes out of `in` and into `wrong`.
MaybeFailure PackageChecks::takeResults(SpanSet &in, SpanSet *wrong)
{
    std::vector<Result> ended;
    {
        QMutexLocker lock(&mutex);
        ended.swap(results);
    }
    MaybeFailure failure;
    for (const Result &result : ended) {
        if (result.generation != generation)
            continue;
        if (result.piece < 0) {
            if (!failure)
                failure = Failure(Failure::Unreadable, result.error);
            continue;
        }
        const Span bytes = span(result.piece);
        if (result.sound) {
            states[std::size_t(result.piece)] = State::Sound;
            continue;
        }
        states[std::size_t(result.piece)] = State::Open;
        in.remove(bytes);
        if (wrong)
            wrong->insert(bytes);
        if (!failure)
            failure = Failure(Failure::PieceMismatch,
                              QStringLiteral("piece %1 (bytes %2-%3) is not the record's").arg(result.piece).arg(bytes.begin).arg(bytes.end - 1));
    }
    return failure;
}

MaybeFailure PackageChecks::collect(SpanSet &in, bool wait, SpanSet *wrong)
{
    if (wait) {
        pool.waitForDone();
        inOrder.waitForDone();
    }
    MaybeFailure failure = takeResults(in, wrong);
    if (failure && failure->cause == Failure::PieceMismatch)
        rewind(in, wrong);
    while (firstOpen < int(states.size()) && states[std::size_t(firstOpen)] == State::Sound)
        ++firstOpen;
    return failure;
}

// After a wrong piece: the hashing under way is taken in. What else the wrong source brought
// is the caller's to drop; the pieces not checked yet are checked again by recheck().
void PackageChecks::rewind(SpanSet &in, SpanSet *wrong)
{
    stop();
    takeResults(in, wrong);
    for (State &state : states)
        if (state == State::Hashing)
            state = State::Open;
}

void PackageChecks::recheck(const QString &path, const SpanSet &in)
{
    if (active())
        check(path, in, {0, record.size});
}

qint64 PackageChecks::checkedPrefix() const
{
    return firstOpen < int(states.size()) ? span(firstOpen).begin : record.size;
}

SpanSet PackageChecks::checked() const
{
    SpanSet sound;
    for (int index = 0; index < int(states.size()); ++index)
        if (states[std::size_t(index)] == State::Sound)
            sound.insert(span(index));
    return sound;
}

MaybeFailure PackageChecks::finalCheck(QFile &file, qint64 received, const QString &path)
{
    switch (InstallerPackage::defect(file, received)) {
    case InstallerPackage::Defect::None:
        break;
    case InstallerPackage::Defect::Foreign:
        return Failure(Failure::NotAnInstaller, QStringLiteral("not a compound file of %1 bytes").arg(received));
    case InstallerPackage::Defect::CutShort:
        return Failure(Failure::CutShort, QStringLiteral("a compound file cut short at %1 bytes").arg(received));
    case InstallerPackage::Defect::Unreadable:
        return Failure(Failure::Unreadable, path + QStringLiteral(": ") + file.errorString());
    }
    switch (verify(received)) {
    case PackageVerifier::Verdict::Sound:
        break;
    case PackageVerifier::Verdict::SizeMismatch:
        return Failure(Failure::SizeMismatch, QStringLiteral("%1 bytes, the record says %2").arg(received).arg(record.size));
    case PackageVerifier::Verdict::HashMismatch:
        if (active())
            return Failure(Failure::HashMismatch, QStringLiteral("piece %1 is not checked sound").arg(firstOpen));
        return Failure(Failure::HashMismatch, QStringLiteral("SHA-256 %1, the record says %2")
                                                  .arg(QString::fromLatin1(whole->receivedSha256().toHex()),
                                                       QString::fromLatin1(record.sha256.toHex())));
    }
    return std::nullopt;
}

PackageVerifier::Verdict PackageChecks::verify(qint64 received)
{
    // The pieces cover every byte under the same signature as the whole file's hash: each
    // checked sound, they vouch for the package as that hash would, at one hash of each byte.
    if (active()) {
        if (received != record.size)
            return PackageVerifier::Verdict::SizeMismatch;
        return firstOpen == int(states.size()) ? PackageVerifier::Verdict::Sound : PackageVerifier::Verdict::HashMismatch;
    }
    // A hash that has not read every byte is no hash of the package.
    return !record.sha256.isEmpty() && edge != received ? PackageVerifier::Verdict::HashMismatch : whole->verify(received);
}

QString PackageChecks::done() const
{
    QStringList checks;
    if (record.size >= 0)
        checks << QStringLiteral("size");
    if (!record.sha256.isEmpty() && !active())
        checks << QStringLiteral("SHA-256");
    if (active())
        checks << QStringLiteral("pieces' SHA-256");
    const QString format = QStringLiteral("an installer's format");
    return checks.isEmpty() ? format + QStringLiteral(" (the record gives no size or hash)")
                            : QStringLiteral("the record's ") + checks.join(QStringLiteral(", ")) + QStringLiteral(" and ") + format;
}

void PackageChecks::stop()
{
    {
        QMutexLocker lock(&mutex);
        target = 0;
    }
    pool.waitForDone();
    inOrder.waitForDone();
}

void PackageChecks::reset()
{
    stop();
    {
        QMutexLocker lock(&mutex);
        ++generation;
        results.clear();
        target = 0;
    }
    firstOpen = 0;
    std::fill(states.begin(), states.end(), State::Open);
    edge = 0;
    whole = std::make_unique<PackageVerifier>(record);
}
