#ifndef FAILURE_H
#define FAILURE_H

#include <QMetaEnum>
#include <QObject>
#include <QString>

#include <optional>

// Why the version check or a download failed, as a value. The cause decides what the window
// says (one table in window/) and whether the bytes kept may be resumed from; the detail is
// the technical reason (Qt's error text, the status, the host), for the log.
struct Failure
{
    Q_GADGET

public:
    enum Cause {
        // The version check: nothing usable came back, or the record is not the publisher's.
        CheckFailed,
        RecordUnverified,
        // The download.
        InvalidAddress,
        CannotCreateFile,
        CannotDeleteOldPackage,
        CannotSave,
        UnsafeRedirect,
        TooManyRedirects,
        HttpStatus,
        RangeMismatch,
        SizeMismatch,
        TooLarge,
        DiskFull,
        Incomplete,
        NetworkFailure,
        TimedOut,
        NotAnInstaller,
        // Every byte the server declared came, and they end inside the installer.
        CutShort,
        Unreadable,
        HashMismatch,
        // A piece of the package is not what the record's PieceSha256 says.
        PieceMismatch,
        MalformedMember,
    };
    Q_ENUM(Cause)

    Failure(Cause cause, const QString &detail = QString())
        : cause(cause)
        , detail(detail)
    {
    }
    static Failure httpStatus(int status, const QString &detail = QString())
    {
        Failure failure(HttpStatus, detail);
        failure.status = status;
        return failure;
    }
    // The disk of `folder` took no more; `needed` bytes were still to come (-1: unknown).
    static Failure diskFull(const QString &folder, qint64 needed, const QString &detail)
    {
        Failure failure(DiskFull, detail);
        failure.folder = folder;
        failure.needed = needed;
        return failure;
    }
    static Failure malformedMember(const QString &member)
    {
        Failure failure(MalformedMember, member);
        failure.member = member;
        return failure;
    }

    // A transfer that broke off, or a server that was busy for a moment: another attempt may
    // well work, from the bytes kept. Anything else would fail the same way again.
    bool transient() const;
    bool ofCheck() const { return cause == CheckFailed || cause == RecordUnverified; }
    // The cause's name, for the log.
    const char *name() const { return QMetaEnum::fromType<Cause>().valueToKey(cause); }

    Cause cause;
    // The answer's status for HttpStatus, the record's member for MalformedMember.
    int status = 0;
    QString member;
    // For HttpStatus: the seconds the server asked to wait (Retry-After), -1 when it did not.
    int retryAfter = -1;
    // For NetworkFailure: QNetworkReply's error.
    int networkError = 0;
    // For DiskFull: the folder written to and the bytes still to come (-1: unknown); for
    // CannotDeleteOldPackage: the package in the way.
    QString folder;
    qint64 needed = -1;
    // A proxy (host:port) that wanted a login and got none: the cause is its refusal.
    QString proxy;
    QString detail;
};

using MaybeFailure = std::optional<Failure>;

#endif
