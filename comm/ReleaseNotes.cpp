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

} // namespace

QString ReleaseNotes::sanitize(const QString &notes)
{
    const QString ellipsis = QStringLiteral("…");
    QString text = notes;
    const bool cut = text.size() > maxLength;
    if (cut)
        text.truncate(text.at(maxLength - 1).isHighSurrogate() ? maxLength - 1 : maxLength);
    if (!Qt::mightBeRichText(text))
        return cut ? text + ellipsis : text;

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
            out += text.midRef(i, next - i);
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
            if (!closing)
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
        open << name;
        out += QStringLiteral("<%1%2>").arg(name, colourAttributes(name, tag.mid(match.capturedEnd())));
    }
    while (!open.isEmpty())
        out += QStringLiteral("</%1>").arg(open.takeLast());
    if (cut)
        out += ellipsis;
    return out + QStringLiteral("</div>");
}
