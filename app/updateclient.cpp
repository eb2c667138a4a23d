#include "app/updateclient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#ifndef QUORB_UPDATE_FEED_URL
#define QUORB_UPDATE_FEED_URL "https://updates.quorbel.invalid/products/version.json"
#endif
#ifndef QUORB_UPDATE_DOWNLOAD_BASE_URL
#define QUORB_UPDATE_DOWNLOAD_BASE_URL "https://updates.quorbel.invalid/products/"
#endif
#ifndef QUORB_PRODUCT_PAGE_URL
#define QUORB_PRODUCT_PAGE_URL "https://www.quorbel.invalid/"
#endif

namespace {

constexpr const char* kVersionNotFound = "Version info not found for this product.";
constexpr const char* kInstallerNameTemplate = "quOrbelPro_Setup_%1.exe";
constexpr const char* kOversizeProperty = "quorbFeedOversize";

UpdateService& serviceRecord()
{
    static UpdateService service{QStringLiteral(QUORB_UPDATE_FEED_URL),
                                 QStringLiteral(QUORB_UPDATE_DOWNLOAD_BASE_URL),
                                 QStringLiteral(QUORB_PRODUCT_PAGE_URL)};
    return service;
}

// Digits and dots only: the version part of a name the client accepts.
bool isDigitsAndDots(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9.]+$"));
    return pattern.match(text).hasMatch();
}

QNetworkRequest updateRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, updateUserAgent());
    return request;
}

// Ends the request when the context goes away: without this the reply runs
// on (a download up to its whole time limit) and is never freed.
void abortWithContext(QNetworkReply* reply, QObject* context)
{
    QObject::connect(context, &QObject::destroyed, reply, [reply, context] {
        QObject::disconnect(reply, nullptr, context, nullptr);
        reply->abort();
        reply->deleteLater();
    });
}

QTimer* startReplyLimit(QNetworkReply* reply, QObject* context, int limitMs)
{
    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    timer->setInterval(limitMs);
    QPointer<QNetworkReply> guarded(reply);
    QObject::connect(timer, &QTimer::timeout, timer, [guarded] {
        if (guarded && guarded->isRunning())
            guarded->abort();
    });
    timer->start();
    return timer;
}

struct FeedPick {
    QString version;
    QString installer;
};

// Among installer names, the highest version; the first of equal ones stays.
std::optional<FeedPick> highestInstaller(const QStringList& candidates)
{
    std::optional<FeedPick> best;
    for (const QString& raw : candidates) {
        const QString name = raw.trimmed();
        const std::optional<QString> version = versionFromInstallerName(name);
        if (!version)
            continue;
        if (!best || compareVersions(*version, best->version) > 0)
            best = FeedPick{*version, name};
    }
    return best;
}

std::optional<FeedPick> pickFromObject(const QJsonObject& object)
{
    for (const QString& key : updateFeedKeys()) {
        if (!object.contains(key))
            continue;
        const QString value = object.value(key).toString().trimmed();
        if (value.isEmpty())
            continue;
        if (const std::optional<QString> version = versionFromInstallerName(value))
            return FeedPick{*version, value};
        // A bare version becomes part of a file name: digits and dots only.
        if (isDigitsAndDots(value) && parseVersion(value).valid)
            return FeedPick{value, installerFileNameForVersion(value)};
    }
    return std::nullopt;
}

std::optional<FeedPick> pickFromFeed(const QByteArray& body)
{
    const QString text = QString::fromUtf8(body).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    if (text.startsWith(QLatin1Char('{')) || text.startsWith(QLatin1Char('['))) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        if (error.error == QJsonParseError::NoError) {
            if (document.isObject()) {
                if (auto pick = pickFromObject(document.object()))
                    return pick;
            } else if (document.isArray()) {
                QStringList names;
                for (const QJsonValue& element : document.array())
                    names << element.toString();
                if (auto pick = highestInstaller(names))
                    return pick;
            }
        }
    }
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    return highestInstaller(text.split(lineBreaks, Qt::SkipEmptyParts));
}

AppUpdateInfo notFound()
{
    AppUpdateInfo info;
    info.errorMessage = QString::fromLatin1(kVersionNotFound);
    info.latestVersion = noVersionText();
    return info;
}

// The last segment of the address's path, or the default installer name when
// that is empty or names a directory.
QString installerFileNameFromUrl(const QString& url)
{
    const QString path = QUrl(url, QUrl::TolerantMode).path(QUrl::FullyDecoded);
    QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        name = installerFileNameForVersion(QString::fromLatin1(kAppVersion));
    return name;
}

} // namespace

const UpdateService& updateService()
{
    return serviceRecord();
}

void setUpdateServiceForTesting(const UpdateService& service)
{
    serviceRecord() = service;
}

const QStringList& updateFeedKeys()
{
    static const QStringList keys{QStringLiteral("quOrbelPro"), QStringLiteral("quOrbel Pro"),
                                  QStringLiteral("QuOrbelPro"), QStringLiteral("quOrbel_Pro")};
    return keys;
}

const QStringList& installerNamePrefixes()
{
    static const QStringList prefixes{QStringLiteral("quOrbelPro_Setup"), QStringLiteral("quOrbel_Pro_Setup")};
    return prefixes;
}

QByteArray updateUserAgent()
{
    return QByteArray("quOrbel/") + kAppVersion;
}

VersionTriple parseVersion(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    VersionTriple v;
    if (parts.isEmpty())
        return v;
    int* fields[3] = {&v.major, &v.minor, &v.patch};
    for (int i = 0; i < 3 && i < parts.size(); ++i) {
        bool ok = false;
        *fields[i] = parts[i].toInt(&ok, 10);
        if (!ok)
            return VersionTriple{};
    }
    v.valid = true;
    return v;
}

