#pragma once
// A private PostgreSQL server for tests and benchmarks: made by initdb in a temporary
// folder, run by an unprivileged user (the package's "postgres", or the test's own user
// when it is not root) on a loopback port, stopped when the object goes.
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <pwd.h>
#include <unistd.h>

namespace dwtest {

class PrivatePostgres
{
public:
    ~PrivatePostgres()
    {
        if (running_) pgctl({"-D", data_, "-m", "immediate", "stop"});
    }

    // The folder of initdb and pg_ctl; empty when PostgreSQL is not installed.
    static QString binFolder()
    {
        QString bin;
        for (const QString& v :
             QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (QFile::exists("/usr/lib/postgresql/" + v + "/bin/initdb"))
                bin = "/usr/lib/postgresql/" + v + "/bin/";
        return bin;
    }

    // Makes the cluster, starts it and makes the database `name`; false with `error` set.
    bool start(const QString& name, QString* error)
    {
        bin_ = binFolder();
        if (bin_.isEmpty()) return *error = "PostgreSQL is not installed", false;
        data_ = tmp_.filePath("pg");
        QDir().mkpath(data_);
        if (::geteuid() == 0) {
            const passwd* pw = ::getpwnam("postgres");
            if (!pw) pw = ::getpwnam("nobody");
            if (!pw) return *error = "no unprivileged user", false;
            user_ = QString::fromLocal8Bit(pw->pw_name);
            QFile::setPermissions(tmp_.path(), QFile::permissions(tmp_.path()) | QFile::ExeOther);
            if (::chown(QFile::encodeName(data_).constData(), pw->pw_uid, pw->pw_gid) != 0)
                return *error = "cannot hand the folder over", false;
        }
        if (!run(bin_ + "initdb", {"-D", data_, "-A", "trust", "-U", "postgres"}, error))
            return false;
        port_ = freePort();
        if (!resume(error)) return false;
        return createDatabase(name, error);
    }

    // Makes another database on the server.
    bool createDatabase(const QString& name, QString* error)
    {
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase("QPSQL", "dw-private-postgres");
            admin.setHostName("127.0.0.1");
            admin.setPort(port_);
            admin.setUserName("postgres");
            admin.setDatabaseName("postgres");
            if (!admin.open()) *error = admin.lastError().text();
            QSqlQuery q(admin);
            if (admin.isOpen() && !q.exec("CREATE DATABASE " + name)) *error = q.lastError().text();
        }
        QSqlDatabase::removeDatabase("dw-private-postgres");
        return error->isEmpty();
    }

    // Stops the server (fast: connections are ended) and starts it again.
    bool stop(QString* error)
    {
        running_ = false;
        return pgctl({"-D", data_, "-m", "fast", "-w", "stop"}, error);
    }
    bool resume(QString* error)
    {
        running_ = pgctl(
            {"-D", data_, "-l", data_ + "/server.log", "-o",
             QStringLiteral("-k %1 -p %2 -c listen_addresses=127.0.0.1").arg(data_).arg(port_),
             "-w", "start"},
            error);
        return running_;
    }

    QString url(const QString& name) const
    {
        return QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2").arg(port_).arg(name);
    }

private:
    bool pgctl(const QStringList& args, QString* error = nullptr)
    {
        return run(bin_ + "pg_ctl", args, error);
    }
    bool run(const QString& program, const QStringList& args, QString* error)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (!user_.isEmpty())
            p.start("runuser", QStringList{"-u", user_, "--", program} + args);
        else
            p.start(program, args);
        const bool ok =
            p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!ok && error) *error = program + ": " + QString::fromLocal8Bit(p.readAll());
        return ok;
    }

    QTemporaryDir tmp_;
    QString bin_, data_, user_;
    quint16 port_ = 0;
    bool running_ = false;
};

} // namespace dwtest
