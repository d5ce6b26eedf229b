#include "MyLabel.h"

#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>

namespace {

// A button to assistive technology, with the press action a screen reader offers.
class AccessibleMyLabel : public QAccessibleWidget
{
public:
    explicit AccessibleMyLabel(MyLabel *label)
        : QAccessibleWidget(label, QAccessible::Button)
    {
    }

    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }

    void doAction(const QString &actionName) override
    {
        if (actionName == pressAction())
            emit static_cast<MyLabel *>(widget())->clicked();
        else
            QAccessibleWidget::doAction(actionName);
    }
};

QAccessibleInterface *accessibleMyLabel(const QString &className, QObject *object)
{
    if (className == QLatin1String("MyLabel") && object && object->isWidgetType())
        return new AccessibleMyLabel(static_cast<MyLabel *>(object));
    return nullptr;
}

} // namespace

MyLabel::MyLabel(QWidget *parent)
    : QLabel(parent)
{
    static const bool accessible = (QAccessible::installFactory(accessibleMyLabel), true);
    Q_UNUSED(accessible)
    setFocusPolicy(Qt::TabFocus);
}

void MyLabel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
    // QLabel ignores the press, so the window still sees it and can be dragged from here.
    QLabel::mousePressEvent(event);
}

void MyLabel::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit clicked();
        break;
    default:
        QLabel::keyPressEvent(event);
    }
}
