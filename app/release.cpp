#include "release.h"

const QString updaterVersion = QStringLiteral(UPDATER_VERSION);

const QString currentVersion = QStringLiteral(RELEASE_VERSION);

const qint32 currentReleaseTime = RELEASE_TIME;

const QString installerPackagePath
    = QStringLiteral(".") + QStringLiteral("/%1%2").arg(QStringLiteral("QuorilexVideo_32"), QStringLiteral(".msi"));

const QString versionCheckUrl = QStringLiteral(UPDATE_SERVER "/version/down_update.php");

const QByteArray updatePublicKey = QByteArray::fromBase64(QByteArrayLiteral(UPDATE_PUBLIC_KEY));
