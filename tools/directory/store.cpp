#include "store.h"

#include "livestatus.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <cstdio>

namespace dwdir {

namespace {

constexpr const char* kChannel = "dialwise_directory_changed";
constexpr int kHealthMs = 1000;
constexpr int kReconnectMs = 1000;
constexpr int kTouchNotifyMs = 500;

QString str(const QByteArray& b)
{
    return QString::fromUtf8(b);
}

QByteArray bytes(const QVariant& v)
{
    return v.toString().toUtf8();
}

// One step of the schema: the statements that take a database from the version before
// to this one. "%ID%" stands for an auto-numbered key column.
struct Migration
{
    int version;
    QList<const char*> statements;
};

const QList<Migration>& migrations()
{
    static const QList<Migration> m = {
        {1,
         {"CREATE TABLE stations (id %ID%, origin TEXT NOT NULL, ip TEXT NOT NULL, "
          "hostname TEXT, genre TEXT, numplayers BIGINT, maxplayers BIGINT, bitrate BIGINT, "
          "avgtime BIGINT, uptime BIGINT, chatip TEXT, url TEXT, songtitle TEXT, ping BIGINT, "
          "type INTEGER, bnum TEXT)",
          "CREATE TABLE listings (sid TEXT PRIMARY KEY, source TEXT NOT NULL, "
          "listenurl TEXT NOT NULL, name TEXT, genre TEXT, description TEXT, url TEXT, "
          "content_type TEXT, stype TEXT, bitrate BIGINT, audio_info TEXT, song TEXT, "
          "listeners BIGINT, max_listeners BIGINT, added BIGINT, touched BIGINT, "
          "verified INTEGER NOT NULL DEFAULT 0)",
          "CREATE TABLE forum_posts (id %ID%, station_key TEXT NOT NULL, time BIGINT, "
          "author TEXT, body TEXT)",
          "CREATE TABLE usage_reports (id %ID%, time BIGINT, source TEXT, report TEXT)",
          "CREATE TABLE motd_texts (name TEXT PRIMARY KEY, value TEXT)"}},
        {2,
         {"CREATE INDEX forum_posts_key ON forum_posts (station_key, id)",
          "CREATE INDEX listings_source ON listings (source)",
          "CREATE INDEX listings_touched ON listings (touched)",
          "CREATE INDEX stations_origin ON stations (origin)"}},
    };
    return m;
}

} // namespace

Station stationOf(const Listing& l)
{
    Station s;
    s.ip = cleanValue(l.listenUrl);
    s.hostname = cleanValue(l.name.isEmpty() ? l.listenUrl : l.name);
    s.genre = cleanValue(l.genre);
    s.numplayers = qMax<qint64>(0, l.listeners);
    s.maxplayers = l.maxListeners > 0 ? l.maxListeners : kDefaultLiveCapacity;
    s.bitrate = qMax<qint64>(0, l.bitrate);
    s.uptime = l.added;
    const QUrl u(QString::fromUtf8(l.listenUrl));
    s.chatip = cleanValue(u.host().toUtf8() + ':' + QByteArray::number(u.port(80)));
    s.url = cleanValue(l.url);
    s.songtitle = cleanValue(l.song);
    s.type = 0;
    s.live = true;
    s.prepare();
    return s;
}

Store::Store(QObject* parent) : QObject(parent)
{
    static int serial = 0;
    connection_ = QStringLiteral("dialwise-directory-%1").arg(++serial);
    health_.setInterval(kHealthMs);
    connect(&health_, &QTimer::timeout, this, &Store::check);
    reconnect_.setInterval(kReconnectMs);
    connect(&reconnect_, &QTimer::timeout, this, &Store::reconnect);
    touchNotify_.setSingleShot(true);
    connect(&touchNotify_, &QTimer::timeout, this, [this] {
        lastTouchNotify_.restart();
        sendNotify(QStringLiteral("figures"));
    });
}

Store::~Store()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (db.isValid()) db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

bool Store::open(const QString& location, QString* error)
{
    location_ = location;
    const QUrl url(location);
    postgres_ =
        url.scheme() == QLatin1String("postgresql") || url.scheme() == QLatin1String("postgres");
    QSqlDatabase db = QSqlDatabase::addDatabase(
        postgres_ ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), connection_);
    if (!db.isValid()) {
        *error = QStringLiteral("the %1 driver of Qt SQL is not installed")
                     .arg(postgres_ ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"));
        return false;
    }
    if (postgres_) {
        if (url.host().isEmpty() || url.path().size() < 2) {
            *error = QStringLiteral("a PostgreSQL address is postgresql://USER@HOST:PORT/NAME");
            return false;
        }
        db.setHostName(url.host());
        db.setPort(url.port(5432));
        db.setDatabaseName(url.path().mid(1));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setConnectOptions(QStringLiteral("connect_timeout=3"));
    } else {
        if (location != QLatin1String(":memory:")) {
            const QFileInfo fi(location);
            QDir().mkpath(fi.absolutePath());
        }
        db.setDatabaseName(location);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    if (!connectDb(error)) return false;
    if (!migrate(error)) return false;
    up_ = true;
    health_.start();
    return true;
}

bool Store::connectDb(QString* error)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    if (postgres_) {
        QSqlDriver* driver = db.driver();
        driver->subscribeToNotification(QLatin1String(kChannel));
        // A connection made anew after a loss subscribes again; one handler only.
        disconnect(driver, nullptr, this, nullptr);
        connect(
            driver, &QSqlDriver::notification, this,
            [this](const QString&, QSqlDriver::NotificationSource source, const QVariant& payload) {
                if (source == QSqlDriver::SelfSource) return;
                emit changed(payload.toString() != QLatin1String("figures"));
            });
    } else {
        // WAL: readers never wait for the writer; NORMAL: a commit survives the process
        // being killed at any moment (the log is written before the commit returns).
        for (const char* pragma :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
            QSqlQuery q(db);
            if (!q.exec(QLatin1String(pragma))) {
                *error = q.lastError().text();
                return false;
            }
        }
        dataVersion_ = -1;
    }
    return true;
}

bool Store::migrate(QString* error)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    auto fail = [&](const QSqlQuery& q) {
        *error = q.lastError().text();
        rollback();
        return false;
    };
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS schema_meta (name TEXT PRIMARY KEY, value TEXT)"))) {
        // Two processes starting at once on PostgreSQL may race to make the table.
        if (!postgres_ || !q.exec(QStringLiteral("SELECT 1 FROM schema_meta"))) return fail(q);
    }
    if (!begin()) {
        *error = lastError_;
        return false;
    }
    // One process migrates at a time; the others wait and then find the work done.
    if (postgres_ && !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(270027)")))
        return fail(q);
    if (!q.exec(QStringLiteral("SELECT value FROM schema_meta WHERE name = 'version'")))
        return fail(q);
    int version = q.next() ? q.value(0).toInt() : 0;
    if (version > kSchemaVersion) {
        rollback();
        *error = QStringLiteral("the database has schema version %1, newer than this "
                                "program's %2")
                     .arg(version)
                     .arg(kSchemaVersion);
        return false;
    }
    const QString id = postgres_ ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                 : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
    for (const Migration& m : migrations()) {
        if (m.version <= version) continue;
        for (const char* s : m.statements)
            if (!q.exec(QString::fromLatin1(s).replace(QLatin1String("%ID%"), id))) return fail(q);
        q.prepare(
            version == 0 && m.version == migrations().first().version
                ? QStringLiteral("INSERT INTO schema_meta (name, value) VALUES ('version', ?)")
                : QStringLiteral("UPDATE schema_meta SET value = ? WHERE name = 'version'"));
        q.addBindValue(QString::number(m.version));
        if (!q.exec()) return fail(q);
        std::fprintf(stderr, "dialwise-directory: database schema version %d\n", m.version);
        version = m.version;
    }
    if (!commit()) {
        *error = lastError_;
        return false;
    }
    return true;
}

