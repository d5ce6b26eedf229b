#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include "Failure.h"

#include <QByteArray>
#include <QDateTime>

#include <optional>

// When a download that failed tries again by itself: after a transient failure, a little
// later each time, and not at all once the tries are spent or the server asks for too long.
// Only progress gives the tries back: bytes kept beyond the furthest point reached before.
// Whatever a server does, a download makes at most `tries` attempts in a row that keep no
// further progressBytes, so at most (tries + 1) per progressBytes of the package.
class RetryPolicy
{
public:
    static constexpr int defaultFirstWaitMs = 1000;
    static constexpr int defaultTries = 5;
    // A Retry-After longer than this is not waited for.
    static constexpr int longestRetryAfterSecs = 60;
    // Kept bytes this far beyond the best point before show that the network works.
    static constexpr qint64 progressBytes = 1024 * 1024;

    // The n-th wait in a row is drawn between `firstWaitMs` and `firstWaitMs` * 2^n: with the
    // defaults up to 2, 4, 8, 16 and 32 seconds, about half a minute in all.
    explicit RetryPolicy(int firstWaitMs = defaultFirstWaitMs, int tries = defaultTries)
        : firstWaitMs(firstWaitMs)
        , tries(tries)
    {
    }

    // The wait before the next attempt, after an attempt that ended with `failure` and left
    // `kept` bytes to go on from; nothing when the failure is final. `jitter`, from 0 to 1,
    // picks the wait within its range (full jitter), so that many users who failed together
    // do not come back together, a Retry-After included.
    std::optional<int> next(const Failure &failure, qint64 kept, double jitter);
    void reset()
    {
        failuresInRow = 0;
        best = 0;
    }

    // The seconds a Retry-After header asks for, from its seconds or its HTTP date; -1 when
    // it says nothing usable.
    static int retryAfterSecs(const QByteArray &value, const QDateTime &now);

private:
    int firstWaitMs;
    int tries;
    int failuresInRow = 0;
    // The most bytes kept after an attempt since the tries were last given back.
    qint64 best = 0;
};

#endif
