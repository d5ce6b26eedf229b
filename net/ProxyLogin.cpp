#include "ProxyLogin.h"

#include "Logging.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

ProxyLogin &ProxyLogin::instance()
{
    static ProxyLogin login;
    return login;
}

void ProxyLogin::watch(QNetworkAccessManager &manager)
{
    connect(&manager, &QNetworkAccessManager::proxyAuthenticationRequired, this, &ProxyLogin::answer,
            Qt::UniqueConnection);
}

void ProxyLogin::setAsker(Asker asker)
{
    ask = std::move(asker);
    user.clear();
    password.clear();
    pending = false;
}

void ProxyLogin::answer(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    const QString name = QStringLiteral("%1:%2").arg(fromServer(proxy.hostName())).arg(proxy.port());
    const QString realm = fromServer(authenticator->realm());
    // Qt asks again with the login it just sent when the proxy refused it; a new connection
    // asks with none.
    const bool sentBefore = !user.isEmpty() && authenticator->user() == user && authenticator->password() == password;
    if (!user.isEmpty() && !sentBefore) {
        authenticator->setUser(user);
        authenticator->setPassword(password);
        return;
    }
    if (sentBefore) {
        qCWarning(lcProxy).noquote() << QStringLiteral("the proxy %1 refused the login typed for it (realm \"%2\")").arg(name, realm);
        user.clear();
        password.clear();
    } else {
        qCInfo(lcProxy).noquote() << QStringLiteral("the proxy %1 asks for a login (realm \"%2\"); none was typed yet, "
                                                    "and Windows' own was not offered or not taken")
                                         .arg(name, realm);
    }
    // Left unanswered, the request fails; the login is asked for then, outside Qt's call.
    wanted = Request{name, sentBefore};
    pending = true;
}

ProxyLogin::Outcome ProxyLogin::askIfWanted()
{
    if (!pending)
        return NotWanted;
    pending = false;
    QString typedUser;
    QString typedPassword;
    if (!ask || !ask(wanted, &typedUser, &typedPassword) || typedUser.isEmpty()) {
        qCWarning(lcProxy).noquote() << "no login for the proxy" << wanted.proxy << "was typed";
        return Declined;
    }
    user = typedUser;
    password = typedPassword;
    qCInfo(lcProxy).noquote() << "a login for the proxy" << wanted.proxy << "was typed: asking again";
    return Given;
}
