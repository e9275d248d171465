#include "rtfreader.h"

#include <QList>
#include <QRegularExpression>
#include <vector>

namespace {

struct Format
{
    bool Bold = false, Italic = false, Underline = false;
    int Color = 0; // index into the colour table; 0 = default
    int HalfPoints = 24;
    bool Skip = false; // inside a destination that is not shown
    bool ColorTable = false;
    int UcSkip = 1; // characters that stand for a \u character in readers without it
    bool operator==(const Format& o) const
    {
        return Bold == o.Bold && Italic == o.Italic && Underline == o.Underline &&
               Color == o.Color && HalfPoints == o.HalfPoints;
    }
};

QChar cp1252(unsigned char b)
{
    static const char16_t high[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    if (b >= 0x80 && b < 0xa0) return QChar(high[b - 0x80]);
    return QChar(b);
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

QString escape(const QString& s)
{
    return s.toHtmlEscaped();
}

class Writer
{
public:
    QList<QString> colors; // the colour table; an empty entry is the default colour
    QString html, plain;
    bool full = false;

    void text(const QString& s, const Format& f)
    {
        if (full) return;
        if (plain.size() + s.size() > TRtfReader::MaxOutput) {
            full = true;
            return;
        }
        if (!(f == runFormat_) && !run_.isEmpty()) flush();
        runFormat_ = f;
        run_ += s;
        plain += s;
    }
    void lineBreak()
    {
        if (full) return;
        flush();
        html += "<br>";
        plain += '\n';
    }
    void flush()
    {
        if (run_.isEmpty()) return;
        QString style;
        if (runFormat_.Bold) style += "font-weight:bold;";
        if (runFormat_.Italic) style += "font-style:italic;";
        if (runFormat_.Underline) style += "text-decoration:underline;";
        if (runFormat_.Color >= 0 && runFormat_.Color < colors.size() &&
            !colors[runFormat_.Color].isEmpty())
            style += "color:" + colors[runFormat_.Color] + ";";
        if (runFormat_.HalfPoints != 24 && runFormat_.HalfPoints > 0)
            style +=
                QStringLiteral("font-size:%1pt;").arg(qBound(4, runFormat_.HalfPoints / 2, 72));
        const QString body = LinkifyRun(run_);
        html += style.isEmpty() ? body : "<span style=\"" + style + "\">" + body + "</span>";
        run_.clear();
    }

private:
    QString run_;
    Format runFormat_;
};

} // namespace

QString LinkifyRun(const QString& text)
{
    static const QRegularExpression url(
        QStringLiteral(R"((?:https?://|ftp://|www\.|mailto:|dialwise:)[^\s<>"']+)"),
        QRegularExpression::CaseInsensitiveOption);
    QString out;
    qsizetype at = 0;
    auto it = url.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QString link = m.captured(0);
        // Punctuation that ends a sentence is not part of the address.
        while (!link.isEmpty() && QStringLiteral(".,;:!?)]").contains(link.back()))
            link.chop(1);
        if (link.isEmpty()) continue;
        out += escape(text.mid(at, m.capturedStart(0) - at));
        QString target = link;
        if (target.startsWith("www.", Qt::CaseInsensitive)) target.prepend("http://");
        out += "<a href=\"" + escape(target) + "\">" + escape(link) + "</a>";
        at = m.capturedStart(0) + link.size();
    }
    out += escape(text.mid(at));
    return out;
}

QString PlainToHtml(const QString& text)
{
    QString t = text;
    t.replace("\r\n", "\n").replace('\r', '\n');
    QStringList lines = t.split('\n');
    for (QString& l : lines)
        l = LinkifyRun(l);
    return lines.join("<br>");
}

TRtfDocument TRtfReader::Read(const QByteArray& rtf)
{
    Writer w;
    std::vector<Format> stack;
    Format cur;
    int flatDepth = 0; // groups beyond MaxDepth, read without a state of their own
    int ucPending = 0; // fallback characters still to drop after \u
    int red = 0, green = 0, blue = 0;
    bool colorSet = false;
    const char* p = rtf.constData();
    const char* const end = p + rtf.size();

    auto emitChar = [&](QChar c) {
        if (ucPending > 0) {
            --ucPending;
            return;
        }
        if (cur.Skip) return;
        if (cur.ColorTable) {
            if (c == ';' && w.colors.size() < 4096) {
                w.colors.append(colorSet ? QStringLiteral("#%1%2%3")
                                               .arg(red & 0xff, 2, 16, QChar('0'))
                                               .arg(green & 0xff, 2, 16, QChar('0'))
                                               .arg(blue & 0xff, 2, 16, QChar('0'))
                                         : QString());
                red = green = blue = 0;
                colorSet = false;
            }
            return;
        }
        w.text(QString(c), cur);
    };

    while (p < end && !w.full) {
        const char c = *p++;
        if (c == '{') {
            if (int(stack.size()) >= MaxDepth)
                ++flatDepth;
            else
                stack.push_back(cur);
            continue;
        }
        if (c == '}') {
            if (flatDepth > 0)
                --flatDepth;
            else if (!stack.empty()) {
                cur = stack.back();
                stack.pop_back();
            }
            ucPending = 0;
            continue;
        }
        if (c == '\r' || c == '\n') continue;
        if (c != '\\') {
            emitChar(cp1252(static_cast<unsigned char>(c)));
            continue;
        }
        if (p >= end) break;
        const char d = *p;
        if (!isLetter(d)) {
            ++p;
            switch (d) {
            case '\'': {
                const int hi = p < end ? hexValue(p[0]) : -1;
                const int lo = p + 1 < end ? hexValue(p[1]) : -1;
                if (hi < 0 || lo < 0) break;
                p += 2;
                emitChar(cp1252(static_cast<unsigned char>(hi * 16 + lo)));
                break;
            }
            case '*':
                cur.Skip = true; // an ignorable destination
                break;
            case '~':
                emitChar(QChar(0xa0));
                break;
            case '_':
                emitChar(QChar('-'));
                break;
            case '-':
                break;
            case '\r':
            case '\n':
                if (!cur.Skip && !cur.ColorTable) w.lineBreak();
                break;
            default:
                emitChar(QChar::fromLatin1(d));
                break;
            }
            continue;
        }
        // A control word with an optional numeric parameter.
        const char* ws = p;
        while (p < end && isLetter(*p) && p - ws < 32)
            ++p;
        const QByteArray word(ws, int(p - ws));
        while (p < end && isLetter(*p))
            ++p; // an overlong word is cut, not reread
        bool hasParam = false;
        bool negative = false;
        long long param = 0;
        if (p < end && *p == '-') {
            negative = true;
            ++p;
        }
        while (p < end && *p >= '0' && *p <= '9') {
            hasParam = true;
            if (param < 100000000) param = param * 10 + (*p - '0');
            ++p;
        }
        if (negative) param = -param;
        if (p < end && *p == ' ') ++p;
        const int n = int(param);

        if (word == "par" || word == "line" || word == "sect" || word == "page") {
            if (!cur.Skip && !cur.ColorTable) w.lineBreak();
        } else if (word == "tab") {
            emitChar(QChar(' '));
            emitChar(QChar(' '));
            emitChar(QChar(' '));
            emitChar(QChar(' '));
        } else if (word == "b") {
            cur.Bold = !hasParam || n != 0;
        } else if (word == "i") {
            cur.Italic = !hasParam || n != 0;
        } else if (word == "ul") {
            cur.Underline = !hasParam || n != 0;
        } else if (word == "ulnone") {
            cur.Underline = false;
        } else if (word == "plain") {
            cur.Bold = cur.Italic = cur.Underline = false;
            cur.HalfPoints = 24;
            cur.Color = 0;
        } else if (word == "cf") {
            cur.Color = n;
        } else if (word == "fs") {
            cur.HalfPoints = hasParam ? n : 24;
        } else if (word == "u") {
            if (hasParam) {
                const int code = n < 0 ? n + 65536 : n;
                emitChar(code > 0 && code < 0x10000 ? QChar(char16_t(code)) : QChar(0xfffd));
                ucPending = cur.UcSkip;
            }
        } else if (word == "uc") {
            cur.UcSkip = qBound(0, n, 8);
        } else if (word == "red" && cur.ColorTable) {
            red = n;
            colorSet = true;
        } else if (word == "green" && cur.ColorTable) {
            green = n;
            colorSet = true;
        } else if (word == "blue" && cur.ColorTable) {
            blue = n;
            colorSet = true;
        } else if (word == "colortbl") {
            cur.ColorTable = true;
            red = green = blue = 0;
            colorSet = false;
        } else if (word == "fonttbl" || word == "stylesheet" || word == "info" || word == "pict" ||
                   word == "header" || word == "footer" || word == "object" || word == "fldinst" ||
                   word == "filetbl" || word == "listtable" || word == "listoverridetable" ||
                   word == "revtbl" || word == "themedata" || word == "datastore" ||
                   word == "latentstyles" || word == "generator" || word == "xmlnstbl") {
            cur.Skip = true;
        } else if (word == "emdash") {
            emitChar(QChar(0x2014));
        } else if (word == "endash") {
            emitChar(QChar(0x2013));
        } else if (word == "bullet") {
            emitChar(QChar(0x2022));
        } else if (word == "lquote") {
            emitChar(QChar(0x2018));
        } else if (word == "rquote") {
            emitChar(QChar(0x2019));
        } else if (word == "ldblquote") {
            emitChar(QChar(0x201c));
        } else if (word == "rdblquote") {
            emitChar(QChar(0x201d));
        }
    }
    w.flush();
    TRtfDocument doc;
    doc.Html = w.html;
    doc.Plain = w.plain;
    return doc;
}
