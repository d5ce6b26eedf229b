#ifndef PACKAGEDOWNLOAD_H
#define PACKAGEDOWNLOAD_H

#include "DownloadFailure.h"
#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class PackageVerifier;
class QNetworkReply;
class QNetworkRequest;
class QTemporaryFile;
class QUrl;

// One package's way to disk, over as many attempts as it takes: the file, its checks, and
// what a broken attempt leaves to resume from. The caller owns the replies and feeds them
// in; nothing outlives the object, so a new start always begins from byte 0.
class PackageDownload
{
public:
    // The package goes to `path` once whole, or to the first of its other places() that can
    // take it. A package longer than `sizeLimit` bytes is refused unless the publisher signed
    // its size.
    PackageDownload(const UpdateRecord &record, const QString &path, qint64 sizeLimit);
    ~PackageDownload();

    // Where a package asked for at `path` may go, first choice first: there, else the user's
    // Downloads folder, else the temporary folder.
    static QStringList places(const QString &path);

    // Creates the file the bytes go to in the first place that can take it and deletes a
    // package left there; the failure, if that fails.
    MaybeFailure open();
    // Where the package goes: known once open() succeeded.
    QString path() const { return packagePath; }

    // The next attempt's request: the rest after the bytes kept, if the first answer named
    // a validator that tells whether the package is still the same.
    QNetworkRequest request(const QUrl &url);

    // Writes what the reply has; the failure, once the attempt must stop.
    MaybeFailure receive(QNetworkReply &reply);

    // Ends the attempt for this cause, unless it has already failed.
    void fail(const DownloadFailure &cause);

    // Ends the attempt once the reply finished: nothing when the package is whole and
    // passed its checks, else the failure, after which canResume() tells whether the bytes
    // were kept.
    MaybeFailure finish(QNetworkReply &reply);

    // Moves the finished package to its path; the failure, if that fails.
    MaybeFailure save();

    bool canResume() const;
    // The bytes this attempt started from, and the package's length (-1 while unknown).
    qint64 resumedFrom() const { return offset; }
    qint64 total() const { return totalBytes; }
    // Bytes written by this attempt.
    qint64 attemptBytes() const { return received - offset; }

private:
    MaybeFailure acceptOnce(const QNetworkReply &reply);
    MaybeFailure store(const char *data, qint64 size);
    void transferFailure(QNetworkReply &reply);
    void checkPackage();
    void startOver();
    void discard();

    const UpdateRecord record;
    QString packagePath;
    const qint64 sizeLimit;
    std::unique_ptr<QTemporaryFile> file;
    std::unique_ptr<PackageVerifier> verifier;
    std::vector<char> buffer;

    qint64 received = 0;
    qint64 offset = 0;
    qint64 totalBytes = -1;
    // The first answer's strong ETag or Last-Modified, sent back in If-Range.
    QByteArray validator;
    bool accepted = false;
    MaybeFailure failure;
};

#endif
