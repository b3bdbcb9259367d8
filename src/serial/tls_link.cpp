#include "serial/tls_link.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

#include "serial/remote_ports.h"

namespace {

constexpr int kSliceMs = 10;

// The whole file, or what is wrong with reading it.
QByteArray read_file(const QString& path, const char* what, QString* problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot read the %1 %2: %3").arg(QLatin1String(what), path, file.errorString());
        return {};
    }
    return file.readAll();
}

QSslKey read_key(const QByteArray& pem)
{
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        const QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return {};
}

}  // namespace

namespace tls {

QString configuration(const PortUrl& url, QSslConfiguration* out)
{
    PortUrl files = url;
    // The settings fill in only what the URL leaves out, and a key never
    // comes without its certificate.
    if (files.ca.isEmpty())
        files.ca = remote_port_setting(QStringLiteral("tls/ca"));
    if (files.cert.isEmpty() && files.key.isEmpty()) {
        files.cert = remote_port_setting(QStringLiteral("tls/cert"));
        files.key = remote_port_setting(QStringLiteral("tls/key"));
    }
    if (files.cert.isEmpty() != files.key.isEmpty())
        return QStringLiteral("the settings' tls/cert and tls/key go together");

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    QString problem;
    if (!files.ca.isEmpty()) {
        const QByteArray pem = read_file(files.ca, "authority", &problem);
        if (!problem.isEmpty())
            return problem;
        const QList<QSslCertificate> authorities = QSslCertificate::fromData(pem, QSsl::Pem);
        if (authorities.isEmpty())
            return QStringLiteral("the authority %1 holds no PEM certificate").arg(files.ca);
        // Only the authority named: a certificate some public authority
        // signed for the same name is not the fixture host's.
        config.setCaCertificates(authorities);
    }
    if (!files.cert.isEmpty()) {
        const QByteArray cert_pem = read_file(files.cert, "certificate", &problem);
        const QByteArray key_pem = problem.isEmpty() ? read_file(files.key, "key", &problem) : QByteArray();
        if (!problem.isEmpty())
            return problem;
        const QList<QSslCertificate> chain = QSslCertificate::fromData(cert_pem, QSsl::Pem);
        if (chain.isEmpty())
            return QStringLiteral("the certificate %1 holds no PEM certificate").arg(files.cert);
        const QSslKey key = read_key(key_pem);
        if (key.isNull())
            return QStringLiteral("the key %1 is no PEM private key without a pass phrase").arg(files.key);
        config.setLocalCertificateChain(chain);
        config.setPrivateKey(key);
    }
    *out = config;
    return QString();
}

bool start(QSslSocket& socket, const PortUrl& url, const QString& name, int ms, QString* failure,
           const std::function<bool()>& stopped)
{
    if (!QSslSocket::supportsSsl()) {
        *failure = QStringLiteral("%1: TLS is not available here (no OpenSSL library)").arg(name);
        return false;
    }
    QSslConfiguration config;
    const QString problem = configuration(url, &config);
    if (!problem.isEmpty()) {
        *failure = QStringLiteral("%1: %2").arg(name, problem);
        return false;
    }
    socket.setSslConfiguration(config);
    socket.setPeerVerifyName(url.host);
    socket.startClientEncryption();
    QElapsedTimer clock;
    clock.start();
    while (!socket.isEncrypted()) {
        if (socket.state() != QAbstractSocket::ConnectedState)
            break;
        if (stopped && stopped()) {
            *failure = QStringLiteral("%1: stopped during the TLS handshake").arg(name);
            return false;
        }
        if (clock.elapsed() >= ms) {
            // One arg() for both: a name's own "%2F" is no place marker.
            *failure = QStringLiteral("%1: no TLS handshake within %2 s").arg(name, QString::number(ms / 1000));
            return false;
        }
        socket.waitForEncrypted(kSliceMs);
    }
    if (socket.isEncrypted())
        return true;
    const QList<QSslError> errors = socket.sslHandshakeErrors();
    *failure = errors.isEmpty()
                   ? QStringLiteral("%1: the TLS handshake failed: %2").arg(name, socket.errorString())
                   : QStringLiteral("%1: the server's certificate does not verify: %2")
                         .arg(name, errors.first().errorString());
    return false;
}

}  // namespace tls
