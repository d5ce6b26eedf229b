#include "release.h"

const QString currentVersion = QStringLiteral("3.0.6");

// 2021-05-08 00:00 in UTC+8.
const qint32 currentReleaseTime = 1620403200;

const QString installerPackagePath
    = QStringLiteral(".") + QStringLiteral("/%1%2").arg(QStringLiteral("QuorilexVideo_32"), QStringLiteral(".msi"));

const QString versionCheckUrl = QStringLiteral(UPDATE_SERVER "/version/down_update.php");

const QByteArray updatePublicKey = QByteArray::fromBase64(QByteArrayLiteral(UPDATE_PUBLIC_KEY));
