#include "testserver.h"
#include "testwindow.h"
#include "window/FailureText.h"

#include <QAccessible>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>
#include <QScreen>
#include <QTest>
#include <QTimer>

// The window against a closed port: its version check fails at once.
static QString unreachable()
{
    return QStringLiteral("http://127.0.0.1:%1/version/down_update.php").arg(TestServer::closedPort());
}

Q_DECLARE_METATYPE(Qt::MouseButton)
Q_DECLARE_METATYPE(QAccessible::Role)

class TestWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void tree_data();
    void tree();
    void textsAndLook();
    void cursors_data();
    void cursors();
    void noWarnings();
    void failureTexts_data();
    void failureTexts();
    void geometry_data();
    void geometry();
    void hostileNotesKeepTheWindow_data();
    void hostileNotesKeepTheWindow();
    void dragging_data();
    void dragging();
    void closeEndsEventLoop();
    void keyboard_data();
    void keyboard();
    void accessibleTree_data();
    void accessibleTree();
};

void TestWindowForm::tree_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<int>("childIndex");

    // Child order within each parent is the order in which the form creates them.
    const struct { const char *name, *cls, *parent; int index; } rows[] = {
        {"gridLayout", "QGridLayout", "UpdateQuorilexVideoClass", 0},
        {"widget", "QWidget", "UpdateQuorilexVideoClass", 1},
        {"gridLayout_2", "QGridLayout", "widget", 0},
        {"verticalLayout", "QVBoxLayout", "gridLayout_2", 0},
        {"widget_2", "QWidget", "widget", 1},
        {"gridLayout_3", "QGridLayout", "widget_2", 0},
        {"horizontalLayout", "QHBoxLayout", "gridLayout_3", 0},
        {"close", "MyLabel", "widget_2", 1},
        {"widget_3", "QWidget", "widget", 2},
        {"gridLayout_4", "QGridLayout", "widget_3", 0},
        {"horizontalLayout_3", "QHBoxLayout", "gridLayout_4", 0},
        {"verticalLayout_2", "QVBoxLayout", "horizontalLayout_3", 0},
        {"widget_4", "QWidget", "widget_3", 1},
        {"gridLayout_5", "QGridLayout", "widget_4", 0},
        {"horizontalLayout_2", "QHBoxLayout", "gridLayout_5", 0},
        {"label", "QLabel", "widget_4", 1},
        {"widget_6", "QWidget", "widget_3", 2},
        {"gridLayout_7", "QGridLayout", "widget_6", 0},
        {"gridLayout_6", "QGridLayout", "gridLayout_7", 0},
        // Only label_2 moved: into a scroll area where it stood.
        {"notesArea", "NotesArea", "widget_6", 1},
        {"label_2", "QLabel", "qt_scrollarea_viewport", 0},
        {"widget_7", "QWidget", "widget_3", 3},
        {"gridLayout_8", "QGridLayout", "widget_7", 0},
        {"verticalLayout_3", "QVBoxLayout", "gridLayout_8", 0},
        {"widget_8", "QWidget", "widget_7", 1},
        {"gridLayout_9", "QGridLayout", "widget_8", 0},
        {"horizontalLayout_4", "QHBoxLayout", "gridLayout_9", 0},
        {"updateButton", "QPushButton", "widget_8", 1},
        {"widget_9", "QWidget", "widget_7", 2},
        {"gridLayout_10", "QGridLayout", "widget_9", 0},
        {"progressBar", "QProgressBar", "widget_9", 1},
        {"widget_5", "QWidget", "widget_3", 4},
        {"gridLayout_11", "QGridLayout", "widget_5", 0},
        {"label_3", "QLabel", "widget_5", 1},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << row.cls << row.parent << row.index;
}

