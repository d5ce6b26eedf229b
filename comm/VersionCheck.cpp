#include "VersionCheck.h"

#include "comm/Comm.h"
#include "net/Logging.h"
#include "net/ProxyFactory.h"
#include "net/ProxyLogin.h"
#include "trust/SignedRecord.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QUrl>

VersionCheck::VersionCheck(Comm &comm, const QString &endpoint, const QByteArray &publicKey, const QString &keptFolder)
    : comm(comm)
    , endpoint(endpoint)
    , publicKey(publicKey)
    , memory(keptFolder)
{
}

VersionCheck::Outcome VersionCheck::run(const QString &currentVersion, qint64 currentReleaseTime, qint64 now)
{
    Outcome outcome = fetch(now);
    if (outcome.failure)
        return outcome;
    const UpdateRecord &record = *outcome.offer;
    qCInfo(lcCheck).noquote() << "published:" << fromServer(record.version) << record.time << "state" << record.state;
    const bool newer = record.offersUpdate(currentVersion, currentReleaseTime);
    if (!newer)
        qCInfo(lcCheck) << "nothing newer than" << currentVersion << currentReleaseTime;
    if (!newer || !hasTurn(record, now)) {
        outcome.offer.reset();
        return outcome;
    }
    qCInfo(lcCheck).noquote() << "offered:" << forLog(QUrl(record.downloadUri)) << "of" << record.size << "bytes";
    if (!record.malformedMember.isEmpty())
        qCWarning(lcCheck) << "the record's" << record.malformedMember << "is malformed: a press fails at once";
    return outcome;
}

VersionCheck::Outcome VersionCheck::fetch(qint64 now)
{
    // Which way the system sends it: most failures behind a company proxy are the proxy's.
    const std::optional<QNetworkProxy> proxy = ProxyFactory::proxyFor(QUrl(endpoint));
    qCInfo(lcCheck).noquote() << "asking" << forLog(QUrl(endpoint))
                              << (proxy ? QStringLiteral("through the proxy %1:%2").arg(fromServer(proxy->hostName())).arg(proxy->port())
                                        : QStringLiteral("directly"));
    // With a key, the newest record trusted before is the floor for this one, and what a 304
    // stands for.
    const std::optional<CheckMemory::Kept> kept = publicKey.isEmpty() ? std::nullopt : memory.record(publicKey);
    Comm::Conditional conditional;
    if (kept) {
        conditional.etag = kept->etag;
        conditional.lastModified = kept->lastModified;
    }
    bool answered = false;
    bool isObject = false;
    QString error;
    QByteArray body;
    // A passing trouble (a proxy's 503, a connection reset) is asked again, twice at most,
    // within the check's bound.
    QDeadlineTimer bound(Comm::httpGetTimeoutMs);
    for (int tries = 1;; ++tries) {
        bool transient = false;
        body = comm.httpGet(endpoint, &answered, int(bound.remainingTime()), &error,
                            publicKey.isEmpty() ? nullptr : &conditional, &transient);
        if (answered)
            break;
        // A login typed for the proxy is a fresh start: the time spent typing was not the
        // network's.
        const ProxyLogin::Outcome login = ProxyLogin::instance().askIfWanted();
        if (login == ProxyLogin::Given) {
            bound.setRemainingTime(Comm::httpGetTimeoutMs);
            tries = 0;
            continue;
        }
        if (login == ProxyLogin::Declined) {
            Failure failure(Failure::CheckFailed, error);
            failure.proxy = ProxyLogin::instance().lastProxy();
            return {failure, std::nullopt};
        }
        if (!transient || tries == 3 || bound.hasExpired())
            break;
        qCInfo(lcCheck).noquote() << "asking again after" << error;
    }
    const QJsonObject json = conditional.notModified ? kept->pair : Comm::getJsonObject(body, &isObject);
    if (!answered || !(isObject || conditional.notModified))
        return {Failure(Failure::CheckFailed, answered ? QStringLiteral("the answer is not a JSON object") : error), std::nullopt};
    if (conditional.notModified)
        qCInfo(lcCheck) << "not modified: the kept record is checked again";
    if (publicKey.isEmpty())
        return {std::nullopt, UpdateRecord::fromJson(json)};

    // With the publisher's key built in, only what the publisher signed is believed.
    const std::optional<UpdateRecord> record = SignedRecord::open(json, publicKey, now);
    const QString replay = record && kept ? record->replayOf(kept->record) : QString();
    if (!record || !replay.isEmpty()) {
        // Support tells a server that lost its key apart from a re-signing that stopped.
        const bool expired = !record && SignedRecord::open(json, publicKey, std::nullopt);
        return {Failure(Failure::RecordUnverified,
                        record    ? QStringLiteral("refused as a replay: ") + replay
                        : expired ? QStringLiteral("the record signed with the built-in key has expired")
                                  : QStringLiteral("no complete record signed with the built-in key")),
                std::nullopt};
    }
    if (!kept || kept->pair.value(QLatin1String("SignedRecord")) != json.value(QLatin1String("SignedRecord"))
        || kept->etag != conditional.etag || kept->lastModified != conditional.lastModified)
        memory.keep(json, conditional.etag, conditional.lastModified);
    return {std::nullopt, record};
}

bool VersionCheck::hasTurn(const UpdateRecord &record, qint64 now) const
{
    if (record.rolloutDays == 0)
        return true;
    // Without a number of its own an install cannot wait its turn: it is offered at once.
    const std::optional<quint32> number = memory.installNumber();
    if (!number || record.rolloutAdmits(*number, now))
        return true;
    qCInfo(lcCheck).noquote() << QStringLiteral("waits for its turn: the rollout from %1 over %2 days offers the release to "
                                                "%3 % of installs, and this install's number is %4 of 2^32")
                                     .arg(record.rolloutStart)
                                     .arg(record.rolloutDays)
                                     .arg(100 * UpdateRecord::rolloutShare(now, record.rolloutStart, record.rolloutDays), 0, 'f', 1)
                                     .arg(*number);
    return false;
}
