// libFuzzer target: arbitrary bytes as the version-check body, through the record's
// unwrapping, the signed record's opening with the demo key, the offer decision and the
// package checks the record asks for, and as the package whose compound-file tables are
// walked.
#include "app/release.h"
#include "comm/Comm.h"
#include "trust/InstallerPackage.h"
#include "trust/PackageVerifier.h"
#include "trust/SignedRecord.h"
#include "trust/UpdateRecord.h"

#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<int>(size));
    bool isObject = false;
    const QJsonObject json = Comm::getJsonObject(body, &isObject);
    const UpdateRecord record = UpdateRecord::fromJson(json);
    if (record.offersUpdate(currentVersion, currentReleaseTime) && !isObject)
        __builtin_trap();
    // The demo key, so that the corpus's signed record opens and the parsing behind the
    // signature is reached too.
    static const QByteArray demoKey = QByteArray::fromBase64(DEMO_PUBLIC_KEY_BASE64);
    const std::optional<UpdateRecord> opened = SignedRecord::open(json, demoKey, qint64(0));
    if (opened && (opened->size < 0 || opened->sha256.isEmpty()))
        __builtin_trap();

    // The body doubles as the package, checked against whatever the record promised.
    static QTemporaryFile package;
    static const bool packageOpen = package.open();
    if (!packageOpen || !package.resize(0) || !package.seek(0) || package.write(body) != body.size() || !package.flush())
        __builtin_trap();
    PackageVerifier verifier(record);
    verifier.addData(body.constData(), body.size());
    verifier.verify(body.size());
    InstallerPackage::defect(package, body.size());
    return 0;
}
