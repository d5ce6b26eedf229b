#include "SpanSet.h"

#include <iterator>

void SpanSet::insert(const Span &span)
{
    if (span.size() <= 0)
        return;
    qint64 begin = span.begin;
    qint64 end = span.end;
    auto next = in.lower_bound(begin);
    if (next != in.begin() && std::prev(next)->second >= begin)
        --next;
    // Every span it touches becomes part of it.
    while (next != in.end() && next->first <= end) {
        begin = qMin(begin, next->first);
        end = qMax(end, next->second);
        bytes -= next->second - next->first;
        next = in.erase(next);
    }
    in[begin] = end;
    bytes += end - begin;
}

void SpanSet::remove(const Span &span)
{
    if (span.size() <= 0)
        return;
    auto next = in.lower_bound(span.begin);
    if (next != in.begin() && std::prev(next)->second > span.begin)
        --next;
    while (next != in.end() && next->first < span.end) {
        const qint64 begin = next->first;
        const qint64 end = next->second;
        bytes -= end - begin;
        next = in.erase(next);
        // What lies outside `span` stays in.
        if (begin < span.begin) {
            in[begin] = span.begin;
            bytes += span.begin - begin;
        }
        if (end > span.end) {
            in[span.end] = end;
            bytes += end - span.end;
        }
    }
}

void SpanSet::clear()
{
    in.clear();
    bytes = 0;
}

std::vector<Span> SpanSet::gaps(const Span &within) const
{
    std::vector<Span> spans;
    qint64 at = within.begin;
    auto next = in.upper_bound(at);
    if (next != in.begin() && std::prev(next)->second > at)
        at = std::prev(next)->second;
    for (; at < within.end && next != in.end() && next->first < within.end; ++next) {
        if (next->first > at)
            spans.push_back({at, next->first});
        at = qMax(at, next->second);
    }
    if (at < within.end)
        spans.push_back({at, within.end});
    return spans;
}

std::vector<Span> SpanSet::spans() const
{
    std::vector<Span> spans;
    for (const auto &[begin, end] : in)
        spans.push_back({begin, end});
    return spans;
}

bool SpanSet::contains(qint64 at) const
{
    const auto next = in.upper_bound(at);
    return next != in.begin() && std::prev(next)->second > at;
}

qint64 SpanSet::prefix() const
{
    return !in.empty() && in.begin()->first == 0 ? in.begin()->second : 0;
}