void TestWindowForm::tree()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(int, childIndex);

    TestWindow window(unreachable());
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QObject *> found = window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QObject *object = found.first();
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);

    // Among the parent's named children (a style may add unnamed helpers).
    QStringList siblings;
    for (QObject *child : object->parent()->children())
        if (!child->objectName().isEmpty() && (child->isWidgetType() || qobject_cast<QLayout *>(child)))
            siblings << child->objectName();
    QCOMPARE(siblings.indexOf(name), childIndex);
}

void TestWindowForm::textsAndLook()
{
    TestWindow window(unreachable());
    QCOMPARE(window.objectName(), QStringLiteral("UpdateQuorilexVideoClass"));
    QCOMPARE(window.windowTitle(), QStringLiteral("UpdateQuorilexVideo"));
    QCOMPARE(int(window.windowFlags() & ~Qt::WindowType_Mask), 0x02000800);
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.button()->text(), QStringLiteral("一键更新"));
    QVERIFY(window.notes()->text().isEmpty());

    // Decorated and hidden before the window is ever shown.
    auto *close = window.findChild<QLabel *>(QStringLiteral("close"));
    QCOMPARE(close->pixmap(Qt::ReturnByValue).size(), QSize(20, 20));
    QCOMPARE(close->styleSheet(), QStringLiteral("QLabel:hover{background-color: #DEDBFA}"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("label_3"))->pixmap(Qt::ReturnByValue).size(), QSize(300, 300));
    QVERIFY(window.button()->isHidden());
    QVERIFY(window.progress()->isHidden());
    QCOMPARE(window.progress()->value(), 0);
    QCOMPARE(window.progress()->maximum(), 100);
}

void TestWindowForm::cursors_data()
{
    QTest::addColumn<Qt::CursorShape>("shape");
    QTest::newRow("widget") << Qt::OpenHandCursor;
    QTest::newRow("label") << Qt::ArrowCursor;
    QTest::newRow("label_2") << Qt::OpenHandCursor;
    QTest::newRow("updateButton") << Qt::PointingHandCursor;
    QTest::newRow("close") << Qt::PointingHandCursor;
    QTest::newRow("label_3") << Qt::PointingHandCursor;
}

void TestWindowForm::cursors()
{
    QFETCH(Qt::CursorShape, shape);
    TestWindow window(unreachable());
    auto *widget = window.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QCOMPARE(widget->cursor().shape(), shape);
}

static QStringList warnings;

void TestWindowForm::noWarnings()
{
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        // The updater's own log says why the check failed; Qt's warnings are what counts.
        if (type != QtDebugMsg && type != QtInfoMsg && !QByteArray(context.category).startsWith("updater."))
            warnings << text;
    });
    {
        TestWindow window(unreachable());
    }
    qInstallMessageHandler(previous);
    // connectSlotsByName and the two connections made by signature complain here when a slot is misnamed.
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

void TestWindowForm::geometry_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("700x400") << QSize(700, 400);
    QTest::newRow("1400x800") << QSize(1400, 800);
}

// Widgets share a box layout's space by their stretch factors; one whose share would fall
// below its minimum keeps the minimum and the others share what is left.
static void checkShares(const QList<QWidget *> &widgets, const QList<int> &stretches, int space, Qt::Orientation o)
{
    auto extent = [o](QSize s) { return o == Qt::Vertical ? s.height() : s.width(); };
    QVector<bool> pinned(widgets.size(), false);
    QVector<double> expected(widgets.size());
    for (bool settled = false; !settled;) {
        settled = true;
        double free = space;
        int freeStretch = 0;
        for (int i = 0; i < widgets.size(); ++i) {
            if (pinned[i])
                free -= extent(widgets[i]->minimumSizeHint());
            else
                freeStretch += stretches[i];
        }
        for (int i = 0; i < widgets.size(); ++i) {
            const int minimum = extent(widgets[i]->minimumSizeHint());
            expected[i] = pinned[i] ? minimum : free * stretches[i] / freeStretch;
            if (!pinned[i] && expected[i] < minimum)
                pinned[i] = true, settled = false;
        }
    }
    for (int i = 0; i < widgets.size(); ++i) {
        const int actual = extent(widgets[i]->size());
        QVERIFY2(qAbs(actual - expected[i]) <= 1.0,
                 qPrintable(QStringLiteral("%1: %2 instead of %3").arg(widgets[i]->objectName()).arg(actual).arg(expected[i])));
    }
}

