#include "support/nginxrtmp.h"

#include <QDir>
#include <QFile>

namespace testsupport {

bool startNginxRtmp(PeerProcess& peer, const QString& dir, const NginxRtmpPorts& ports, const QString& onPublishUrl)
{
    QDir().mkpath(dir + "/rec");
    QString conf = QString("daemon off; master_process on; worker_processes 1; user root; pid %1/nginx.pid;\n"
                           "error_log %1/error.log info;\n"
                           "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                           "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
                           "events { worker_connections 256; }\n"
                           "rtmp { server { listen 127.0.0.1:%2; chunk_size 4096;\n"
                           "  application live { live on; record all; record_path %1/rec; record_unique on;\n"
                           "    %3\n"
                           "    allow publish 127.0.0.1; deny publish all; allow play 127.0.0.1; deny play all; } } }\n")
                       .arg(dir)
                       .arg(ports.rtmp)
                       .arg(onPublishUrl.isEmpty() ? QString() : "on_publish " + onPublishUrl + ";");
    if (ports.rtmps != 0) {
        QByteArray out;
        if (runProgram("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/key.pem",
                                   "-out", dir + "/cert.pem", "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
                                   "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                       &out, 30000)
            != 0)
            return false;
        conf += QString("stream { server { listen 127.0.0.1:%1 ssl;\n"
                        "  ssl_certificate %2/cert.pem; ssl_certificate_key %2/key.pem;\n"
                        "  proxy_pass 127.0.0.1:%3; } }\n")
                    .arg(ports.rtmps)
                    .arg(dir)
                    .arg(ports.rtmp);
    }
    QFile f(dir + "/nginx.conf");
    if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0)
        return false;
    f.close();
    if (!peer.start("nginx", {"-c", dir + "/nginx.conf", "-p", dir, "-e", dir + "/error.log"}, ports.rtmp))
        return false;
    return ports.rtmps == 0 || tcpListening(ports.rtmps);
}

QStringList nginxRecordings(const QString& dir)
{
    QStringList files;
    for (const QFileInfo& fi : QDir(dir + "/rec").entryInfoList({"*.flv"}, QDir::Files, QDir::Time | QDir::Reversed))
        files << fi.absoluteFilePath();
    return files;
}

} // namespace testsupport
