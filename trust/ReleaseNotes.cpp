#include "ReleaseNotes.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTextDocument>

namespace {

// What formats text and cannot name a resource.
const QSet<QString> &formattingElements()
{
    static const QSet<QString> names{
        QStringLiteral("b"), QStringLiteral("strong"), QStringLiteral("i"), QStringLiteral("em"),
        QStringLiteral("u"), QStringLiteral("s"), QStringLiteral("strike"), QStringLiteral("del"),
        QStringLiteral("sub"), QStringLiteral("sup"), QStringLiteral("small"), QStringLiteral("big"),
        QStringLiteral("code"), QStringLiteral("pre"), QStringLiteral("blockquote"), QStringLiteral("p"),
        QStringLiteral("div"), QStringLiteral("span"), QStringLiteral("font"), QStringLiteral("h1"),
        QStringLiteral("h2"), QStringLiteral("h3"), QStringLiteral("h4"), QStringLiteral("h5"),
        QStringLiteral("h6"), QStringLiteral("ul"), QStringLiteral("ol"), QStringLiteral("li"),
        QStringLiteral("br"), QStringLiteral("hr")};
    return names;
}

bool isVoid(const QString &name)
{
    return name == QLatin1String("br") || name == QLatin1String("hr");
}

// Dropped together with everything inside them: style sheets can name resources.
bool isHidden(const QString &name)
{
    return name == QLatin1String("style") || name == QLatin1String("script") || name == QLatin1String("head")
        || name == QLatin1String("title");
}

// A colour, and only a colour, survives: no value of this shape can name a resource.
QString colourAttributes(const QString &name, const QString &attributes)
{
    static const QRegularExpression attribute(
        QStringLiteral("([A-Za-z-]+)\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s\"'>]+))"));
    static const QRegularExpression colour(QStringLiteral("^\\s*(#[0-9A-Fa-f]{3,8}|[A-Za-z]{1,20})\\s*$"));
    QString kept;
    auto it = attribute.globalMatch(attributes);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString key = match.captured(1).toLower();
        const QString value = match.captured(2) + match.captured(3) + match.captured(4);
        if (key == QLatin1String("color") && name == QLatin1String("font") && colour.match(value).hasMatch()) {
            kept += QStringLiteral(" color=\"%1\"").arg(value.trimmed());
        } else if (key == QLatin1String("style")) {
            for (const QString &declaration : value.split(QLatin1Char(';'))) {
                const QString property = declaration.section(QLatin1Char(':'), 0, 0).trimmed().toLower();
                const QString setting = declaration.section(QLatin1Char(':'), 1);
                if (property == QLatin1String("color") && colour.match(setting).hasMatch())
                    kept += QStringLiteral(" style=\"color:%1\"").arg(setting.trimmed());
            }
        }
    }
    return kept;
}

// Elements that start a line of their own, besides <br> and <hr>.
bool breaksLine(const QString &name)
{
    return name == QLatin1String("p") || name == QLatin1String("div") || name == QLatin1String("li") || name == QLatin1String("pre")
        || name == QLatin1String("blockquote") || name == QLatin1String("ul") || name == QLatin1String("ol")
        || (name.size() == 2 && name.at(0) == QLatin1Char('h'));
}

// Whether a character belongs to the cluster before it rather than starting one.
bool extendsCluster(uint c)
{
    // Thai and Lao AM are letters, but the shaper splits a mark off each and moves it back
    // over every mark before it. The joiners hold clusters together too.
    if (c == 0x0E33 || c == 0x0EB3 || c == 0x200C || c == 0x200D)
        return true;
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
        || category == QChar::Mark_Enclosing;
}

// Keeps what passes through within the marks, length and lines that lay out quickly. Rich
// text's character references are counted as the characters they stand for.
class LayoutLimit
{
public:
    // Appends what of `text` is kept to `out`; false when the notes end inside it.
    bool append(QString &out, QStringView text, bool rich)
    {
        static const QRegularExpression reference(QStringLiteral("^&(#[0-9]{1,7}|#[xX][0-9A-Fa-f]{1,6}|zwj|zwnj);"));
        for (int i = 0; i < text.size();) {
            uint c = text.at(i).unicode();
            int length = 1;
            if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
                length = 2;
            } else if (rich && c == '&') {
                const QRegularExpressionMatch match = reference.match(text.mid(i, 12).toString());
                if (match.hasMatch()) {
                    c = referencedCharacter(match.capturedRef(1));
                    length = match.capturedLength();
                }
            }
            if (c == '\n' && !lineBreak())
                return false;
            const bool mark = extendsCluster(c);
            if (!mark)
                marks = 0;
            if (!mark || ++marks <= ReleaseNotes::maxMarksInARow) {
                weight += mark ? ReleaseNotes::markWeight : 1;
                if (weight > ReleaseNotes::maxTextLength)
                    return false;
                out += text.mid(i, length);
            }
            i += length;
        }
        return true;
    }

    bool lineBreak() { return ++lines <= ReleaseNotes::maxLines; }

