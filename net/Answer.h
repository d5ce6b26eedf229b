#ifndef ANSWER_H
#define ANSWER_H

#include "Failure.h"

#include <QByteArray>

// Whether an answer's body continues the package, decided from its header alone.
class Answer
{
public:
    // The parts of an answer's header that decide (-1: no Content-Length).
    struct Header
    {
        int status = 0;
        qint64 contentLength = -1;
        QByteArray contentRange;
        QByteArray etag;
        QByteArray lastModified;
        QByteArray acceptRanges;
    };

    // What the package is known to be before the answer.
    struct Expected
    {
        // The range asked for, from offset up to end (exclusive); an end of 0 asks for the
        // whole package. Then the package's length (-1 while unknown) and the validator sent
        // back in If-Range.
        qint64 offset = 0;
        qint64 end = 0;
        qint64 total = -1;
        QByteArray validator;
        // The record's "Size" (-1 when none), whether its publisher signed it, and the
        // length beyond which only a signed size is believed.
        qint64 recordSize = -1;
        bool vouched = false;
        qint64 sizeLimit = 0;
        // Every byte is checked against the publisher's hashes (the pieces', or a signed
        // whole file's): a range needs no validator.
        bool hashesVouch = false;
        // Asked of another source than the one the download began at: only the range asked
        // for will do, a whole package would start the download over.
        bool rangeOnly = false;
    };

    struct Verdict
    {
        MaybeFailure failure;
        // A whole package answered a range: the bytes kept are dropped.
        bool startOver = false;
        qint64 total = -1;
        QByteArray validator;
        // The server says it serves ranges of bytes.
        bool servesRanges = false;
    };

    static Verdict judge(const Header &header, const Expected &expected);

    // HTTP's strong entity-tag: DQUOTE *etagc DQUOTE.
    static bool isStrongEntityTag(const QByteArray &value);
    // An HTTP date in any of its three forms, naming a day that exists.
    static bool isHttpDate(const QByteArray &value);
};

#endif