int Store::schemaVersion()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("SELECT value FROM schema_meta WHERE name = 'version'")) ||
        !q.next())
        return 0;
    return q.value(0).toInt();
}

bool Store::begin()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // SQLite: take the write lock at once, so two writers never deadlock on an upgrade.
    if (!q.exec(postgres_ ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        failed(q);
        return false;
    }
    return true;
}

bool Store::commit()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("COMMIT"))) {
        failed(q);
        rollback();
        return false;
    }
    return true;
}

void Store::rollback()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.exec(QStringLiteral("ROLLBACK"));
}

bool Store::exec(QSqlQuery& q)
{
    if (q.exec()) return true;
    failed(q);
    return false;
}

bool Store::exec(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (q.exec(sql)) return true;
    failed(q);
    return false;
}

void Store::failed(const QSqlQuery& q)
{
    lastError_ = q.lastError().text();
    std::fprintf(stderr, "dialwise-directory: database: %s\n", qPrintable(lastError_));
    if (!up_) return;
    QSqlQuery probe(QSqlDatabase::database(connection_, false));
    if (!probe.exec(QStringLiteral("SELECT 1"))) goDown();
}

void Store::goDown()
{
    if (!up_) return;
    up_ = false;
    health_.stop();
    std::fprintf(stderr, "dialwise-directory: the database went away; reconnecting\n");
    QSqlDatabase::database(connection_, false).close();
    reconnect_.start();
    emit availabilityChanged(false);
}

