#ifndef FAILURETEXT_H
#define FAILURETEXT_H

#include "net/Failure.h"

#include <QString>

// What the window says for each way the check or a download fails: the one table of the
// users' words.
class FailureText
{
public:
    // The headline above the notes.
    static QString headline(const Failure &failure);
    // The line in the notes' place.
    static QString of(const Failure &failure);
    // The bar's text while a download waits `seconds` to try again after `failure`.
    static QString retrying(const Failure &failure, int seconds);
};

#endif