void TestWindowForm::geometry()
{
    QFETCH(QSize, size);
    TestWindow window(unreachable());
    window.button()->show();
    window.progress()->show();
    window.resize(size);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // The illustration and its margins set a floor under the height.
    QCOMPARE(window.size(), size.expandedTo(window.minimumSizeHint()));
    auto w = [&window](const char *name) { return window.findChild<QWidget *>(QString::fromLatin1(name)); };

    QCOMPARE(w("close")->size(), QSize(30, 30));
    QCOMPARE(w("close")->geometry().right(), w("widget_2")->width() - 1);
    QCOMPARE(w("updateButton")->size(), QSize(100, 30));
    QCOMPARE(w("widget_8")->width() - 1 - w("updateButton")->geometry().right(), 35);
    QVERIFY(w("progressBar")->height() <= 15);

    const int body = w("widget")->height() - 22 - 6;
    checkShares({w("widget_2"), w("widget_3")}, {1, 9}, body, Qt::Vertical);
    const int columns = w("widget_3")->width() - 22 - 6;
    checkShares({w("widget_4"), w("widget_6"), w("widget_7")}, {2, 3, 2}, w("widget_3")->height() - 22 - 12,
                Qt::Vertical);
    QCOMPARE(w("widget_5")->width() + w("widget_4")->width(), columns);
    checkShares({w("widget_4"), w("widget_5")}, {7, 3}, columns, Qt::Horizontal);
}

void TestWindowForm::hostileNotesKeepTheWindow_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<bool>("scrolls");
    // Whether the notes scroll sideways: a word longer than a line cannot wrap.
    QTest::addColumn<bool>("sideways");

    QString lines;
    for (int i = 1; i <= 60; ++i)
        lines += QStringLiteral("%1. 修复若干问题\n").arg(i);
    QTest::newRow("short notes") << QStringLiteral("1. 修复若干问题") << false << false;
    QTest::newRow("60 lines") << lines << true << false;
    QTest::newRow("unbroken 300-character URL") << "http://example.com/" + QString(281, QLatin1Char('a')) << false << true;
    QTest::newRow("huge image") << QStringLiteral("<img width=100000 height=100000><b>x</b>") << false << false;
    QTest::newRow("big heading") << "<h1>" + QString(2000, QChar(0x65B0)) + "</h1>" << true << false;
}

void TestWindowForm::hostileNotesKeepTheWindow()
{
    QFETCH(QString, notes);
    QFETCH(bool, scrolls);
    QFETCH(bool, sideways);
    TestServer server;
    QVERIFY(server.isRunning());
    const QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", notes},
                             {"DownloadUri", "http://127.0.0.1:1/p.msi"}};
    TestWindow window(server.echo(QJsonDocument(record).toJson(QJsonDocument::Compact)));
    QVERIFY(window.button()->isVisibleTo(&window));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // The form's own size, whatever the notes; the button and the cross inside it.
    QCOMPARE(window.size(), QSize(700, 400).expandedTo(window.minimumSizeHint()));
    QVERIFY(window.size().height() <= 402);
    for (const char *name : {"updateButton", "close"}) {
        QWidget *widget = window.findChild<QWidget *>(QString::fromLatin1(name));
        QVERIFY2(window.rect().contains(QRect(widget->mapTo(&window, QPoint(0, 0)), widget->size())), name);
    }
    auto *area = window.findChild<QScrollArea *>(QStringLiteral("notesArea"));
    QCOMPARE(area->verticalScrollBar()->maximum() > 0, scrolls);
    // Notes that scroll take their share down to the button's; short ones keep their place.
    QCOMPARE(area->geometry().bottom() == window.findChild<QLayout *>(QStringLiteral("gridLayout_6"))->contentsRect().bottom(),
             scrolls);
    QCOMPARE(area->horizontalScrollBar()->maximum() > 0, sideways);
    // Ctrl+End reaches the last line, Home the first.
    QTest::keyClick(area, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(area->verticalScrollBar()->value(), area->verticalScrollBar()->maximum());
    QTest::keyClick(area, Qt::Key_Home);
    QCOMPARE(area->verticalScrollBar()->value(), 0);

    // A download's progress bar takes the room it is given, whatever width the style asks
    // for (Windows' asks for 367 px, which widened the window for good).
    window.progress()->setFormat(QStringLiteral("100%  1023.9 MB/s"));
    window.progress()->show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCOMPARE(window.width(), 700);
}