void Store::reconnect()
{
    QString error;
    if (!connectDb(&error) || !migrate(&error)) {
        QSqlDatabase::database(connection_, false).close();
        return;
    }
    reconnect_.stop();
    up_ = true;
    health_.start();
    std::fprintf(stderr, "dialwise-directory: the database is back\n");
    emit availabilityChanged(true);
    // What others changed meanwhile was not announced to this process.
    emit changed(true);
}

void Store::check()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (postgres_) {
        if (!q.exec(QStringLiteral("SELECT 1"))) goDown();
        return;
    }
    // Another process writing the same file changes its data version.
    if (!q.exec(QStringLiteral("PRAGMA data_version")) || !q.next()) return;
    const qint64 v = q.value(0).toLongLong();
    if (dataVersion_ >= 0 && v != dataVersion_) emit changed(true);
    dataVersion_ = v;
}

void Store::sendNotify(const QString& what)
{
    if (!postgres_ || !up_) return;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT pg_notify(?, ?)"));
    q.addBindValue(QLatin1String(kChannel));
    q.addBindValue(what);
    exec(q);
}

void Store::notifyOthers(bool structural)
{
    emit changed(structural);
    if (!postgres_) return;
    if (structural) {
        sendNotify(QStringLiteral("stations"));
        return;
    }
    if (!lastTouchNotify_.isValid() || lastTouchNotify_.elapsed() >= kTouchNotifyMs) {
        lastTouchNotify_.restart();
        sendNotify(QStringLiteral("figures"));
    } else if (!touchNotify_.isActive()) {
        touchNotify_.start(int(kTouchNotifyMs - lastTouchNotify_.elapsed()));
    }
}

