#include "NotesArea.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QScrollBar>

NotesArea::NotesArea(QWidget *parent)
    : QScrollArea(parent)
{
}

NotesArea *NotesArea::around(QLabel *notes, QLayout *layout)
{
    auto *area = new NotesArea;
    area->setObjectName(QStringLiteral("notesArea"));
    area->setFrameShape(QFrame::NoFrame);
    // Reached with Tab, the notes show it as the cross does; the border is there unfocused
    // too, unseen, so that the text does not move.
    area->setStyleSheet(QStringLiteral("#notesArea{border: 1px solid transparent; background: transparent}#notesArea:focus{border: 1px solid #8FA8E8}"));
    delete layout->replaceWidget(notes, area);
    area->setWidget(notes);
    // Asked for its smallest size, a word-wrapped label lays its text out at width 0, one
    // word (one Chinese character) a line; the area is never narrower than this anyway.
    notes->setMinimumWidth(100);
    // The panel's gradient shows through, as it did behind the bare label.
    area->viewport()->setAutoFillBackground(false);
    notes->setAutoFillBackground(false);
    return area;
}

bool NotesArea::event(QEvent *event)
{
    // The notes ask for a new layout when their text changes.
    if (event->type() == QEvent::LayoutRequest)
        fitNotes();
    return QScrollArea::event(event);
}

void NotesArea::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) {
        QScrollBar *bar = verticalScrollBar();
        bar->setValue(event->key() == Qt::Key_Home ? bar->minimum() : bar->maximum());
        return;
    }
    QScrollArea::keyPressEvent(event);
}

void NotesArea::resizeEvent(QResizeEvent *event)
{
    fitNotes();
    QScrollArea::resizeEvent(event);
}

void NotesArea::fitNotes()
{
    auto *notes = qobject_cast<QLabel *>(widget());
    if (!notes)
        return;
    const QSize room = maximumViewportSize();
    if (room == fittedRoom && notes->text() == fittedText)
        return;
    fittedRoom = room;
    fittedText = notes->text();
    // At most two layouts: the whole width, then, when that is too tall, the width beside
    // a scroll bar. Short notes fill the area, as they would in a resizable one.
    int width = room.width();
    int height = notes->heightForWidth(width);
    if (height > room.height()) {
        width -= verticalScrollBar()->sizeHint().width();
        height = notes->heightForWidth(width);
    }
    // A word longer than a line (an address) cannot wrap: the notes grow as wide as it and
    // scroll sideways, instead of cutting it off.
    const int longestWord = notes->minimumSizeHint().width();
    int roomHeight = room.height();
    if (longestWord > width) {
        width = longestWord;
        height = notes->heightForWidth(width);
        roomHeight -= horizontalScrollBar()->sizeHint().height();
    }
    notes->resize(width, qMax(height, roomHeight));
}