int compareVersions(const QString& a, const QString& b)
{
    const VersionTriple x = parseVersion(a);
    const VersionTriple y = parseVersion(b);
    if (!x.valid || !y.valid)
        return QString::compare(a, b, Qt::CaseInsensitive);
    if (x.major != y.major)
        return x.major < y.major ? -1 : 1;
    if (x.minor != y.minor)
        return x.minor < y.minor ? -1 : 1;
    if (x.patch != y.patch)
        return x.patch < y.patch ? -1 : 1;
    return 0;
}

std::optional<QString> versionFromInstallerName(const QString& name)
{
    const QString trimmed = name.trimmed();
    const QString lower = trimmed.toLower();
    if (!lower.endsWith(QLatin1String(".exe")))
        return std::nullopt;
    for (const QString& prefix : installerNamePrefixes()) {
        if (!lower.startsWith(prefix.toLower()))
            continue;
        QString rest = trimmed.mid(prefix.size());
        if (rest.startsWith(QLatin1Char('_')))
            rest.remove(0, 1);
        rest.chop(4); // ".exe", checked above
        if (isDigitsAndDots(rest) && parseVersion(rest).valid)
            return rest;
    }
    return std::nullopt;
}

QString installerFileNameForVersion(const QString& version)
{
    return QString::fromLatin1(kInstallerNameTemplate).arg(version);
}

AppUpdateInfo updateInfoFromFeedBody(const QByteArray& body)
{
    if (body.size() > updateService().maxFeedBytes)
        return notFound();
    const std::optional<FeedPick> pick = pickFromFeed(body);
    if (!pick)
        return notFound();
    AppUpdateInfo info;
    info.latestVersion = pick->version;
    info.installerFileName = pick->installer;
    info.downloadUrl = updateService().downloadBaseUrl + pick->installer;
    const VersionTriple latest = parseVersion(info.latestVersion);
    const VersionTriple current = parseVersion(info.currentVersion);
    info.updateAvailable = latest.valid && current.valid && compareVersions(info.latestVersion, info.currentVersion) > 0;
    return info;
}

void checkForUpdates(QNetworkAccessManager* manager, QObject* context, UpdateCheckCallback callback)
{
    if (!manager || !context || !callback)
        return;
    QNetworkReply* reply = manager->get(updateRequest(QUrl(updateService().feedUrl)));
    abortWithContext(reply, context);
    const qint64 cap = updateService().maxFeedBytes;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, cap](qint64 received, qint64) {
        if (received > cap && reply->isRunning()) {
            reply->setProperty(kOversizeProperty, true);
            reply->abort();
        }
    });
    QTimer* timer = startReplyLimit(reply, context, updateService().feedTimeoutMs);
    QObject::connect(reply, &QNetworkReply::finished, context,
                     [reply, timer, callback] { handleVersionFeedReply(reply, timer, callback); });
}

void handleVersionFeedReply(QNetworkReply* reply, QTimer* timer, const UpdateCheckCallback& callback)
{
    timer->stop();
    timer->deleteLater();
    reply->deleteLater();
    if (reply->property(kOversizeProperty).toBool()) {
        callback(notFound());
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        AppUpdateInfo info;
        info.errorMessage = reply->errorString();
        info.latestVersion = noVersionText();
        callback(info);
        return;
    }
    // One byte over the cap is enough to know the body is too large.
    callback(updateInfoFromFeedBody(reply->read(updateService().maxFeedBytes + 1)));
}

void downloadAndRunInstaller(QNetworkAccessManager* manager, const QString& url, QObject* context,
                             InstallerCallback callback)
{
    if (!manager || !context || !callback)
        return;
    if (url.trimmed().isEmpty()) {
        callback(false, QStringLiteral("Download URL is empty."));
        return;
    }
    QNetworkReply* reply = manager->get(updateRequest(QUrl(url, QUrl::TolerantMode)));
    abortWithContext(reply, context);
    QTimer* timer = startReplyLimit(reply, context, updateService().downloadTimeoutMs);
    QObject::connect(reply, &QNetworkReply::finished, context,
                     [reply, timer, url, callback] { saveAndStartInstaller(reply, timer, url, callback); });
}

void saveAndStartInstaller(QNetworkReply* reply, QTimer* timer, const QString& url, const InstallerCallback& callback)
{
    timer->stop();
    timer->deleteLater();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        callback(false, reply->errorString());
        return;
    }
    const QByteArray body = reply->readAll();

    // A folder of our own (mode 0700) and a file that did not exist: the
    // shared temporary folder may hold anything under a known name,
    // including a link planted to redirect the write.
    const QString tempRoot = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QTemporaryDir folder(QDir(tempRoot).filePath(QStringLiteral("quorbel-update-XXXXXX")));
    if (!folder.isValid()) {
        callback(false, QStringLiteral("Failed to save update package."));
        return;
    }
    folder.setAutoRemove(false); // the package stays for the operator
    const QString path = folder.filePath(installerFileNameFromUrl(url));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        callback(false, QStringLiteral("Failed to save update package."));
        return;
    }
    if (file.write(body) < body.size() || !file.flush()) {
        file.close();
        file.remove();
        callback(false, QStringLiteral("Failed to write update package."));
        return;
    }
    file.close();
    // The package is a Windows installer: this system cannot run it, so it
    // is kept where it was saved and nothing is started.
    callback(false, QStringLiteral("The update package was saved to %1, but it is a Windows installer and "
                                   "cannot run on this system. Nothing was started.")
                        .arg(QDir::toNativeSeparators(path)));
}
