#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include <QByteArray>
#include <QJsonObject>

#include <memory>

struct evp_pkey_st;

// A fresh Ed25519 key pair that signs as a publisher would.
class SigningKey
{
public:
    SigningKey();

    QByteArray sign(const QByteArray &message) const;

    // The members "SignedRecord" and "RecordSignature" for these exact record bytes.
    QJsonObject signedMembers(const QByteArray &recordBytes) const;

    QByteArray publicKey;

private:
    std::unique_ptr<evp_pkey_st, void (*)(evp_pkey_st *)> key;
};

#endif
