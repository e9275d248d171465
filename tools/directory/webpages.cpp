#include "webpages.h"

#include "ads.h"
#include "listrequest.h"

#include <QDateTime>
#include <QFile>
#include <QUrl>

namespace dwdir {

namespace {

QString esc(QByteArrayView v)
{
    return QString::fromUtf8(v).toHtmlEscaped();
}

QString duration(qint64 secs)
{
    if (secs < 0) secs = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(secs / 3600)
        .arg(secs / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(secs % 60, 2, 10, QLatin1Char('0'));
}

// The page frame shared by every page: dark like the program's page area.
QString frame(const QString& title, const QString& body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>") +
           title.toHtmlEscaped() +
           QStringLiteral(
               "</title><style>"
               "body{background:#10161c;color:#e8ecef;font-family:sans-serif;font-size:13px;"
               "margin:8px 12px}"
               "h1{font-size:17px;color:#ffd23f;margin:4px 0 8px}"
               "h2{font-size:14px;color:#9fd3ff;margin:12px 0 4px}"
               "a{color:#7fc4ff}a.act{display:inline-block;background:#ffd23f;color:#10161c;"
               "text-decoration:none;padding:2px 8px;border-radius:3px;margin-right:6px;"
               "font-weight:bold}"
               "table{border-collapse:collapse}td,th{padding:2px 10px 2px 0;text-align:left;"
               "vertical-align:top}th{color:#9aa7b1;font-weight:normal}"
               ".post{border-top:1px solid #2c3944;padding:4px 0}.who{color:#9fd3ff}"
               ".when{color:#9aa7b1;font-size:11px}.live{color:#5ee05e;font-weight:bold}"
               "input,textarea{background:#1d2730;color:#e8ecef;border:1px solid #3a4a57}"
               "</style></head><body>\n") +
           body + QStringLiteral("\n</body></html>\n");
}

QString hrefOf(const QByteArray& link)
{
    return QString::fromLatin1(link).toHtmlEscaped();
}

QByteArray encodeLinkValue(QByteArrayView v)
{
    // Everything but letters, digits and a few safe marks is percent-encoded; the
    // back-quote separators too, as browsers do with them.
    QByteArray out;
    for (char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            c == '.' || c == '-' || c == '_' || c == ':' || c == '/')
            out += c;
        else
            out += '%' + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
    }
    return out;
}

QByteArray queryValue(const QString& v)
{
    return QUrl::toPercentEncoding(v);
}

QString escapeField(const QString& s)
{
    QString o;
    for (QChar c : s) {
        if (c == QLatin1Char('\\'))
            o += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\t'))
            o += QStringLiteral("\\t");
        else if (c == QLatin1Char('\n'))
            o += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            continue;
        else
            o += c;
    }
    return o;
}

QString unescapeField(const QString& s)
{
    QString o;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s.at(i) == QLatin1Char('\\') && i + 1 < s.size()) {
            const QChar n = s.at(++i);
            o += n == QLatin1Char('t')   ? QLatin1Char('\t')
                 : n == QLatin1Char('n') ? QLatin1Char('\n')
                                         : n;
        } else {
            o += s.at(i);
        }
    }
    return o;
}

// Control characters (but line breaks) become blanks; the text is cut to its cap.
QString cleanText(QString t, int cap, bool keepBreaks)
{
    t.remove(QLatin1Char('\r'));
    QString o;
    for (QChar c : t) {
        if (c == QLatin1Char('\n') && keepBreaks)
            o += c;
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            o += QLatin1Char(' ');
        else
            o += c;
    }
    // Cut, then trim again: what is kept reads back from the file as it is kept here.
    o = o.trimmed().left(cap);
    if (!o.isEmpty() && o.back().isHighSurrogate()) o.chop(1); // no half of a pair
    return o.trimmed();
}

} // namespace

