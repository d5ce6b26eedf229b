#ifndef MYLABEL_H
#define MYLABEL_H

#include <QLabel>

// A label that acts on the press itself, so the close cross reacts at once.
class MyLabel : public QLabel
{
    Q_OBJECT

public:
    explicit MyLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
};

#endif
