#ifndef RELEASE_H
#define RELEASE_H

#include <QByteArray>
#include <QString>

// The updater's own version, as its Windows version resource has it.
extern const QString updaterVersion;

// The release of the main application that this updater belongs to; the
// server's record is compared against these two.
extern const QString currentVersion;
extern const qint32 currentReleaseTime;

// Where the installer package goes: the working folder, under a fixed name.
extern const QString installerPackagePath;

// The update server's version-check endpoint, fixed when the updater is built.
extern const QString versionCheckUrl;

// The publisher's Ed25519 public key; empty when release records are not signed.
extern const QByteArray updatePublicKey;

#endif
