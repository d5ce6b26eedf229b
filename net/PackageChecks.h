#ifndef PACKAGECHECKS_H
#define PACKAGECHECKS_H

#include "Failure.h"
#include "SpanSet.h"
#include "trust/PackageVerifier.h"
#include "trust/UpdateRecord.h"

#include <QMutex>
#include <QString>
#include <QThreadPool>

#include <memory>
#include <vector>

class QFile;

// A package's checks: its size and installer format once whole, and its hashes as its bytes
// come, off the window's thread. With the pieces the record lists, each piece is checked as
// soon as it is whole, on threads of its own, several at once, so that a source serving one
// wrong piece is caught at that piece, not after the whole package; the pieces cover every
// byte, so the whole file's hash, read again, would only double the work. Without them the
// whole file's hash is read back in order from the file as its first bytes grow.
class PackageChecks
{
public:
    explicit PackageChecks(const UpdateRecord &record);
    // Waits for the hashing under way.
    ~PackageChecks();

    // The record lists pieces.
    bool active() const { return !hashes.empty(); }

    // Hashes, from the file at `path`, every piece within `written` that `in` makes whole and
    // that is not checked yet; without pieces, the bytes `in` holds from the start. The file
    // must hold what `in` says.
    void check(const QString &path, const SpanSet &in, const Span &written);
    // Takes in the checks that have ended: a piece that failed its hash goes out of `in` and
    // into `wrong` (if given), and its failure comes back (the first, when several did); the
    // hashing under way stops then. With `wait`, once all hashing under way has ended.
    // Reading the file back can fail too.
    MaybeFailure collect(SpanSet &in, bool wait, SpanSet *wrong = nullptr);
    // After a wrong piece and the bytes dropped with it: checks every piece `in` holds whole
    // that is not checked yet.
    void recheck(const QString &path, const SpanSet &in);

    // How far the package is checked from its first byte on, and the pieces checked, which
    // alone may be kept for a later run.
    qint64 checkedPrefix() const;
    SpanSet checked() const;

    // Once collect() waited with the whole package in: whether it may be installed, by its
    // hashes and size alone, and with its installer format read from `file` (at `path`).
    PackageVerifier::Verdict verify(qint64 received);
    MaybeFailure finalCheck(QFile &file, qint64 received, const QString &path);
    // What the package is checked against, for the log.
    QString done() const;

    // Forgets everything hashed: the file starts over.
    void reset();

private:
    enum class State : char { Open, Hashing, Sound };
    Span span(int piece) const;
    void walk(const QString &path);
    MaybeFailure takeResults(SpanSet &in, SpanSet *wrong);
    void rewind(SpanSet &in, SpanSet *wrong);
    // Stops the reading in order and waits for every thread.
    void stop();

    const UpdateRecord record;
    const qint64 pieceSize;
    const std::vector<QByteArray> hashes;
    std::vector<State> states;
    int firstOpen = 0;

    // Ends of hashing that the window's thread has not taken in yet: generation, piece (-1:
    // the file could not be read back), sound.
    struct Result
    {
        int generation;
        int piece;
        bool sound;
        QString error;
    };
    QMutex mutex;
    std::vector<Result> results;
    int generation = 0;
    // How far the file holds the package's first bytes, and whether the reading in order is
    // under way: both under the mutex.
    qint64 target = 0;
    bool walking = false;
    // The reading in order's own, touched by one thread at a time: how far it has read, and
    // the whole file's hash.
    qint64 edge = 0;
    std::unique_ptr<PackageVerifier> whole;

    // Declared last: their threads end before what they write to goes.
    QThreadPool pool;
    QThreadPool inOrder;
};

#endif
