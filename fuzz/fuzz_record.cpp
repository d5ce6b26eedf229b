// libFuzzer target: arbitrary bytes as the version-check body, through the record's
// unwrapping, the offer decision and the package checks the record asks for, and as the
// package whose compound-file tables are walked.
#include "comm/Comm.h"
#include "comm/InstallerPackage.h"
#include "comm/PackageVerifier.h"
#include "comm/UpdateRecord.h"

#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<int>(size));
    bool isObject = false;
    const UpdateRecord record = UpdateRecord::fromJson(Comm::getJsonObject(body, &isObject));
    if (record.offersUpdate() && !isObject)
        __builtin_trap();

    // The body doubles as the package, checked against whatever the record promised,
    // with a key built in so that a "Signature" member reaches the verifier.
    static QTemporaryFile package;
    static const bool opened = package.open();
    if (!opened || !package.resize(0) || !package.seek(0) || package.write(body) != body.size() || !package.flush())
        __builtin_trap();
    PackageVerifier verifier(record, QByteArray(32, '\x01'));
    verifier.addData(body);
    verifier.verify(package, body.size());
    InstallerPackage::defect(package, body.size());
    return 0;
}
