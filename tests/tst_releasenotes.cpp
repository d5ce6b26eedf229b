#include "trust/ReleaseNotes.h"

#include <QAbstractTextDocumentLayout>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTextDocument>

// Counts every resource the rich-text engine asks for while it lays the notes out.
class ResourceProbe : public QTextDocument
{
public:
    int requests = 0;

protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        ++requests;
        return QTextDocument::loadResource(type, name);
    }
};

class TestReleaseNotes : public QObject
{
    Q_OBJECT

private slots:
    void sanitize_data();
    void sanitize();
    void largestNotesLayOutQuickly();
};

static QString repeated(const QString &text, int times)
{
    QString all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

void TestReleaseNotes::sanitize_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<QString>("shown");

    const int depth = ReleaseNotes::maxDepth;
    const QString longPlain(ReleaseNotes::maxLength + 10, QLatin1Char('x'));

    // Ordinary notes.
    QTest::newRow("plain") << "1. 全新播放内核\n2. 修复字幕不同步" << "1. 全新播放内核\n2. 修复字幕不同步";
    QTest::newRow("plain with a lone <") << "a < b" << "a < b";
    QTest::newRow("bold and colour") << "<b>新</b><font color=\"#ff0000\">红</font>"
                                     << "<div><b>新</b><font color=\"#ff0000\">红</font></div>";
    QTest::newRow("heading, list, breaks") << "<h2>3.1</h2><ul><li>一<br>二</li><li>三</li></ul>"
                                           << "<div><h2>3.1</h2><ul><li>一<br>二</li><li>三</li></ul></div>";
    QTest::newRow("colour in a style") << "<span style=\"color: #00f; font-size:40px\">蓝</span>"
                                       << "<div><span style=\"color:#00f\">蓝</span></div>";
    QTest::newRow("entities") << "<p>a &amp; b &lt;c&gt;</p>" << "<div><p>a &amp; b &lt;c&gt;</p></div>";
    QTest::newRow("unclosed and stray tags") << "<b>a<i>b</b>c</u>" << "<div><b>a<i>b</i></b>c</div>";

    // Nothing that can load a resource, whatever the scheme.
    QTest::newRow("image from a file") << "<p>a<img src=\"file:///dev/zero\">b</p>" << "<div><p>ab</p></div>";
    QTest::newRow("huge image") << "<img width=100000 height=100000><b>x</b>" << "<div><b>x</b></div>";
    QTest::newRow("image from resources") << "<b>x</b><img src=\":/images/updateLogo.png\">" << "<div><b>x</b></div>";
    QTest::newRow("table background") << "<table background=\"/etc/passwd\"><tr><td>x</td></tr></table>"
                                      << "<div>x</div>";
    QTest::newRow("css background") << "<p style=\"background-image:url(file:///etc/passwd)\">x</p>"
                                    << "<div><p>x</p></div>";
    QTest::newRow("colour smuggling a url") << "<span style=\"color:url(http://example.com/a)\">x</span>"
                                            << "<div><span>x</span></div>";
    QTest::newRow("style sheet element") << "<style>p{background:url(/etc/passwd)}</style><p>x</p>"
                                         << "<div><p>x</p></div>";
    QTest::newRow("linked style sheet") << "<link rel=\"stylesheet\" href=\"file:///etc/passwd\"><b>x</b>"
                                        << "<div><b>x</b></div>";
    QTest::newRow("link") << "<a href=\"file:///etc/passwd\">x</a><br>" << "<div>x<br></div>";
    QTest::newRow("comment hiding a tag") << "<b>x</b><!-- <img src=a> -->y" << "<div><b>x</b>y</div>";

    // Bounded nesting and length.
    QTest::newRow("20 nested tables") << repeated("<table><tr><td>", 20) + "x" + repeated("</td></tr></table>", 20)
                                      << "<div>x</div>";
    QTest::newRow("3000 nested lists") << repeated("<ul><li>", 3000) + "x" + repeated("</li></ul>", 3000)
                                        << "<div>" + repeated("<ul><li>", depth / 2) + "x" + repeated("</li></ul>", depth / 2) + "</div>";
    QTest::newRow("nested past the depth, then more") << repeated("<b>", depth + 3) + "x" + repeated("</b>", depth + 3) + "<i>y</i>"
                                                      << "<div>" + repeated("<b>", depth) + "x" + repeated("</b>", depth) + "<i>y</i></div>";
    QTest::newRow("long plain") << longPlain << longPlain.left(ReleaseNotes::maxTextLength) + "…";
    QTest::newRow("long rich") << "<b>" + longPlain << "<div><b>" + longPlain.left(ReleaseNotes::maxTextLength) + "</b>…</div>";
    // Markup counts toward the length of what was sent, not of the text shown.
    QTest::newRow("long markup") << repeated("<i>x</i>", ReleaseNotes::maxLength / 8 + 10)
                                 << "<div>" + repeated("<i>x</i>", ReleaseNotes::maxLength / 8) + "…</div>";

    // What takes long to lay out: runs of marks on one base, and lines.
    const QString acute(QChar(0x301));
    const int marks = ReleaseNotes::maxMarksInARow;
    const int lines = ReleaseNotes::maxLines;
    QTest::newRow("65,000 marks on a letter") << "a" + repeated(acute, 65000) << "a" + repeated(acute, marks);
    QTest::newRow("65,000 marks, rich") << "<b>a" + repeated(acute, 65000) + "</b>"
                                        << "<div><b>a" + repeated(acute, marks) + "</b></div>";
    QTest::newRow("marks as references") << "<b>a" + repeated("&#769;&#x301;&zwj;", 1000)
                                         << "<div><b>a" + repeated("&#769;&#x301;&zwj;", marks / 3) + "</b></div>";
    QTest::newRow("marks across tags") << "<b>a" + repeated(acute, 20) + "</b><i>" + repeated(acute, 20) + "</i>"
                                       << "<div><b>a" + repeated(acute, 20) + "</b><i>" + repeated(acute, 10) + "</i></div>";
    QTest::newRow("marks beyond the first plane") << "a" + repeated(QString::fromUcs4(U"\U0001D167"), 100)
                                                  << "a" + repeated(QString::fromUcs4(U"\U0001D167"), marks);
    QTest::newRow("Thai AM after AM") << QChar(0xE01) + repeated(QChar(0xE33), 1000) << QChar(0xE01) + repeated(QChar(0xE33), marks);
    QTest::newRow("a mark on every letter") << repeated("e" + acute, 1000) << repeated("e" + acute, 1000);
    // Marks count three times toward the length: a letter and its mark, four.
    QTest::newRow("a mark on every letter, too long") << repeated("e" + acute, 30000)
                                                      << repeated("e" + acute, ReleaseNotes::maxTextLength / 4) + "…";
    QTest::newRow("2000 lines") << repeated("x\n", 2000) << repeated("x\n", lines) + "x…";
    QTest::newRow("2000 breaks, rich") << "<b>" + repeated("x<br>", 2000)
                                       << "<div><b>" + repeated("x<br>", lines) + "x</b>…</div>";
}

void TestReleaseNotes::sanitize()
{
    QFETCH(QString, notes);
    QFETCH(QString, shown);
    const QString sanitized = ReleaseNotes::sanitize(notes);
    QCOMPARE(sanitized, shown);

    // A label shows it as what it is, and laying it out asks for nothing.
    QCOMPARE(Qt::mightBeRichText(sanitized), Qt::mightBeRichText(notes));
    ResourceProbe document;
    document.setHtml(sanitized);
    document.setTextWidth(300);
    document.documentLayout()->documentSize();
    QCOMPARE(document.requests, 0);
}

void TestReleaseNotes::largestNotesLayOutQuickly()
{
    // The longest notes a server can send, nested in every way it can: laid out unsanitised,
    // such notes take Qt minutes or its whole stack.
    const QString unit = QStringLiteral("<ul><li><table><tr><td><b>更新");
    const QString notes = ReleaseNotes::sanitize(repeated(unit, ReleaseNotes::maxLength / unit.size() + 1));
    QLabel label;
    label.setWordWrap(true);
    QElapsedTimer clock;
    clock.start();
    label.setText(notes);
    label.heightForWidth(300);
    // Generous: the goal is half a second.
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(TestReleaseNotes)
#include "tst_releasenotes.moc"
