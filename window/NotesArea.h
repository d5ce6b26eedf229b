#ifndef NOTESAREA_H
#define NOTESAREA_H

#include <QScrollArea>

class QLabel;
class QLayout;

// Scrolls the release notes (a word-wrapped label) when they do not fit. It fits them to its
// width itself, once for each width and text:
// a resizable QScrollArea lays word-wrapped text out again for every pixel it takes off
// for a scroll bar, which for the longest notes costs seconds.
class NotesArea : public QScrollArea
{
    Q_OBJECT

public:
    explicit NotesArea(QWidget *parent = nullptr);
    // A new area that takes the form's `notes` label and stands where it stood in `layout`.
    static NotesArea *around(QLabel *notes, QLayout *layout);

protected:
    bool event(QEvent *event) override;
    // Home and End, with or without Ctrl, go to the notes' first and last lines.
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void fitNotes();

    // The notes' layout for this room and text stands: each costs the longest notes dearly.
    QSize fittedRoom;
    QString fittedText;
};

#endif
