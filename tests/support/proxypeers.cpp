#include "support/proxypeers.h"

#include <QFile>
#include <QSettings>

#include <unistd.h>

namespace testsupport {

namespace {

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

} // namespace

void clearProxyConfiguration()
{
    QSettings("Orvane", "quOrbel Pro").clear();
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY",
                             "socks_proxy", "SOCKS_PROXY", "no_proxy", "NO_PROXY"})
        qunsetenv(name);
}

bool startMicrosocks(PeerProcess& peer, quint16 port, const QString& user, const QString& password)
{
    QStringList args{"-i", "127.0.0.1", "-p", QString::number(port)};
    if (!user.isEmpty())
        args << "-u" << user << "-P" << password;
    return peer.start("microsocks", args, port);
}

bool startDante(PeerProcess& peer, const QString& dir, quint16 port)
{
    const QByteArray conf = QString("logoutput: %1/danted.log\n"
                                    "internal: 127.0.0.1 port = %2\n"
                                    "external: 127.0.0.1\n"
                                    "clientmethod: none\n"
                                    "socksmethod: none\n"
                                    "user.privileged: root\n"
                                    "user.unprivileged: nobody\n"
                                    // Debian's dante wants one keyword per line inside a rule.
                                    "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n log: error\n}\n"
                                    "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n"
                                    " log: error connect\n}\n"
                                    "socks block {\n from: 0.0.0.0/0 to: 0.0.0.0/0\n log: error\n}\n")
                                .arg(dir)
                                .arg(port)
                                .toUtf8();
    if (!writeFile(dir + "/danted.conf", conf))
        return false;
    return peer.start("danted", {"-f", dir + "/danted.conf", "-p", dir + "/danted.pid"}, port);
}

bool startTinyproxy(PeerProcess& peer, const QString& dir, quint16 port, const QString& user,
                    const QString& password)
{
    // tinyproxy drops to nobody: its log must be writable by that user.
    const QString log = dir + "/tinyproxy.log";
    writeFile(log, {});
    QFile::setPermissions(log, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                   | QFileDevice::WriteOther);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                   | QFileDevice::ReadOther | QFileDevice::ExeOther);
    QByteArray conf = QString("User nobody\nGroup nogroup\nPort %1\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                              "LogFile \"%2\"\nLogLevel Info\nTimeout 30\nMaxClients 20\n")
                          .arg(port)
                          .arg(log)
                          .toUtf8();
    if (!user.isEmpty())
        conf += QString("BasicAuth %1 %2\n").arg(user, password).toUtf8();
    if (!writeFile(dir + "/tinyproxy.conf", conf))
        return false;
    return peer.start("tinyproxy", {"-d", "-c", dir + "/tinyproxy.conf"}, port);
}

} // namespace testsupport
