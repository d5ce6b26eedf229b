#ifndef PROXYLOGIN_H
#define PROXYLOGIN_H

#include <QObject>
#include <QString>

#include <functional>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;

// The login a proxy asks for, held in memory for the run and answered on every connection:
// the user types it once. Never written to disk or to the log.
//
// Before anything is typed, Qt answers NTLM and Negotiate challenges with the signed-in
// Windows user's own login (through SSPI, as long as no user name is set); only a proxy
// that refuses that, or asks for a password (Basic, Digest), reaches the user.
class ProxyLogin : public QObject
{
    Q_OBJECT

public:
    // What a proxy asked for: its host:port, and whether it refused the login given before.
    struct Request
    {
        QString proxy;
        bool refused = false;
    };
    // Asks the user; true with the user name and password typed, false when declined.
    using Asker = std::function<bool(const Request &request, QString *user, QString *password)>;
    enum Outcome { NotWanted, Given, Declined };

    static ProxyLogin &instance();

    // Answers the login requests of every connection `manager` makes.
    void watch(QNetworkAccessManager &manager);
    // Who asks the user; a new one starts with no login held.
    void setAsker(Asker asker);

    // After a request failed: when a proxy wanted a login it did not get, asks the user for
    // one. Given, the request is worth making again; declined, it fails for want of a login.
    Outcome askIfWanted();
    bool isWanted() const { return pending; }
    // The proxy whose login was last asked for, for the window's words.
    QString lastProxy() const { return wanted.proxy; }

private:
    void answer(const QNetworkProxy &proxy, QAuthenticator *authenticator);

    Asker ask;
    QString user;
    QString password;
    Request wanted;
    bool pending = false;
};

#endif