void TestWindowForm::dragging_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("moves");
    // A drag far past the screen's top left corner, which the window stops at.
    QTest::addColumn<bool>("pastTheEdge");

    QTest::newRow("left drag on the panel") << "widget" << Qt::LeftButton << true << false;
    QTest::newRow("left drag on a label") << "label_3" << Qt::LeftButton << true << false;
    QTest::newRow("right press") << "widget" << Qt::RightButton << false << false;
    QTest::newRow("middle press") << "widget" << Qt::MiddleButton << false << false;
    QTest::newRow("press on the update button") << "updateButton" << Qt::LeftButton << false << false;
    QTest::newRow("drag past the screen's edge") << "widget" << Qt::LeftButton << true << true;
}

static void send(QWidget *target, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button,
                 Qt::MouseButtons held)
{
    QMouseEvent event(type, local, global, button, held, {});
    QApplication::sendEvent(target, &event);
}

void TestWindowForm::dragging()
{
    QFETCH(QString, target);
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, moves);
    QFETCH(bool, pastTheEdge);

    TestWindow window(unreachable());
    window.button()->show();
    // Room for the small drags on the smallest screen (the offscreen platform's 800 x 600).
    window.move(20, 20);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();

    QWidget *widget = window.findChild<QWidget *>(target);
    const QPoint local(10, 10);
    QPoint global = widget->mapToGlobal(local);
    send(widget, QEvent::MouseButtonPress, local, global, button, button);
    // Moves go to the widget under the pointer at the press; their local positions stay put
    // because the window follows the pointer.
    const QList<QPoint> steps = pastTheEdge ? QList<QPoint>{{-3000, -2000}} : QList<QPoint>{{5, 3}, {20, -7}, {-4, 30}};
    QPoint total;
    for (const QPoint &step : steps) {
        global += step;
        total += step;
        send(widget, QEvent::MouseMove, local, global, Qt::NoButton, button);
    }
    send(widget, QEvent::MouseButtonRelease, local, global, button, Qt::NoButton);
    QCOMPARE(window.pos(), pastTheEdge ? window.screen()->availableGeometry().topLeft() : moves ? start + total : start);

    // After the release further moves leave the window where it is.
    const QPoint settled = window.pos();
    send(widget, QEvent::MouseMove, local, global + QPoint(50, 50), Qt::NoButton, Qt::NoButton);
    QCOMPARE(window.pos(), settled);
}

