#ifndef CHECKMEMORY_H
#define CHECKMEMORY_H

#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// What the version check keeps between runs in the user's own application-data folder: the
// newest signed record it trusted, below which no later record may go and for which a 304
// stands, with the validators it came with; and this install's number for phased rollouts.
// Whatever is found there is read like a server's answer.
class CheckMemory
{
public:
    // An empty folder keeps nothing.
    explicit CheckMemory(const QString &folder);

    struct Kept
    {
        // The signed pair as the server sent it.
        QJsonObject pair;
        UpdateRecord record;
        QByteArray etag;
        QByteArray lastModified;
    };

    // The kept record when it is whole, signed with `publicKey` and complete; its expiry is
    // not checked. Nothing for a missing, torn or foreign file.
    std::optional<Kept> record(const QByteArray &publicKey) const;
    // Keeps the signed pair of `body` with the validators of the answer that brought it.
    void keep(const QJsonObject &body, const QByteArray &etag, const QByteArray &lastModified) const;

    // This install's number, drawn at random the first time and kept; nothing when it cannot
    // be kept.
    std::optional<quint32> installNumber() const;

private:
    QString path(const QString &name) const;
    std::optional<QByteArray> read(const QString &name, qint64 limit) const;

    const QString folder;
};

#endif