Store::Import Store::replaceStations(const QByteArray& origin, const QList<Station>& stations,
                                     const QByteArray& fingerprint)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    if (!begin()) return Import::Failed;
    auto fail = [&] {
        rollback();
        return Import::Failed;
    };
    if (postgres_) {
        q.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(270028)"));
        if (!exec(q)) return fail();
    }
    const QString key = QStringLiteral("import:") + str(origin);
    q.prepare(QStringLiteral("SELECT value FROM schema_meta WHERE name = ?"));
    q.addBindValue(key);
    if (!exec(q)) return fail();
    const bool known = q.next();
    if (known && q.value(0).toString() == str(fingerprint)) {
        rollback();
        return Import::Unchanged;
    }
    q.prepare(QStringLiteral("DELETE FROM stations WHERE origin = ?"));
    q.addBindValue(str(origin));
    if (!exec(q)) return fail();
    q.prepare(QStringLiteral(
        "INSERT INTO stations (origin, ip, hostname, genre, numplayers, maxplayers, bitrate, "
        "avgtime, uptime, chatip, url, songtitle, ping, type, bnum) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const Station& s : stations) {
        q.addBindValue(str(origin));
        q.addBindValue(str(s.ip));
        q.addBindValue(str(s.hostname));
        q.addBindValue(str(s.genre));
        q.addBindValue(s.numplayers);
        q.addBindValue(s.maxplayers);
        q.addBindValue(s.bitrate);
        q.addBindValue(s.avgtime);
        q.addBindValue(s.uptime);
        q.addBindValue(str(s.chatip));
        q.addBindValue(str(s.url));
        q.addBindValue(str(s.songtitle));
        q.addBindValue(s.ping);
        q.addBindValue(s.type);
        q.addBindValue(str(s.bnum));
        if (!exec(q)) return fail();
    }
    q.prepare(known ? QStringLiteral("UPDATE schema_meta SET value = ? WHERE name = ?")
                    : QStringLiteral("INSERT INTO schema_meta (value, name) VALUES (?, ?)"));
    q.addBindValue(str(fingerprint));
    q.addBindValue(key);
    if (!exec(q)) return fail();
    if (postgres_) sendNotify(QStringLiteral("stations"));
    if (!commit()) return Import::Failed;
    emit changed(true);
    return Import::Done;
}

std::optional<bool> Store::imported(const QByteArray& origin)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT 1 FROM schema_meta WHERE name = ?"));
    q.addBindValue(QStringLiteral("import:") + str(origin));
    if (!exec(q)) return std::nullopt;
    return q.next();
}

std::optional<QList<Station>> Store::stations()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QList<Station> out;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT sid, source, listenurl, name, genre, description, url, content_type, stype, "
        "bitrate, audio_info, song, listeners, max_listeners, added, touched FROM listings "
        "WHERE verified = 1 ORDER BY added DESC, sid"));
    if (!exec(q)) return std::nullopt;
    while (q.next()) {
        Listing l;
        l.listenUrl = bytes(q.value(2));
        l.name = bytes(q.value(3));
        l.genre = bytes(q.value(4));
        l.url = bytes(q.value(6));
        l.bitrate = q.value(9).toLongLong();
        l.song = bytes(q.value(11));
        l.listeners = q.value(12).toLongLong();
        l.maxListeners = q.value(13).toLongLong();
        l.added = q.value(14).toLongLong();
        out << stationOf(l);
    }
    q.prepare(QStringLiteral(
        "SELECT ip, hostname, genre, numplayers, maxplayers, bitrate, avgtime, uptime, chatip, "
        "url, songtitle, ping, type, bnum FROM stations ORDER BY id"));
    if (!exec(q)) return std::nullopt;
    while (q.next()) {
        Station s;
        s.ip = bytes(q.value(0));
        s.hostname = bytes(q.value(1));
        s.genre = bytes(q.value(2));
        s.numplayers = q.value(3).toLongLong();
        s.maxplayers = q.value(4).toLongLong();
        s.bitrate = q.value(5).toLongLong();
        s.avgtime = q.value(6).toLongLong();
        s.uptime = q.value(7).toLongLong();
        s.chatip = bytes(q.value(8));
        s.url = bytes(q.value(9));
        s.songtitle = bytes(q.value(10));
        s.ping = q.value(11).toLongLong();
        s.type = q.value(12).toInt();
        s.bnum = bytes(q.value(13));
        s.prepare();
        out << std::move(s);
    }
    return out;
}

