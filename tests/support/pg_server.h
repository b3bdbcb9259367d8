#pragma once

// A throwaway PostgreSQL server for tests: its own cluster in a temporary
// folder, on a free TCP port of 127.0.0.1 with its socket in that folder,
// trusting the local user "vq". The server refuses to run as root, so under
// root (a CI machine) every server command runs as the "postgres" user the
// Debian package creates (or "nobody"), owning the folder.

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hanging_server.h"
#include "records.h"

class PgServer {
public:
    static constexpr int kCommandTimeoutMs = 120000;

    PgServer() : dir_(QDir::tempPath() + QStringLiteral("/vq-pg-XXXXXX")) {}
    ~PgServer() { stop(); }

    bool start(QString* error)
    {
        bin_ = find_bin();
        if (bin_.isEmpty())
            return fail(error, QStringLiteral("no /usr/lib/postgresql/*/bin/initdb: install the postgresql package"));
        if (!dir_.isValid())
            return fail(error, QStringLiteral("no temporary folder"));
        if (::geteuid() == 0) {
            const passwd* pw = ::getpwnam("postgres");
            if (!pw)
                pw = ::getpwnam("nobody");
            if (!pw)
                return fail(error, QStringLiteral("running as root and no postgres or nobody user"));
            run_as_ = QString::fromLocal8Bit(pw->pw_name);
            if (::chown(QFile::encodeName(dir_.path()).constData(), pw->pw_uid, pw->pw_gid) != 0)
                return fail(error, QStringLiteral("cannot hand %1 to %2").arg(dir_.path(), run_as_));
        }
        port_ = free_port();
        if (port_ <= 0)
            return fail(error, QStringLiteral("no free port"));
        QString out;
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), data(), QStringLiteral("-U"), QStringLiteral("vq"), QStringLiteral("-A"),
                  QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-sync")},
                 &out))
            return fail(error, QStringLiteral("initdb failed: ") + out);
        const QString server_options =
            QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off").arg(port_).arg(dir_.path());
        if (!run(QStringLiteral("pg_ctl"),
                 {QStringLiteral("-D"), data(), QStringLiteral("-l"), dir_.filePath(QStringLiteral("server.log")),
                  QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                  server_options, QStringLiteral("start")},
                 &out))
            return fail(error, QStringLiteral("pg_ctl start failed: ") + out);
        running_ = true;
        return true;
    }

    void stop()
    {
        if (!running_)
            return;
        QString out;
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), data(), QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
             QStringLiteral("stop")},
            &out);
        running_ = false;
    }

    int port() const { return port_; }

    QString url(const QString& database) const
    {
        return QStringLiteral("postgresql://vq@127.0.0.1:%1/%2").arg(port_).arg(database);
    }

    // A fresh, empty database on the server.
    bool create_database(const QString& name, QString* error)
    {
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg_server_admin"));
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(port_);
            db.setUserName(QStringLiteral("vq"));
            db.setDatabaseName(QStringLiteral("postgres"));
            if (db.open()) {
                QSqlQuery q(db);
                ok = q.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name));
                if (!ok)
                    *error = q.lastError().text();
            } else {
                *error = db.lastError().text();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pg_server_admin"));
        return ok;
    }

private:
    static bool fail(QString* error, const QString& text)
    {
        *error = text;
        return false;
    }

    static QString find_bin()
    {
        QDir root(QStringLiteral("/usr/lib/postgresql"));
        QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(),
                  [](const QString& a, const QString& b) { return a.toDouble() > b.toDouble(); });
        for (const QString& v : versions) {
            const QString bin = root.filePath(v + QStringLiteral("/bin"));
            if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
                return bin;
        }
        return QString();
    }

    static int free_port()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        int port = -1;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
        ::close(fd);
        return port;
    }

    QString data() const { return dir_.filePath(QStringLiteral("data")); }

    bool run(const QString& tool, const QStringList& args, QString* out) const
    {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QString program = bin_ + QLatin1Char('/') + tool;
        if (run_as_.isEmpty())
            p.start(program, args);
        else
            p.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), run_as_, QStringLiteral("--"), program} + args);
        const bool done = p.waitForFinished(kCommandTimeoutMs);
        *out = QString::fromLocal8Bit(p.readAll());
        return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir dir_;
    QString bin_;
    QString run_as_;
    int port_ = -1;
    bool running_ = false;
};

// Fresh, empty records stores of both kinds for the rows of a data table:
// a file in a temporary folder, or a new database on one throwaway server.
class RecordsStores {
public:
    // Not skipped when the server is missing: the records on a server are half of what is tested.
    bool start(QString* error) { return dir_.isValid() && server_.start(error); }

    static void add_rows()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
    }

    QString fresh(const QString& backend)
    {
        const QString name = QStringLiteral("records%1").arg(++count_);
        if (backend == QLatin1String("sqlite"))
            return dir_.filePath(name + QStringLiteral(".db"));
        QString error;
        if (!server_.create_database(name, &error))
            qWarning("cannot create database %s: %s", qPrintable(name), qPrintable(error));
        return server_.url(name);
    }

    QString dir() const { return dir_.path(); }
    const PgServer& server() const { return server_; }

private:
    QTemporaryDir dir_;
    PgServer server_;
    int count_ = 0;
};

// Every record a target holds, read as `vqprog records` reads them; none
// (with a warning) when the target cannot be read.
inline QVector<BoardRecord> records_in(const QString& target)
{
    QString error;
    QVector<BoardRecord> all;
    const auto db = RecordsDb::open(target, RecordsDb::Access::Read, &error);
    if (!db || !db->list({}, &all, &error))
        qWarning("cannot read the records: %s", qPrintable(error));
    return all;
}

// A "server" that takes connections and never says a word: the kernel
// completes each handshake into the backlog, nobody accepts or answers. A
// client waits on it as on a server that is frozen.
class SilentServer {
public:
    SilentServer()
    {
        fd_ = listen_on_loopback(64, &port_);
    }
    ~SilentServer() { ::close(fd_); }
    // connect_timeout=0: the client library alone would wait for ever.
    QString url() const
    {
        return QStringLiteral("postgresql://vq@127.0.0.1:%1/silent?connect_timeout=0").arg(port_);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};