private:
    static uint referencedCharacter(const QStringRef &name)
    {
        if (name == QLatin1String("zwj"))
            return 0x200D;
        if (name == QLatin1String("zwnj"))
            return 0x200C;
        const bool hex = name.at(1) == QLatin1Char('x') || name.at(1) == QLatin1Char('X');
        return name.mid(hex ? 2 : 1).toUInt(nullptr, hex ? 16 : 10);
    }

    int marks = 0;
    int weight = 0;
    int lines = 0;
};

} // namespace

QString ReleaseNotes::sanitize(const QString &notes)
{
    const QString ellipsis = QStringLiteral("…");
    QString text = notes;
    bool cut = text.size() > maxLength;
    if (cut)
        text.truncate(text.at(maxLength - 1).isHighSurrogate() ? maxLength - 1 : maxLength);
    LayoutLimit limit;
    if (!Qt::mightBeRichText(text)) {
        QString kept;
        if (!limit.append(kept, text, false))
            cut = true;
        return cut ? kept + ellipsis : kept;
    }

    static const QRegularExpression tagName(QStringLiteral("^/?\\s*([A-Za-z][A-Za-z0-9]*)"));
    QString out = QStringLiteral("<div>");
    QStringList open;
    // Elements left out for depth, so that their end tags do not close an outer one.
    QHash<QString, int> skipped;
    int i = 0;
    while (i < text.size()) {
        if (text.at(i) != QLatin1Char('<')) {
            int next = text.indexOf(QLatin1Char('<'), i);
            if (next < 0)
                next = text.size();
            if (!limit.append(out, QStringView(text).mid(i, next - i), true)) {
                cut = true;
                break;
            }
            i = next;
            continue;
        }
        if (text.midRef(i, 4) == QLatin1String("<!--")) {
            const int end = text.indexOf(QLatin1String("-->"), i + 4);
            i = end < 0 ? text.size() : end + 3;
            continue;
        }
        const int close = text.indexOf(QLatin1Char('>'), i + 1);
        if (close < 0) {
            // A lone '<' is text.
            out += QLatin1String("&lt;");
            ++i;
            continue;
        }
        const QString tag = text.mid(i + 1, close - i - 1);
        i = close + 1;
        const QRegularExpressionMatch match = tagName.match(tag);
        if (!match.hasMatch())
            continue;
        const QString name = match.captured(1).toLower();
        const bool closing = tag.startsWith(QLatin1Char('/'));
        if (!closing && isHidden(name)) {
            const QRegularExpression end(QStringLiteral("</\\s*%1\\s*>").arg(name), QRegularExpression::CaseInsensitiveOption);
            const QRegularExpressionMatch found = end.match(text, i);
            i = found.hasMatch() ? found.capturedEnd() : text.size();
            continue;
        }
        if (!formattingElements().contains(name))
            continue;
        if (isVoid(name)) {
            if (closing)
                continue;
            if (!limit.lineBreak()) {
                cut = true;
                break;
            }
            out += QStringLiteral("<%1>").arg(name);
            continue;
        }
        if (closing) {
            if (skipped.value(name) > 0) {
                --skipped[name];
                continue;
            }
            const int at = open.lastIndexOf(name);
            while (at >= 0 && open.size() > at)
                out += QStringLiteral("</%1>").arg(open.takeLast());
            continue;
        }
        if (open.size() >= maxDepth) {
            ++skipped[name];
            continue;
        }
        if (breaksLine(name) && !limit.lineBreak()) {
            cut = true;
            break;
        }
        open << name;
        out += QStringLiteral("<%1%2>").arg(name, colourAttributes(name, tag.mid(match.capturedEnd())));
    }
    while (!open.isEmpty())
        out += QStringLiteral("</%1>").arg(open.takeLast());
    if (cut)
        out += ellipsis;
    return out + QStringLiteral("</div>");
}