bool Store::addPost(const QString& key, const ForumPost& p, int keep)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!begin()) return false;
    q.prepare(QStringLiteral(
        "INSERT INTO forum_posts (station_key, time, author, body) VALUES (?, ?, ?, ?)"));
    q.addBindValue(key);
    q.addBindValue(p.time);
    q.addBindValue(p.author);
    q.addBindValue(p.text);
    if (!exec(q)) return rollback(), false;
    // Only the newest posts of a station are kept.
    q.prepare(QStringLiteral(
        "DELETE FROM forum_posts WHERE station_key = ? AND id NOT IN (SELECT id FROM "
        "forum_posts WHERE station_key = ? ORDER BY id DESC LIMIT ?)"));
    q.addBindValue(key);
    q.addBindValue(key);
    q.addBindValue(keep);
    if (!exec(q)) return rollback(), false;
    return commit();
}

std::optional<QList<ForumPost>> Store::posts(const QString& key)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT time, author, body FROM forum_posts WHERE station_key = ? ORDER BY id"));
    q.addBindValue(key);
    if (!exec(q)) return std::nullopt;
    QList<ForumPost> out;
    while (q.next()) {
        ForumPost p;
        p.time = q.value(0).toLongLong();
        p.author = q.value(1).toString();
        p.text = q.value(2).toString();
        out << p;
    }
    return out;
}

bool Store::addReport(qint64 time, const QByteArray& from, const QByteArray& text)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("INSERT INTO usage_reports (time, source, report) VALUES (?, ?, ?)"));
    q.addBindValue(time);
    q.addBindValue(str(from));
    q.addBindValue(str(text));
    return exec(q);
}

std::optional<qint64> Store::reportCount()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM usage_reports")) || !q.next()) {
        failed(q);
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

bool Store::setMotdTexts(const QByteArray& news, const QByteArray& pushed)
{
    if (!begin()) return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!exec(QStringLiteral("DELETE FROM motd_texts"))) return rollback(), false;
    q.prepare(QStringLiteral("INSERT INTO motd_texts (name, value) VALUES (?, ?)"));
    for (const auto& [name, value] : {std::pair{"news", &news}, std::pair{"pushed", &pushed}}) {
        q.addBindValue(QLatin1String(name));
        q.addBindValue(str(*value));
        if (!exec(q)) return rollback(), false;
    }
    return commit();
}

bool Store::motdTexts(QByteArray& news, QByteArray& pushed)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("SELECT name, value FROM motd_texts"))) {
        failed(q);
        return false;
    }
    news.clear();
    pushed.clear();
    while (q.next()) {
        if (q.value(0).toString() == QLatin1String("news")) news = bytes(q.value(1));
        if (q.value(0).toString() == QLatin1String("pushed")) pushed = bytes(q.value(1));
    }
    return true;
}

bool Store::addListing(const Listing& l)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!begin()) return false;
    q.prepare(QStringLiteral("DELETE FROM listings WHERE listenurl = ? AND source = ?"));
    q.addBindValue(str(l.listenUrl));
    q.addBindValue(str(l.source));
    if (!exec(q)) return rollback(), false;
    const bool replaced = q.numRowsAffected() > 0;
    q.prepare(QStringLiteral(
        "INSERT INTO listings (sid, source, listenurl, name, genre, description, url, "
        "content_type, stype, bitrate, audio_info, song, listeners, max_listeners, added, "
        "touched, verified) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)"));
    for (const QByteArray* v : {&l.sid, &l.source, &l.listenUrl, &l.name, &l.genre, &l.description,
                                &l.url, &l.contentType, &l.stype})
        q.addBindValue(str(*v));
    q.addBindValue(l.bitrate);
    q.addBindValue(str(l.audioInfo));
    q.addBindValue(str(l.song));
    q.addBindValue(l.listeners);
    q.addBindValue(l.maxListeners);
    q.addBindValue(l.added);
    q.addBindValue(l.touched);
    if (!exec(q)) return rollback(), false;
    if (replaced && postgres_) sendNotify(QStringLiteral("stations"));
    if (!commit()) return false;
    if (replaced) emit changed(true);
    return true;
}

