#ifndef SPANSET_H
#define SPANSET_H

#include <QtGlobal>

#include <map>
#include <vector>

// Bytes from begin up to end (exclusive).
struct Span
{
    qint64 begin = 0;
    qint64 end = 0;
    qint64 size() const { return end - begin; }
    bool operator==(const Span &other) const { return begin == other.begin && end == other.end; }
};

// Which bytes of a file are in, as spans; touching spans are one.
class SpanSet
{
public:
    void insert(const Span &span);
    // Takes `span` out: the bytes there are no longer in.
    void remove(const Span &span);
    void clear();

    // The parts of `within` that are not in, in order.
    std::vector<Span> gaps(const Span &within) const;
    // The spans in, in order.
    std::vector<Span> spans() const;
    bool contains(qint64 at) const;
    // The bytes in, and how far the file is in from its first byte on without a gap.
    qint64 size() const { return bytes; }
    qint64 prefix() const;

private:
    // The spans in, by their first byte.
    std::map<qint64, qint64> in;
    qint64 bytes = 0;
};

#endif