bool keyMatches(const Station& s, QByteArrayView key)
{
    if (key.isEmpty()) return false;
    const QByteArray ip = addressKey(s.ip);
    return addressKey(key) == ip || addressKey("http://" + key.toByteArray()) == ip;
}

const Station* findByKey(const QList<const Station*>& stations, QByteArrayView key)
{
    for (const Station* s : stations)
        if (keyMatches(*s, key)) return s;
    return nullptr;
}

QByteArray stationLink(const Station& s, QByteArrayView action)
{
    QByteArray link = "dialwise:fieldcount%604%60action%60ip%60hostname%60type";
    for (QByteArrayView v : {action, QByteArrayView(s.ip), QByteArrayView(s.hostname)})
        link += "%60" + encodeLinkValue(v);
    link += "%60" + QByteArray::number(s.type);
    return link;
}

QByteArray newsPage(const QList<const Station*>& stations, qint64 now)
{
    QString b = QStringLiteral("<h1>Dialwise News</h1>");
    const QString day = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("d MMMM yyyy"));
    b += QStringLiteral("<p class=\"when\">") + day.toHtmlEscaped() + QStringLiteral("</p>");
    int live = 0, listeners = 0;
    for (const Station* s : stations) {
        live += s->live;
        listeners += int(s->numplayers);
    }
    b += QStringLiteral("<h2>The demo world is on the air</h2><p>%1 stations are listed, "
                        "%2 of them live, with %3 listeners tuned in.</p>")
             .arg(stations.size())
             .arg(live)
             .arg(listeners);
    if (live > 0) {
        b += QStringLiteral("<h2>Playing right now</h2><table>");
        for (const Station* s : stations) {
            if (!s->live) continue;
            b += QStringLiteral("<tr><td><a class=\"act\" href=\"") +
                 hrefOf(stationLink(*s, "play")) + QStringLiteral("\">Play</a></td><td>") +
                 esc(s->hostname) + QStringLiteral("</td><td>") + esc(s->songtitle) +
                 QStringLiteral("</td></tr>");
        }
        b += QStringLiteral("</table>");
    }
    b += QStringLiteral(
        "<h2>Find a song</h2><p>The Song and Artist Search tab finds the stations playing a "
        "title or an artist right now. Select a station to read about it in the Station Info "
        "tab, and meet its listeners in the Forums tab.</p>");
    return frame(QStringLiteral("Dialwise News"), b).toUtf8();
}

QByteArray serverInfoPage(const Station* s, QByteArrayView key, qint64 now)
{
    if (!s) {
        QString b = QStringLiteral("<h1>Station Info</h1>");
        b += key.isEmpty() ? QStringLiteral("<p>Select a station in the list to see its "
                                            "details here.</p>")
                           : QStringLiteral("<p>The station ") + esc(key) +
                                 QStringLiteral(" is not listed right now.</p>");
        return frame(QStringLiteral("Station Info"), b).toUtf8();
    }
    QString b = QStringLiteral("<h1>") + esc(s->hostname) + QStringLiteral("</h1>");
    if (s->live) b += QStringLiteral("<p class=\"live\">LIVE</p>");
    b += QStringLiteral("<p><a class=\"act\" href=\"") + hrefOf(stationLink(*s, "play")) +
         QStringLiteral("\">Play</a><a class=\"act\" href=\"") + hrefOf(stationLink(*s, "add")) +
         QStringLiteral("\">Add to Favorites</a></p><table>");
    auto row = [&](const char* name, const QString& value) {
        b += QStringLiteral("<tr><th>") + QLatin1String(name) + QStringLiteral("</th><td>") +
             value + QStringLiteral("</td></tr>");
    };
    row("Now playing", s->songtitle.isEmpty() ? QStringLiteral("&ndash;") : esc(s->songtitle));
    row("Listeners", QStringLiteral("%1 of %2").arg(s->numplayers).arg(s->maxplayers));
    row("Genre", esc(s->genre));
    row("Bitrate", QStringLiteral("%1 kbps").arg(s->bitrate));
    row("Average listening", duration(s->avgtime));
    row("Uptime", duration(s->uptime > 0 ? now - s->uptime : 0));
    row("Address", esc(s->ip));
    if (!s->url.isEmpty()) row("Web site", esc(s->url));
    b += QStringLiteral("</table>");
    return frame(QString::fromUtf8(s->hostname), b).toUtf8();
}

