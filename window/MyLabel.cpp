#include "MyLabel.h"

#include <QMouseEvent>

MyLabel::MyLabel(QWidget *parent)
    : QLabel(parent)
{
}

void MyLabel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
    // QLabel ignores the press, so the window still sees it and can be dragged from here.
    QLabel::mousePressEvent(event);
}
