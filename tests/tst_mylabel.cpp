#include "window/MyLabel.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(Qt::MouseButton)

class TestMyLabel : public QObject
{
    Q_OBJECT

private slots:
    void clicked_data();
    void clicked();
};

void TestMyLabel::clicked_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<int>("afterPress");
    QTest::addColumn<int>("afterRelease");

    QTest::newRow("left press") << Qt::LeftButton << false << 1 << 1;
    QTest::newRow("right press") << Qt::RightButton << false << 0 << 0;
    QTest::newRow("middle press") << Qt::MiddleButton << false << 0 << 0;
    // The double click reaches mousePressEvent through QWidget's default handler.
    QTest::newRow("left double click") << Qt::LeftButton << true << 2 << 2;
    QTest::newRow("right double click") << Qt::RightButton << true << 0 << 0;
}

void TestMyLabel::clicked()
{
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, doubleClick);
    QFETCH(int, afterPress);
    QFETCH(int, afterRelease);

    QWidget parent;
    MyLabel label(&parent);
    label.resize(30, 30);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QSignalSpy spy(&label, &MyLabel::clicked);
    const QPoint centre(15, 15);

    if (doubleClick) {
        QTest::mousePress(&label, button, {}, centre);
        QTest::mouseRelease(&label, button, {}, centre);
        QMouseEvent event(QEvent::MouseButtonDblClick, centre, label.mapToGlobal(centre), button, button, {});
        QApplication::sendEvent(&label, &event);
    } else {
        QTest::mousePress(&label, button, {}, centre);
    }
    // Emitted on the press itself, before any release.
    QCOMPARE(spy.count(), afterPress);
    QTest::mouseRelease(&label, button, {}, centre);
    QCOMPARE(spy.count(), afterRelease);
}

QTEST_MAIN(TestMyLabel)
#include "tst_mylabel.moc"
