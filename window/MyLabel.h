#ifndef MYLABEL_H
#define MYLABEL_H

#include <QLabel>

// A label that acts on the press itself, so the close cross reacts at once. It can be
// reached with Tab and pressed with Space or Enter, and screen readers know it as a button.
class MyLabel : public QLabel
{
    Q_OBJECT

public:
    explicit MyLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

#endif