std::optional<qint64> Store::listingCount(const QByteArray& source)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM listings WHERE source = ?"));
    q.addBindValue(str(source));
    if (!exec(q) || !q.next()) return std::nullopt;
    return q.value(0).toLongLong();
}

std::optional<Listing> Store::listing(const QByteArray& sid)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral(
        "SELECT source, listenurl, name, genre, song, listeners, max_listeners, bitrate, "
        "added, touched, verified FROM listings WHERE sid = ?"));
    q.addBindValue(str(sid));
    if (!exec(q)) return std::nullopt;
    Listing l;
    if (!q.next()) return l; // empty sid: none
    l.sid = sid;
    l.source = bytes(q.value(0));
    l.listenUrl = bytes(q.value(1));
    l.name = bytes(q.value(2));
    l.genre = bytes(q.value(3));
    l.song = bytes(q.value(4));
    l.listeners = q.value(5).toLongLong();
    l.maxListeners = q.value(6).toLongLong();
    l.bitrate = q.value(7).toLongLong();
    l.added = q.value(8).toLongLong();
    l.touched = q.value(9).toLongLong();
    l.verified = q.value(10).toInt() != 0;
    return l;
}

int Store::touchListing(const QByteArray& sid, const QByteArray& source, const QByteArray& song,
                        qint64 listeners, qint64 maxListeners, qint64 now)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral(
        "UPDATE listings SET song = ?, listeners = ?, max_listeners = ?, touched = ? "
        "WHERE sid = ? AND source = ? RETURNING verified"));
    q.addBindValue(str(song));
    q.addBindValue(listeners);
    q.addBindValue(maxListeners);
    q.addBindValue(now);
    q.addBindValue(str(sid));
    q.addBindValue(str(source));
    if (!exec(q)) return -1;
    if (!q.next()) return 0;
    const bool verified = q.value(0).toInt() != 0;
    q.finish();
    notifyOthers(false);
    return verified ? 1 : 2;
}

void Store::touchListings(const QList<Touch>& touches, qint64 now, QList<int>& results)
{
    results = QList<int>(touches.size(), -1);
    if (!begin()) return;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral(
        "UPDATE listings SET song = ?, listeners = ?, max_listeners = ?, touched = ? "
        "WHERE sid = ? AND source = ? RETURNING verified"));
    bool any = false;
    for (qsizetype i = 0; i < touches.size(); ++i) {
        const Touch& t = touches[i];
        q.addBindValue(str(t.song));
        q.addBindValue(t.listeners);
        q.addBindValue(t.maxListeners);
        q.addBindValue(now);
        q.addBindValue(str(t.sid));
        q.addBindValue(str(t.source));
        if (!exec(q)) {
            rollback();
            results.fill(-1);
            return;
        }
        results[i] = !q.next() ? 0 : q.value(0).toInt() != 0 ? 1 : 2;
        any = any || results[i] > 0;
        q.finish();
    }
    if (!commit()) {
        results.fill(-1);
        return;
    }
    if (any) notifyOthers(false);
}

bool Store::verifyListing(const QByteArray& sid)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("UPDATE listings SET verified = 1 WHERE sid = ? AND verified = 0"));
    q.addBindValue(str(sid));
    if (!exec(q)) return false;
    if (q.numRowsAffected() > 0) notifyOthers(true);
    return true;
}

int Store::removeListing(const QByteArray& sid, const QByteArray& source)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("DELETE FROM listings WHERE sid = ? AND source = ?"));
    q.addBindValue(str(sid));
    q.addBindValue(str(source));
    if (!exec(q)) return -1;
    const int n = q.numRowsAffected();
    if (n > 0) notifyOthers(true);
    return n > 0 ? 1 : 0;
}

int Store::expireListings(qint64 before)
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("DELETE FROM listings WHERE touched < ?"));
    q.addBindValue(before);
    if (!exec(q)) return -1;
    const int n = q.numRowsAffected();
    if (n > 0) notifyOthers(true);
    return n;
}

} // namespace dwdir
