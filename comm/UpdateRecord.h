#ifndef UPDATERECORD_H
#define UPDATERECORD_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The published release as the server's record describes it.
class UpdateRecord
{
public:
    static UpdateRecord fromJson(const QJsonObject &record);

    // A release is offered when it is published, is not this very release and is
    // later than it; newness is the release time, the version text only vetoes.
    bool offersUpdate() const;

    int state = 0;
    QString version;
    qint64 time = 0;
    QString notes;
    QString downloadUri;

    // What the package must match. Absent members are not checked: size -1,
    // sha256 and signature empty.
    qint64 size = -1;
    QByteArray sha256;
    QByteArray signature;
    // Names the integrity member that is present but unusable, if any.
    QString malformedMember;
};

#endif
