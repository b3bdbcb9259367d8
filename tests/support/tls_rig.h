#pragma once

// Certificates for a test's TLS port server, made with the openssl command
// line in a temporary folder: an authority, a server certificate it signed
// for 127.0.0.1 alone (not for localhost), a client certificate it signed, and a second authority that
// signed nothing the server holds.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

class TestCertificates {
public:
    bool make(QString* error)
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty()) {
            *error = "no openssl command";
            return false;
        }
        QFile ext(path("server.ext"));
        if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=IP:127.0.0.1\n") < 0) {
            *error = "cannot write " + ext.fileName();
            return false;
        }
        ext.close();
        // EC keys: made in milliseconds, where RSA would cost a loaded machine seconds.
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        return run(QStringList{"req", "-x509"} + key + QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
                                                                   "-subj", "/CN=fixture test authority"},
                   error) &&
               run(QStringList{"req", "-x509"} + key + QStringList{"-keyout", "other.key", "-out", "other.crt", "-days",
                                                                   "2", "-subj", "/CN=another authority"},
                   error) &&
               sign("server", "127.0.0.1", {"-extfile", "server.ext"}, error) &&
               sign("client", "programming-pc", {}, error) && allow_clients(error);
    }
    // ser2net's folder of allowed client certificates: those of our authority
    // for the common name programming-pc.
    QString auth_dir() const { return path("auth"); }
    QString path(const QString& file) const { return dir_.filePath(file); }
    QString ca() const { return path("ca.crt"); }
    QString other_ca() const { return path("other.crt"); }

private:
    bool allow_clients(QString* error)
    {
        const QString allowed = path("auth/programming-pc/allowed_certs");
        if (!QDir().mkpath(allowed) || !QFile::copy(ca(), allowed + "/ca.crt")) {
            *error = "cannot fill " + allowed;
            return false;
        }
        return run({"rehash", allowed}, error);
    }
    bool sign(const QString& name, const QString& common_name, const QStringList& extra, QString* error)
    {
        return run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    name + ".key", "-out", name + ".csr", "-subj", "/CN=" + common_name},
                   error) &&
               run(QStringList{"x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                               "-CAcreateserial", "-out", name + ".crt", "-days", "2"} +
                       extra,
                   error);
    }
    bool run(const QStringList& args, QString* error)
    {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("openssl", args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            *error = "openssl " + args.join(' ') + ": " + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    QTemporaryDir dir_;
};
