#ifndef DOWNLOADFAILURE_H
#define DOWNLOADFAILURE_H

#include <QString>

#include <optional>

// Why a download failed, as a value; the window says it in the user's words.
struct DownloadFailure
{
    enum Cause {
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
        Unreadable,
        HashMismatch,
        MalformedMember,
    };

    Cause cause;
    // Whether the bytes kept so far are sound, so that the next attempt may go on from them.
    bool resumable = false;
    // The answer's status for HttpStatus, the record's member for MalformedMember.
    int status = 0;
    QString member;
};

using MaybeFailure = std::optional<DownloadFailure>;

#endif
