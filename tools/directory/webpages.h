#pragma once
// The program's web pages as the demo world serves them: the news page, a station's
// information page, the song search, a small forum per station and the search-engine
// pictures. Pages are plain HTML without outside resources; station actions are
// "dialwise:" links that the program catches.
#include "station.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace dwdir {

// A station key as the program sends it ("address:port", or a stream address without its
// scheme) matches a listed station.
bool keyMatches(const Station& s, QByteArrayView key);
// The first station of `stations` a key names, or none.
const Station* findByKey(const QList<const Station*>& stations, QByteArrayView key);

// A "dialwise:" link with the action for a station, its back-quotes percent-encoded.
QByteArray stationLink(const Station& s, QByteArrayView action);

// "/mini2.shtml".
QByteArray newsPage(const QList<const Station*>& stations, qint64 now);
// "/program/serverinfo.asp?ip=KEY": `s` is the station the key names, or none.
QByteArray serverInfoPage(const Station* s, QByteArrayView key, qint64 now);
// "/program/titlesearch.asp[?q=TEXT]": stations whose current song or name holds the text.
QByteArray titleSearchPage(const QList<const Station*>& stations, const QString& text);

struct ForumPost
{
    qint64 time = 0;
    QString author;
    QString text;
};

// The forums: posts by station key, kept in a text file (one post a line) when a file is
// given. Lengths and counts are capped: the forum takes what anyone sends it.
class ForumStore
{
public:
    static constexpr int MaxAuthor = 40;
    static constexpr int MaxText = 2000;
    static constexpr int MaxPostsPerKey = 200;
    static constexpr int MaxKey = 512;

    // Reads the file when it exists; lines that do not read as posts are skipped.
    explicit ForumStore(QString file = {});
    // Adds a post and appends it to the file; false (nothing kept) for an empty text or key.
    bool post(const QString& key, QString author, QString text, qint64 now);
    // The post as it is kept: key, author and text cleaned and capped; false when the text
    // or the key is empty.
    static bool prepare(const QString& key, const QString& author, const QString& text, qint64 now,
                        QString& cleanKey, ForumPost& p);
    QList<ForumPost> posts(const QString& key) const;
    QString error() const { return error_; }

    // One line of the file and its reading (tabs and line breaks in texts escaped).
    static QByteArray line(const QString& key, const ForumPost& p);
    static bool readLine(QByteArrayView line, QString& key, ForumPost& p);

private:
    QString file_;
    QString error_;
    QHash<QString, QList<ForumPost>> posts_;
};

// "/program/forums.asp?ip=KEY": the station's posts and a form to add one.
QByteArray forumsPage(const Station* s, const QString& key, const QList<ForumPost>& posts);
// The values of "author" and "text" in a form body ("a=b&c=d", "+" and "%XX" encoded).
void readForumForm(QByteArrayView body, QString& author, QString& text);

// "/buttons/NAME" (a ".bmp" name): the search-engine picture; empty for other names.
QByteArray buttonPicture(QByteArrayView name);

} // namespace dwdir
