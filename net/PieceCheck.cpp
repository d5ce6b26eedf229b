#include "PieceCheck.h"

#include "trust/PackageVerifier.h"

#include <QMutexLocker>

#include <algorithm>

PieceCheck::PieceCheck(const UpdateRecord &record)
    : size(record.size)
    , pieceSize(record.pieceSize)
    , hashes(record.pieceSha256)
    , states(record.pieceSha256.size(), State::Open)
{
}

PieceCheck::~PieceCheck()
{
    pool.waitForDone();
}

Span PieceCheck::span(int piece) const
{
    return {piece * pieceSize, qMin(size, (piece + 1) * pieceSize)};
}

void PieceCheck::check(const QString &path, const SpanSet &in, const Span &written)
{
    if (!active() || written.size() <= 0)
        return;
    const int last = int(qMin<qint64>(qint64(states.size()) - 1, (written.end - 1) / pieceSize));
    for (int piece = int(written.begin / pieceSize); piece <= last; ++piece) {
        const Span bytes = span(piece);
        if (states[std::size_t(piece)] != State::Open || !in.gaps(bytes).empty())
            continue;
        states[std::size_t(piece)] = State::Hashing;
        const QByteArray expected = hashes[std::size_t(piece)];
        pool.start([this, path, bytes, piece, expected, generation = generation] {
            // OpenSSL uses the CPU's SHA instructions.
            const bool sound = PackageVerifier::sha256Of(path, bytes.begin, bytes.size()) == expected;
            QMutexLocker lock(&mutex);
            results.push_back({generation, piece, sound});
        });
    }
}

MaybeFailure PieceCheck::collect(SpanSet &in, bool wait)
{
    if (wait)
        pool.waitForDone();
    std::vector<Result> ended;
    {
        QMutexLocker lock(&mutex);
        ended.swap(results);
    }
    MaybeFailure failure;
    for (const Result &result : ended) {
        if (result.generation != generation)
            continue;
        const Span bytes = span(result.piece);
        if (result.sound) {
            states[std::size_t(result.piece)] = State::Sound;
            continue;
        }
        states[std::size_t(result.piece)] = State::Open;
        in.remove(bytes);
        if (!failure)
            failure = Failure(Failure::PieceMismatch, QStringLiteral("piece %1 (bytes %2-%3) is not the record's")
                                                           .arg(result.piece)
                                                           .arg(bytes.begin)
                                                           .arg(bytes.end - 1));
    }
    while (firstOpen < int(states.size()) && states[std::size_t(firstOpen)] == State::Sound)
        ++firstOpen;
    return failure;
}

qint64 PieceCheck::checkedPrefix() const
{
    return firstOpen < int(states.size()) ? span(firstOpen).begin : size;
}

SpanSet PieceCheck::checked() const
{
    SpanSet sound;
    for (int piece = 0; piece < int(states.size()); ++piece)
        if (states[std::size_t(piece)] == State::Sound)
            sound.insert(span(piece));
    return sound;
}

void PieceCheck::reset()
{
    ++generation;
    firstOpen = 0;
    std::fill(states.begin(), states.end(), State::Open);
}
