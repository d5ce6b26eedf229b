#include "Sources.h"

#include "Logging.h"
#include "RedirectGuard.h"

namespace {

// A name that needs a lookup counts as public: its redirects are judged when they come.
RedirectGuard::Reach reachOf(const QUrl &url)
{
    return RedirectGuard::reachOfName(url.host()).value_or(RedirectGuard::Reach::Public);
}

} // namespace

Sources::Sources(const UpdateRecord &record, const QUrl &recordServer)
{
    const QUrl first(record.downloadUri, QUrl::TolerantMode);
    table.push_back({first, first, false, {}});
    for (const QString &mirror : record.mirrors) {
        const QUrl url(mirror, QUrl::StrictMode);
        const bool downgrade = first.scheme() == QLatin1String("https") && url.scheme() != QLatin1String("https");
        if (!UpdateRecord::isPackageUrl(url) || downgrade || !RedirectGuard::allowed(reachOf(recordServer), reachOf(url))) {
            qCWarning(lcDownload).noquote() << "mirror not used:" << forLog(url) << "is less safe than" << forLog(first)
                                            << "from" << forLog(recordServer);
            continue;
        }
        table.push_back({url, url, false, {}});
    }
}

QList<int> Sources::inUse(bool together) const
{
    QList<int> used{index};
    for (int next = index + 1; together && next < size(); ++next)
        if (!table[std::size_t(next)].dropped)
            used << next;
    return used;
}

void Sources::beginAttempt()
{
    for (Source &source : table) {
        source.at = source.url;
        source.brought = {};
    }
}

bool Sources::advance()
{
    const int next = nextLeft();
    if (next < 0)
        return false;
    index = next;
    return true;
}

int Sources::nextLeft() const
{
    const QList<int> left = inUse(true);
    return left.size() > 1 ? left[1] : -1;
}

void Sources::restart()
{
    index = 0;
    for (Source &source : table)
        source.dropped = false;
}

Sources::Blame Sources::blame(const QList<int> &used, const SpanSet &pieces, const SpanSet &in) const
{
    // Whether a source brought any byte of a piece.
    const auto served = [&pieces](const SpanSet &bytes) {
        for (const Span &piece : pieces.spans()) {
            const std::vector<Span> holes = bytes.gaps(piece);
            if (holes.size() != 1 || holes.front().begin != piece.begin || holes.front().end != piece.end)
                return true;
        }
        return false;
    };
    Blame blame;
    std::vector<SpanSet> brought;
    std::vector<bool> blamed;
    for (int source : used) {
        brought.push_back(table[std::size_t(source)].brought);
        blamed.push_back(served(brought.back()));
        if (blamed.back())
            blame.blamed.push_back(source);
    }
    blame.suspect = suspect(brought, blamed, in);
    return blame;
}

void Sources::forgetBrought(const std::vector<Span> &gone)
{
    for (Source &source : table)
        for (const Span &gap : gone)
            source.brought.remove(gap);
}

SpanSet Sources::suspect(const std::vector<SpanSet> &brought, const std::vector<bool> &blamed, const SpanSet &in)
{
    SpanSet suspect;
    SpanSet known;
    for (std::size_t source = 0; source < brought.size(); ++source) {
        for (const Span &span : brought[source].spans()) {
            known.insert(span);
            if (blamed[source])
                suspect.insert(span);
        }
    }
    for (const Span &span : in.spans())
        for (const Span &gap : known.gaps(span))
            suspect.insert(gap);
    return suspect;
}

bool Sources::turnedAway(const Failure &failure)
{
    switch (failure.cause) {
    case Failure::NetworkFailure:
    case Failure::HttpStatus:
    case Failure::UnsafeRedirect:
    case Failure::TooManyRedirects:
    case Failure::RangeMismatch:
        return true;
    default:
        return false;
    }
}