QByteArray titleSearchPage(const QList<const Station*>& stations, const QString& text)
{
    const QString q = text.trimmed().left(200);
    QString b = QStringLiteral("<h1>Song and Artist Search</h1>"
                               "<form method=\"get\" action=\"/program/titlesearch.asp\">"
                               "<input name=\"q\" size=\"40\" value=\"") +
                q.toHtmlEscaped() +
                QStringLiteral("\"> <input type=\"submit\" value=\"Search\"></form>");
    if (q.isEmpty()) {
        b += QStringLiteral("<p>Type a song title, an artist or a station name.</p>");
        return frame(QStringLiteral("Song Search"), b).toUtf8();
    }
    const QString folded = q.toCaseFolded();
    QString rows;
    int found = 0;
    for (const Station* s : stations) {
        if (!QString::fromUtf8(s->songtitle).toCaseFolded().contains(folded) &&
            !QString::fromUtf8(s->hostname).toCaseFolded().contains(folded))
            continue;
        if (++found > 100) break;
        rows += QStringLiteral("<tr><td><a class=\"act\" href=\"") +
                hrefOf(stationLink(*s, "play")) + QStringLiteral("\">Play</a></td><td>") +
                esc(s->hostname) + QStringLiteral("</td><td>") + esc(s->songtitle) +
                QStringLiteral("</td><td>") + esc(s->genre) + QStringLiteral("</td></tr>");
    }
    if (found == 0)
        b += QStringLiteral("<p>No station is playing ") + q.toHtmlEscaped() +
             QStringLiteral(" right now.</p>");
    else
        b += QStringLiteral("<table><tr><th></th><th>Station</th><th>Now playing</th>"
                            "<th>Genre</th></tr>") +
             rows + QStringLiteral("</table>");
    return frame(QStringLiteral("Song Search"), b).toUtf8();
}

ForumStore::ForumStore(QString file) : file_(std::move(file))
{
    if (file_.isEmpty()) return;
    QFile f(file_);
    if (!f.exists()) return;
    if (!f.open(QIODevice::ReadOnly)) {
        error_ = f.errorString();
        return;
    }
    while (!f.atEnd()) {
        const QByteArray l = f.readLine(64 * 1024);
        QString key;
        ForumPost p;
        if (!readLine(l, key, p)) continue;
        QList<ForumPost>& list = posts_[key];
        list << p;
        if (list.size() > MaxPostsPerKey) list.removeFirst();
    }
}

QByteArray ForumStore::line(const QString& key, const ForumPost& p)
{
    return (escapeField(key) + QLatin1Char('\t') + QString::number(p.time) + QLatin1Char('\t') +
            escapeField(p.author) + QLatin1Char('\t') + escapeField(p.text) + QLatin1Char('\n'))
        .toUtf8();
}

bool ForumStore::readLine(QByteArrayView line, QString& key, ForumPost& p)
{
    QString l = QString::fromUtf8(line);
    while (l.endsWith(QLatin1Char('\n')) || l.endsWith(QLatin1Char('\r')))
        l.chop(1);
    const QStringList f = l.split(QLatin1Char('\t'));
    if (f.size() != 4) return false;
    bool ok = false;
    p.time = f[1].toLongLong(&ok);
    if (!ok) return false;
    key = unescapeField(f[0]).left(MaxKey);
    p.author = cleanText(unescapeField(f[2]), MaxAuthor, false);
    p.text = cleanText(unescapeField(f[3]), MaxText, true);
    return !key.isEmpty() && !p.text.isEmpty();
}

