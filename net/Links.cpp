#include "Links.h"

#include "SafeGet.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {

// A lone connection may read ahead further: it carries the whole package (measured: a
// gigabyte in few hand-backs from Qt's network thread). Split ones are held back by the
// server anyway, and each buffer is allocated in its connection's own thread and heap
// (measured, a fresh process's first split download: 20 MiB growth with 512 KiB, 8 MiB
// with 128 KiB, at the same speed).
constexpr qint64 loneReadBuffer = 2 * 1024 * 1024;
constexpr qint64 sharedReadBuffer = 128 * 1024;

// Where a connection goes: scheme, host and port.
QString originOf(const QUrl &url)
{
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

} // namespace

Links::Links(QNetworkAccessManager &first, QObject *owner, std::function<bool(int)> retired)
    : first(first)
    , owner(owner)
    , retired(std::move(retired))
{
}

Links::~Links()
{
    releaseAll();
}

bool Links::linked(const QNetworkAccessManager *manager) const
{
    return std::any_of(links.begin(), links.end(), [manager](const Link &link) { return link.manager == manager; });
}

bool Links::inUse(const QNetworkAccessManager *manager) const
{
    for (int other = 0; other < int(links.size()); ++other)
        if (!retired(other) && links[std::size_t(other)].manager == manager)
            return true;
    return false;
}

void Links::add(int id, const QUrl &source)
{
    Link link;
    link.manager = &first;
    for (const auto &manager : managers)
        if (inUse(link.manager))
            link.manager = manager.get();
    const QSet<QString> origin{originOf(source)};
    for (const auto &manager : managers)
        if (!inUse(manager.get()) && origins[manager.get()] == origin)
            link.manager = manager.get();
    if (inUse(link.manager)) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        link.manager = managers.back().get();
    }
    Q_ASSERT(id == int(links.size()));
    links.push_back(link);
}

void Links::warm(const QUrl &source, int count)
{
    const QString at = originOf(source);
    if (sendsAway.contains(at))
        return;
    const QSet<QString> origin{at};
    for (const auto &manager : managers)
        if (!inUse(manager.get()) && origins[manager.get()] == origin)
            --count;
    for (; count > 0; --count) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        QNetworkAccessManager &manager = *managers.back();
        origins[&manager] = origin;
        const bool tls = source.scheme() == QLatin1String("https");
        const quint16 port = quint16(source.port(tls ? 443 : 80));
        if (tls)
            manager.connectToHostEncrypted(source.host(), port);
        else
            manager.connectToHost(source.host(), port);
    }
}

bool Links::reaches(int id, const QUrl &source) const
{
    const QNetworkAccessManager *const manager = links[std::size_t(id)].manager;
    const auto reached = origins.find(manager);
    return manager == &first || reached == origins.end() || reached->second.isEmpty()
        || reached->second == QSet<QString>{originOf(source)};
}

void Links::renew(int id)
{
    QNetworkAccessManager *const old = links[std::size_t(id)].manager;
    origins.erase(old);
    for (auto &owned : managers) {
        if (owned.get() != old)
            continue;
        owned = std::make_unique<QNetworkAccessManager>();
        for (Link &other : links)
            if (other.manager == old)
                other.manager = owned.get();
    }
}

QNetworkReply *Links::open(int id, const QNetworkRequest &request, const QUrl &url, bool shared)
{
    Link &link = links[std::size_t(id)];
    origins[link.manager].insert(originOf(url));
    link.reply = SafeGet::send(*link.manager, request);
    link.shared = !shared;
    share(id, shared);
    link.at = originOf(url);
    QObject::connect(link.reply, &QNetworkReply::redirected, owner, [this, id](const QUrl &target) {
        Link &redirected = links[std::size_t(id)];
        const QString from = redirected.at;
        redirected.at = originOf(redirected.reply->url().resolved(target));
        origins[redirected.manager].insert(redirected.at);
        // The connections that follow go where it was sent: those connected ahead are of no use.
        sendsAway.insert(from);
        managers.erase(std::remove_if(managers.begin(), managers.end(), [this, &from](const auto &manager) {
                           if (origins[manager.get()] != QSet<QString>{from} || linked(manager.get()))
                               return false;
                           origins.erase(manager.get());
                           return true;
                       }),
                       managers.end());
    });
    return link.reply;
}

void Links::share(int id, bool shared)
{
    Link &link = links[std::size_t(id)];
    if (link.reply && link.shared != shared)
        link.reply->setReadBufferSize(shared ? sharedReadBuffer : loneReadBuffer);
    link.shared = shared;
}

void Links::release(int id)
{
    Link &link = links[std::size_t(id)];
    if (!link.reply)
        return;
    QNetworkReply *const reply = link.reply;
    link.reply = nullptr;
    reply->disconnect(owner);
    // Qt sets the error of an error status itself as the reply ends: aborting it as well
    // would set a second one. Deleted, it stops all the same.
    if (!reply->isFinished() && reply->error() == QNetworkReply::NoError
        && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400)
        reply->abort();
    reply->deleteLater();
}

void Links::releaseAll()
{
    for (int id = 0; id < int(links.size()); ++id)
        release(id);
}

int Links::lingering() const
{
    int lingering = 0;
    for (const auto &[manager, reached] : origins)
        lingering += qMax(0, reached.size() - 1);
    return lingering;
}
