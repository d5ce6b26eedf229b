#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include "Failure.h"

#include <QByteArray>
#include <QDateTime>

#include <optional>
#include <vector>

// When a download that failed tries again by itself: after a transient failure, a little
// later each time, and not at all once the waits are spent or the server asks for too long.
class RetryPolicy
{
public:
    // About half a minute of waiting in all, as curl's --retry and aria2 have it.
    static std::vector<int> defaultDelaysMs() { return {1000, 2000, 4000, 8000, 16000}; }
    // A Retry-After longer than this is not waited for.
    static constexpr int longestRetryAfterSecs = 60;
    // An attempt that brought this much found the network working: the waits start over.
    static constexpr qint64 progressBytes = 1024 * 1024;

    explicit RetryPolicy(std::vector<int> delaysMs = defaultDelaysMs())
        : delaysMs(std::move(delaysMs))
    {
    }

    // The wait before the next attempt, after an attempt that ended with `failure` having
    // brought `brought` bytes; nothing when the failure is final. `jitter`, from 0 to 1,
    // spreads the retries of many users a little.
    std::optional<int> next(const Failure &failure, qint64 brought, double jitter);
    void reset() { failuresInRow = 0; }

    // The seconds a Retry-After header asks for, from its seconds or its HTTP date; -1 when
    // it says nothing usable.
    static int retryAfterSecs(const QByteArray &value, const QDateTime &now);

private:
    std::vector<int> delaysMs;
    std::size_t failuresInRow = 0;
};

#endif