bool ForumStore::prepare(const QString& key, const QString& author, const QString& text, qint64 now,
                         QString& cleanKey, ForumPost& p)
{
    cleanKey = key.trimmed().left(MaxKey);
    p.time = now;
    p.author = cleanText(author, MaxAuthor, false);
    if (p.author.isEmpty()) p.author = QStringLiteral("A listener");
    p.text = cleanText(text, MaxText, true);
    return !cleanKey.isEmpty() && !p.text.isEmpty();
}

bool ForumStore::post(const QString& key, QString author, QString text, qint64 now)
{
    QString k;
    ForumPost p;
    if (!prepare(key, author, text, now, k, p)) return false;
    QList<ForumPost>& list = posts_[k];
    list << p;
    if (list.size() > MaxPostsPerKey) list.removeFirst();
    if (!file_.isEmpty()) {
        QFile f(file_);
        if (f.open(QIODevice::Append) && f.write(line(k, p)) > 0) {
            error_.clear();
        } else {
            error_ = f.errorString();
        }
    }
    return true;
}

QList<ForumPost> ForumStore::posts(const QString& key) const
{
    return posts_.value(key.trimmed().left(MaxKey));
}

QByteArray forumsPage(const Station* s, const QString& key, const QList<ForumPost>& posts)
{
    QString b = QStringLiteral("<h1>Forums</h1>");
    if (key.isEmpty()) {
        b += QStringLiteral("<p>Double-click a station, or choose Join Forums on it, to meet "
                            "its listeners here.</p>");
        return frame(QStringLiteral("Forums"), b).toUtf8();
    }
    b += QStringLiteral("<h2>") + (s ? esc(s->hostname) : key.toHtmlEscaped()) +
         QStringLiteral("</h2>");
    if (posts.isEmpty()) b += QStringLiteral("<p>No posts yet. Be the first to say something.</p>");
    for (qsizetype i = posts.size() - 1; i >= 0; --i) {
        const ForumPost& p = posts[i];
        b += QStringLiteral("<div class=\"post\"><span class=\"who\">") + p.author.toHtmlEscaped() +
             QStringLiteral("</span> <span class=\"when\">") +
             QDateTime::fromSecsSinceEpoch(p.time).toString(QStringLiteral("yyyy-MM-dd hh:mm")) +
             QStringLiteral("</span><br>") +
             p.text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
             QStringLiteral("</div>");
    }
    b += QStringLiteral(
             "<h2>Add a post</h2><form method=\"post\" action=\"/program/forums.asp?ip=") +
         QString::fromLatin1(queryValue(key)).toHtmlEscaped() +
         QStringLiteral("\"><p>Name <input name=\"author\" maxlength=\"40\"></p>"
                        "<p><textarea name=\"text\" rows=\"3\" cols=\"60\" maxlength=\"2000\">"
                        "</textarea></p><p><input type=\"submit\" value=\"Post\"></p></form>");
    return frame(QStringLiteral("Forums"), b).toUtf8();
}

void readForumForm(QByteArrayView body, QString& author, QString& text)
{
    for (const QByteArray& piece : body.toByteArray().split('&')) {
        const qsizetype eq = piece.indexOf('=');
        if (eq <= 0) continue;
        QByteArray v;
        if (!percentDecode(QByteArrayView(piece).sliced(eq + 1), v, true)) continue;
        const QByteArray name = piece.left(eq);
        if (name == "author")
            author = QString::fromUtf8(v);
        else if (name == "text")
            text = QString::fromUtf8(v);
    }
}

QByteArray buttonPicture(QByteArrayView name)
{
    if (name.size() < 5 || name.size() > 64 ||
        QByteArrayView(name.last(4)).compare(".bmp", Qt::CaseInsensitive) != 0)
        return {};
    return logoBitmap(name.first(name.size() - 4));
}

} // namespace dwdir
