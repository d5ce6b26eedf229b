#include "FailureText.h"

#include "speed/httpfile.h"

#include <QDir>

QString FailureText::headline(const Failure &failure)
{
    return failure.ofCheck() ? QStringLiteral("检查更新失败") : QStringLiteral("下载失败，请重试");
}

QString FailureText::of(const Failure &failure)
{
    // Not the server's answer: the proxy's, and the user can mend it with a login.
    if (!failure.proxy.isEmpty())
        return QStringLiteral("代理服务器需要登录（%1）").arg(failure.proxy);
    switch (failure.cause) {
    case Failure::CheckFailed:
        // The headline says it all: nobody could be asked.
        return QString();
    case Failure::RecordUnverified:
        return QStringLiteral("无法验证更新信息");
    case Failure::InvalidAddress:
        return QStringLiteral("下载地址无效");
    case Failure::CannotCreateFile:
        return QStringLiteral("无法创建安装包文件");
    case Failure::CannotDeleteOldPackage:
        // Which file to close or remove.
        if (failure.folder.isEmpty())
            return QStringLiteral("无法删除旧的安装包");
        return QStringLiteral("无法删除旧的安装包（%1）").arg(QDir::toNativeSeparators(failure.folder));
    case Failure::CannotSave:
        return QStringLiteral("无法保存安装包");
    case Failure::UnsafeRedirect:
        return QStringLiteral("下载地址被重定向到不安全的地址");
    case Failure::TooManyRedirects:
        return QStringLiteral("下载地址重定向次数过多");
    case Failure::HttpStatus:
        return QStringLiteral("服务器返回 HTTP %1").arg(failure.status);
    case Failure::RangeMismatch:
        return QStringLiteral("服务器续传的范围不符");
    case Failure::SizeMismatch:
        return QStringLiteral("安装包大小不符");
    case Failure::TooLarge:
        return QStringLiteral("安装包过大，已停止下载");
    case Failure::DiskFull:
        // Where to make room, and how much.
        if (failure.folder.isEmpty())
            return QStringLiteral("写入失败，磁盘可能已满");
        return failure.needed < 0
            ? QStringLiteral("写入失败，磁盘可能已满（%1）").arg(QDir::toNativeSeparators(failure.folder))
            : QStringLiteral("写入失败，磁盘可能已满（%1 需要 %2 可用空间）")
                  .arg(QDir::toNativeSeparators(failure.folder), httpfile::formatSize(failure.needed));
    case Failure::Incomplete:
    case Failure::CutShort:
        return QStringLiteral("下载不完整");
    case Failure::NetworkFailure:
        return QStringLiteral("网络连接失败");
    case Failure::TimedOut:
        return QStringLiteral("下载超时");
    case Failure::NotAnInstaller:
        return QStringLiteral("下载的文件不是安装包");
    case Failure::Unreadable:
        return QStringLiteral("无法读取下载的安装包");
    case Failure::HashMismatch:
    case Failure::PieceMismatch:
        return QStringLiteral("安装包校验失败");
    case Failure::MalformedMember:
        return QStringLiteral("更新信息中的校验数据无效（%1）").arg(failure.member);
    }
    Q_UNREACHABLE();
}

QString FailureText::retrying(const Failure &failure, int seconds)
{
    // A status came from a server that answered: the network is fine, the server is not.
    if (failure.cause == Failure::HttpStatus)
        return QStringLiteral("服务器繁忙，%1 秒后重试").arg(seconds);
    return QStringLiteral("网络中断，%1 秒后重试").arg(seconds);
}
