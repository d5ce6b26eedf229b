#include "FailureText.h"

QString FailureText::of(const DownloadFailure &failure)
{
    switch (failure.cause) {
    case DownloadFailure::InvalidAddress:
        return QStringLiteral("下载地址无效");
    case DownloadFailure::CannotCreateFile:
        return QStringLiteral("无法创建安装包文件");
    case DownloadFailure::CannotDeleteOldPackage:
        return QStringLiteral("无法删除旧的安装包");
    case DownloadFailure::CannotSave:
        return QStringLiteral("无法保存安装包");
    case DownloadFailure::UnsafeRedirect:
        return QStringLiteral("下载地址被重定向到不安全的地址");
    case DownloadFailure::TooManyRedirects:
        return QStringLiteral("下载地址重定向次数过多");
    case DownloadFailure::HttpStatus:
        return QStringLiteral("服务器返回 HTTP %1").arg(failure.status);
    case DownloadFailure::RangeMismatch:
        return QStringLiteral("服务器续传的范围不符");
    case DownloadFailure::SizeMismatch:
        return QStringLiteral("安装包大小不符");
    case DownloadFailure::TooLarge:
        return QStringLiteral("安装包过大，已停止下载");
    case DownloadFailure::DiskFull:
        return QStringLiteral("写入失败，磁盘可能已满");
    case DownloadFailure::Incomplete:
        return QStringLiteral("下载不完整");
    case DownloadFailure::NetworkFailure:
        return QStringLiteral("网络连接失败");
    case DownloadFailure::TimedOut:
        return QStringLiteral("下载超时");
    case DownloadFailure::NotAnInstaller:
        return QStringLiteral("下载的文件不是安装包");
    case DownloadFailure::Unreadable:
        return QStringLiteral("无法读取下载的安装包");
    case DownloadFailure::HashMismatch:
        return QStringLiteral("安装包校验失败");
    case DownloadFailure::MalformedMember:
        return QStringLiteral("更新信息中的校验数据无效（%1）").arg(failure.member);
    }
    return QString();
}
