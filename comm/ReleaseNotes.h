#ifndef RELEASENOTES_H
#define RELEASENOTES_H

#include <QString>

// Release notes come from whoever is on the network path. They keep their formatting
// (bold, colour, headings, lists, line breaks), but nothing in them may load a resource,
// nest without bound or grow without bound.
class ReleaseNotes
{
public:
    static constexpr int maxLength = 64 * 1024;
    static constexpr int maxDepth = 8;

    // Plain text stays plain; rich text keeps only the formatting elements and a colour,
    // inside one <div> so that labels still take it for rich text.
    static QString sanitize(const QString &notes);
};

#endif
