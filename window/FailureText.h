#ifndef FAILURETEXT_H
#define FAILURETEXT_H

#include "net/DownloadFailure.h"

#include <QString>

// What the window says for each way a download fails: the one table of the users' words.
class FailureText
{
public:
    static QString of(const DownloadFailure &failure);
};

#endif