void TestWindowForm::closeEndsEventLoop()
{
    TestWindow window(unreachable());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *close = window.findChild<QWidget *>(QStringLiteral("close"));

    QTimer::singleShot(0, close, [close] { QTest::mousePress(close, Qt::LeftButton, {}, QPoint(15, 15)); });
    QTimer::singleShot(5000, close, [] { QCoreApplication::exit(42); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

// A window offering a package that cannot be fetched: a download fails at once.
static QString offerUnreachablePackage(const TestServer &server)
{
    const QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "说明"},
                             {"DownloadUri", QStringLiteral("http://127.0.0.1:%1/p.msi").arg(TestServer::closedPort())}};
    return server.echo(QJsonDocument(record).toJson(QJsonDocument::Compact));
}

void TestWindowForm::keyboard_data()
{
    QTest::addColumn<bool>("offer");
    QTest::addColumn<QList<int>>("keys");
    // Whether the keys quit the program; otherwise they start the download.
    QTest::addColumn<bool>("quits");

    QTest::newRow("Escape, nothing offered") << false << QList<int>{Qt::Key_Escape} << true;
    QTest::newRow("Escape on an offer") << true << QList<int>{Qt::Key_Escape} << true;
    QTest::newRow("Enter on an offer") << true << QList<int>{Qt::Key_Return} << false;
    QTest::newRow("keypad Enter on an offer") << true << QList<int>{Qt::Key_Enter} << false;
    QTest::newRow("Space on an offer") << true << QList<int>{Qt::Key_Space} << false;
    QTest::newRow("Tab to the cross, Space") << true << QList<int>{Qt::Key_Tab, Qt::Key_Space} << true;
    QTest::newRow("Tab to the cross, Enter") << true << QList<int>{Qt::Key_Tab, Qt::Key_Return} << true;
    // Button, cross, notes, button.
    QTest::newRow("Tab round to the button, Enter")
        << true << QList<int>{Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return} << false;
}

// Keys go where the keyboard's focus is, as they do on a desktop.
void TestWindowForm::keyboard()
{
    QFETCH(bool, offer);
    QFETCH(QList<int>, keys);
    QFETCH(bool, quits);

    TestServer server;
    QVERIFY(server.isRunning());
    TestWindow window(offer ? offerUnreachablePackage(server) : unreachable());
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    if (offer)
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(window.button()));

    QWidget *close = window.findChild<QWidget *>(QStringLiteral("close"));
    QWidget *focusAfterKeys = nullptr;
    QWidget *focusAfterReturn = nullptr;
    bool startedDownload = false;
    QTimer::singleShot(0, &window, [&] {
        for (int key : keys)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window, Qt::Key(key));
        focusAfterKeys = QApplication::focusWidget();
        startedDownload = !window.button()->isEnabled();
        if (!quits) {
            // Away and back while it downloads: a window without a focus widget gives the
            // focus to its first one that takes it, the cross. Enter must not quit.
            QApplication::setActiveWindow(nullptr);
            QApplication::setActiveWindow(&window);
            focusAfterReturn = QApplication::focusWidget();
            QTest::keyClick(focusAfterReturn ? focusAfterReturn : &window, Qt::Key_Return);
            QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
        }
    });
    QTimer::singleShot(5000, &window, [] { QCoreApplication::exit(42); });
    QCOMPARE(QCoreApplication::exec(), quits ? 0 : 1);
    if (quits)
        return;

    // The download started; the focus did not move on to the cross, where a second Enter
    // would quit mid-download.
    QVERIFY(startedDownload);
    QVERIFY(focusAfterKeys != close);
    QVERIFY(focusAfterReturn != close);
    // After the failure the button has the focus again, for another try. The window's own
    // focus: under Wine on a loaded machine the window may have lost activation meanwhile.
    QTRY_COMPARE(window.headline()->text(), QStringLiteral("下载失败，请重试"));
    QCOMPARE(window.focusWidget(), static_cast<QWidget *>(window.button()));
}

void TestWindowForm::accessibleTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QAccessible::Role>("role");

    QTest::newRow("UpdateQuorilexVideoClass") << "Quorilex 视频更新" << QAccessible::Client;
    QTest::newRow("close") << "关闭" << QAccessible::Button;
    QTest::newRow("label_3") << "更新插图" << QAccessible::Graphic;
    QTest::newRow("notesArea") << "更新说明" << QAccessible::Client;
    QTest::newRow("updateButton") << "一键更新" << QAccessible::Button;
    QTest::newRow("progressBar") << "下载进度" << QAccessible::ProgressBar;
}

