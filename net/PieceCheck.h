#ifndef PIECECHECK_H
#define PIECECHECK_H

#include "Failure.h"
#include "SpanSet.h"
#include "trust/UpdateRecord.h"

#include <QMutex>
#include <QString>
#include <QThreadPool>

#include <vector>

// Checks a package's pieces against the hashes its record lists, each as soon as it is whole,
// on threads of its own and several at once: a source that serves one wrong piece is caught
// at that piece, not after the whole package.
class PieceCheck
{
public:
    // Nothing is checked for a record without pieces.
    explicit PieceCheck(const UpdateRecord &record);
    // Waits for the checks under way.
    ~PieceCheck();

    bool active() const { return !hashes.empty(); }

    // Reads and hashes, from the file at `path`, every piece within `written` that the bytes
    // in (`in`) make whole and that is not checked yet. The file must hold what `in` says.
    void check(const QString &path, const SpanSet &in, const Span &written);
    // Takes in the checks that have ended: a piece that failed its hash goes out of `in`,
    // and its failure comes back (the first, when several did). With `wait`, once every
    // check under way has ended.
    MaybeFailure collect(SpanSet &in, bool wait);

    // How far the package is checked from its first byte on, and the pieces checked, which
    // alone may be kept for a later run.
    qint64 checkedPrefix() const;
    SpanSet checked() const;

    // Forgets every check: the file starts over. Checks under way are not waited for; what
    // they find is passed over.
    void reset();

private:
    enum class State : char { Open, Hashing, Sound };
    Span span(int piece) const;

    const qint64 size;
    const qint64 pieceSize;
    const std::vector<QByteArray> hashes;
    std::vector<State> states;
    // Ends of hashing that the window's thread has not taken in yet: generation, piece, sound.
    struct Result
    {
        int generation;
        int piece;
        bool sound;
    };
    QMutex mutex;
    std::vector<Result> results;
    int generation = 0;
    int firstOpen = 0;
    // Declared last: its threads end before what they write to goes.
    QThreadPool pool;
};

#endif
