#include "OwnFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Six letters or digits, for names nobody can guess.
QString randomLetters()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString text;
    for (int i = 0; i < 6; ++i)
        text += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))]);
    return text;
}

#ifdef Q_OS_WIN
// A file of the user's own on Windows is one in the user's profile, %TEMP% included, which
// others cannot write to by default; what is checked is that it is a plain file on a disk,
// not a link, a junction or a device.
int openHandle(const QString &path, QIODevice::OpenMode mode, bool exclusive)
{
    const bool writes = mode & QIODevice::WriteOnly;
    // Held: nobody else may write it meanwhile, and nobody who writes it now lets us in.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE | (exclusive ? 0 : FILE_SHARE_WRITE);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                      GENERIC_READ | (writes ? GENERIC_WRITE : 0), share, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info)
        && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    const int fd = regular ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), (writes ? _O_RDWR : _O_RDONLY) | _O_BINARY) : -1;
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}
#else
// The current user's, and nobody else may write it.
bool ownedAlone(const struct stat &status)
{
    return status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int openHandle(const QString &path, QIODevice::OpenMode mode, bool exclusive)
{
    const int access = (mode & QIODevice::WriteOnly) ? O_RDWR : O_RDONLY;
    const int fd = ::open(QFile::encodeName(path).constData(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Judged by what was opened: the name may have been swapped since it was listed.
    struct stat status;
    const bool own = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ownedAlone(status);
    if (!own || (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0)
        || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

bool renameOver(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

} // namespace

std::unique_ptr<QFile> OwnFile::open(const QString &path, QIODevice::OpenMode mode, bool exclusive)
{
    const int fd = openHandle(path, mode, exclusive);
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}

bool OwnFile::replace(const QString &path, const QByteArray &bytes)
{
    const QString fresh = path + QLatin1Char('.') + randomLetters();
    QFile file;
#ifdef Q_OS_WIN
    file.setFileName(fresh);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
#else
    // Created here, by this user, for this user alone: never an existing file or a link.
    const int fd = ::open(QFile::encodeName(fresh).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
#endif
    const bool written = file.write(bytes) == bytes.size() && sync(file);
    file.close();
    if (written && renameOver(fresh, path))
        return true;
    QFile::remove(fresh);
    return false;
}

bool OwnFile::sync(QFile &file)
{
    return file.flush() && sync(file.handle());
}

bool OwnFile::sync(int handle)
{
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(handle)));
#else
    return fsync(handle) == 0;
#endif
}

bool OwnFile::isOwnFolder(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return true;
#else
    struct stat status;
    return lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode) && ownedAlone(status);
#endif
}
