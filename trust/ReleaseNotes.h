#ifndef RELEASENOTES_H
#define RELEASENOTES_H

#include <QString>

// Release notes come from whoever is on the network path. They keep their formatting
// (bold, colour, headings, lists, line breaks), but nothing in them may load a resource,
// nest without bound, grow without bound or take long to lay out.
class ReleaseNotes
{
public:
    // The notes as sent, markup included, are cut here first.
    static constexpr int maxLength = 64 * 1024;
    static constexpr int maxDepth = 8;
    // The text shown, markup aside, is cut here: a label lays its text out several times
    // over, and longer text keeps the window from appearing for a good part of a second.
    static constexpr int maxTextLength = 16 * 1024;
    // A base character and the marks after it are shaped as one cluster, in time that grows
    // with the square of the cluster's length: as in Unicode's stream-safe text format, at
    // most 30 marks follow one base; the rest are dropped.
    static constexpr int maxMarksInARow = 30;
    // A mark costs the text engine several times what a letter does: marks count this many
    // times toward maxTextLength.
    static constexpr int markWeight = 3;
    // Each line is laid out on its own; notes are cut after this many.
    static constexpr int maxLines = 1000;

    // Plain text stays plain; rich text keeps only the formatting elements and a colour,
    // inside one <div> so that labels still take it for rich text.
    static QString sanitize(const QString &notes);
};

#endif
