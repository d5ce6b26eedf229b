#ifndef DOWNLOADSTATE_H
#define DOWNLOADSTATE_H

#include "SpanSet.h"
#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What a download that stopped keeps beside its partial file, so that a later run goes on
// from its bytes: which package they belong to, how the server named that package, and
// which bytes are in.
struct DownloadState
{
    // Kept bytes older than this are given up.
    static constexpr qint64 keptForSecs = 7 * 24 * 3600;
    // A state names at most this many spans (the earliest), so that one planted or torn
    // into slivers cannot cost a request each.
    static constexpr int maxSpans = 256;

    QByteArray toJson() const;
    // Nothing for a torn, foreign or inconsistent file.
    static std::optional<DownloadState> fromJson(const QByteArray &json);

    // Written whole or not at all, for this user alone: a new file renamed over the old one.
    bool write(const QString &path) const;
    // Only a regular file of this user's own.
    static std::optional<DownloadState> read(const QString &path);

    // How the state names a package's address: without user name, password or query, which
    // may carry secrets.
    static QString addressOf(const QString &downloadUri);
    // The bytes are the package `record` offers: the same address, and the same size and
    // hash where the record gives them.
    bool isFor(const UpdateRecord &record) const;
    bool expired(qint64 nowSecs) const { return nowSecs - savedAt > keptForSecs || savedAt - nowSecs > keptForSecs; }

    // A download's bytes are noted at most this often: what a kill loses.
    static constexpr qint64 everyMs = 1000;
    // Whether a download notes its bytes again, `sinceMs` after the last note, with `brought`
    // bytes in since and `rest` to come. A note guards those bytes and costs their sync, so
    // none while the rest is due sooner than the next note at that pace.
    static bool due(qint64 sinceMs, qint64 brought, qint64 rest) { return sinceMs >= everyMs && rest * sinceMs >= brought * everyMs; }

    // The offer's identity; the address as addressOf() gives it.
    QString url;
    qint64 size = -1;
    QByteArray sha256;
    // The first answer's validator and length, and whether it said that it serves ranges.
    QByteArray validator;
    qint64 length = -1;
    bool servesRanges = false;
    SpanSet spans;
    // Seconds since 1970.
    qint64 savedAt = 0;
};

#endif