static QAccessibleInterface *findAccessible(QAccessibleInterface *node, const QObject *object)
{
    if (node->object() == object)
        return node;
    for (int i = 0; i < node->childCount(); ++i) {
        if (QAccessibleInterface *found = findAccessible(node->child(i), object))
            return found;
    }
    return nullptr;
}

// What the platform's bridge hands to a screen reader: the window's accessible tree.
void TestWindowForm::accessibleTree()
{
    QFETCH(QString, name);
    QFETCH(QAccessible::Role, role);

    TestServer server;
    QVERIFY(server.isRunning());
    TestWindow window(offerUnreachablePackage(server));
    window.show();
    window.progress()->show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QObject *object = window.objectName() == QLatin1String(QTest::currentDataTag())
        ? &window
        : window.findChild<QObject *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(object);
    QAccessibleInterface *node = findAccessible(QAccessible::queryAccessibleInterface(&window), object);
    QVERIFY2(node, "not in the window's accessible tree");
    QCOMPARE(node->text(QAccessible::Name), name);
    QCOMPARE(node->role(), role);
    if (role != QAccessible::Button)
        return;

    // A screen reader presses it as a button.
    QAccessibleActionInterface *actions = node->actionInterface();
    QVERIFY(actions);
    QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    if (object == window.button()) {
        // The press starts the download, which fails at once here.
        actions->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(window.headline()->text(), QStringLiteral("下载失败，请重试"));
        return;
    }
    QTimer::singleShot(0, &window, [actions] { actions->doAction(QAccessibleActionInterface::pressAction()); });
    QTimer::singleShot(5000, &window, [] { QCoreApplication::exit(42); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestWindowForm::failureTexts_data()
{
    QTest::addColumn<int>("cause");
    // The answer's status, and the record's member (the package in the way, the proxy),
    // where the cause has one.
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QString>("text");

    QTest::newRow("check failed") << int(Failure::CheckFailed) << 0 << "" << "检查更新失败" << "";
    QTest::newRow("record unverified") << int(Failure::RecordUnverified) << 0 << "" << "检查更新失败" << "无法验证更新信息";
    QTest::newRow("HTTP status") << int(Failure::HttpStatus) << 503 << "" << "下载失败，请重试" << "服务器返回 HTTP 503";
    QTest::newRow("malformed member") << int(Failure::MalformedMember) << 0 << "Sha256" << "下载失败，请重试"
                                      << "更新信息中的校验数据无效（Sha256）";
    QTest::newRow("network failure") << int(Failure::NetworkFailure) << 0 << "" << "下载失败，请重试" << "网络连接失败";
    QTest::newRow("old package in the way") << int(Failure::CannotDeleteOldPackage) << 0 << "D:/QuorilexVideo_32.msi"
                                            << "下载失败，请重试" << "无法删除旧的安装包（" + QDir::toNativeSeparators("D:/QuorilexVideo_32.msi") + "）";
    QTest::newRow("proxy login declined") << int(Failure::CheckFailed) << 0 << "proxy:3128" << "检查更新失败"
                                          << "代理服务器需要登录（proxy:3128）";
}

void TestWindowForm::failureTexts()
{
    QFETCH(int, cause);
    QFETCH(int, status);
    QFETCH(QString, member);
    QFETCH(QString, headline);
    QFETCH(QString, text);

    // The technical reason goes to the log, never to the window.
    Failure failure(Failure::Cause(cause), QStringLiteral("Connection refused by 127.0.0.1"));
    failure.status = status;
    // What the failure names, where its cause keeps it.
    (failure.cause == Failure::CannotDeleteOldPackage ? failure.folder
     : failure.cause == Failure::CheckFailed          ? failure.proxy
                                                      : failure.member) = member;
    QCOMPARE(FailureText::headline(failure), headline);
    QCOMPARE(FailureText::of(failure), text);
}

QTEST_MAIN(TestWindowForm)
#include "tst_window.moc"
