// How long the real window takes to show the hardest release notes a record can carry:
// from the window's construction (version check included) to its first full paint, and
// for a press of the button, which sets the notes again, to the next paint. Each case runs
// three times; the slowest run counts. The goal is half a second for any notes. An argument
// runs only the cases whose names contain it.
#include "testserver.h"
#include "testwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QTextStream out(stdout);

QString repeated(const QString &unit, int times)
{
    QString all;
    for (int i = 0; i < times; ++i)
        all += unit;
    return all;
}

// The longest notes of this unit that fit the length limit.
QString filled(const QString &unit)
{
    return repeated(unit, 64 * 1024 / unit.size());
}

struct Timing
{
    qint64 shown = 0;
    qint64 pressed = 0;
};

Timing measure(const QString &notes, const QString &folder)
{
    const QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", notes},
                             {"DownloadUri", QStringLiteral("http://127.0.0.1:%1/p.msi").arg(TestServer::closedPort())}};
    const QString body = folder + QStringLiteral("/record.json");
    QFile file(body);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(record).toJson()) < 0)
        qFatal("cannot write %s", qPrintable(body));
    file.close();
    TestServer server({QStringLiteral("--body"), body});
    if (!server.isRunning())
        qFatal("the demo server did not start");

    Timing timing;
    QElapsedTimer clock;
    clock.start();
    TestWindow window(server.url(QStringLiteral("/version/down_update.php")));
    window.show();
    window.grab();
    timing.shown = clock.elapsed();
    if (!window.button()->isVisibleTo(&window))
        qFatal("no offer");
    clock.restart();
    window.SendDownUpdate();
    window.grab();
    timing.pressed = clock.elapsed();
    return timing;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // In the working folder, which the demo server can read under Wine too.
    QTemporaryDir folder(QDir::current().filePath(QStringLiteral("bench_notes-XXXXXX")));
    const QString acute(QChar(0x301));
    const struct {
        const char *name;
        QString notes;
    } cases[] = {
        {"ordinary notes", QStringLiteral("1. 全新播放内核\n2. 修复字幕不同步\n3. 视频转码速度提升约 30%")},
        {"65,000 U+0301 on one letter", "a" + repeated(acute, 65000)},
        {"65,000 U+0301 on one letter, rich", "<b>a" + repeated(acute, 65000) + "</b>"},
        {"U+0301 as references, rich", "<b>a" + filled(QStringLiteral("&#769;"))},
        {"Thai AM after AM", QChar(0xE01) + filled(QChar(0xE33))},
        {"30 marks on every letter", filled("a" + repeated(acute, 30))},
        {"30 marks on every letter, rich", "<b>" + filled("a" + repeated(acute, 30))},
        {"30 Thai AM on every letter", filled(QChar(0xE01) + repeated(QChar(0xE33), 30))},
        {"Hangul jamo, one cluster", filled(QChar(0x1100))},
        {"prepended marks, one cluster", filled(QChar(0x600))},
        {"joiners after an emoji", QString::fromUcs4(U"\U0001F469") + filled(QChar(0x200D))},
        {"nested bidi embeddings", filled(QString(QChar(0x202A)) + QChar(0x202B)) + "abc"},
        {"64 Ki letters without a break", filled(QStringLiteral("a"))},
        {"64 Ki words", filled(QStringLiteral("a "))},
        {"64 Ki line breaks", filled(QStringLiteral("\n"))},
        {"lines of 64 characters", filled(repeated(QStringLiteral("字"), 63) + "\n")},
        {"lines of 64 characters, rich", "<b>" + filled(repeated(QStringLiteral("字"), 60) + "<br>")},
        {"preformatted lines", "<pre>" + filled(QStringLiteral("x\n"))},
        {"paragraphs", filled(QStringLiteral("<p>x</p>"))},
        {"headings", filled(QStringLiteral("<h1>x</h1>"))},
        {"nested lists", filled(QStringLiteral("<ul><li>x</ul>"))},
        {"coloured letters", filled(QStringLiteral("<font color=red>x</font>"))},
        {"wide ligatures", filled(QChar(0xFDFD))},
        {"emoji", filled(QString::fromUcs4(U"\U0001F600"))},
    };
    out << qSetFieldWidth(38) << Qt::left << "notes" << qSetFieldWidth(12) << Qt::right << "shown, ms"
        << "pressed, ms" << qSetFieldWidth(0) << Qt::endl;
    qint64 worst = 0;
    const QString only = QCoreApplication::arguments().value(1);
    for (const auto &c : cases) {
        if (!QString::fromUtf8(c.name).contains(only))
            continue;
        Timing slowest;
        for (int run = 0; run < 3; ++run) {
            const Timing timing = measure(c.notes, folder.path());
            slowest.shown = qMax(slowest.shown, timing.shown);
            slowest.pressed = qMax(slowest.pressed, timing.pressed);
        }
        worst = qMax(worst, qMax(slowest.shown, slowest.pressed));
        out << qSetFieldWidth(38) << Qt::left << c.name << qSetFieldWidth(12) << Qt::right << slowest.shown
            << slowest.pressed << qSetFieldWidth(0) << Qt::endl;
    }
    out << "slowest of all: " << worst << " ms" << Qt::endl;
    return 0;
}
