#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QObject;
class QTimer;

// The application's own version and the client of the vendor's update
// feed. GUI thread only: requests are asynchronous, their handlers and time
// limits run from the event loop. The context object of each request owns
// its timer and receives its result; destroying it aborts the request and
// frees the reply, so no answer arrives for a window that is gone.

inline constexpr const char* kAppVersion = "1.2.0";
inline constexpr const char* kProductDisplayName = "quOrbel Pro";
// Shown for the latest version after a failed check.
inline QString noVersionText() { return QString(QChar(0x2014)); }

struct AppUpdateInfo {
    QString currentVersion = QString::fromLatin1(kAppVersion);
    QString latestVersion;
    bool updateAvailable = false;
    QString downloadUrl;
    QString installerFileName;
    QString errorMessage;
};

struct VersionTriple {
    int major = 0;
    int minor = 0;
    int patch = 0;
    bool valid = false;
};

// Where the client talks to. The build fixes the addresses (CMake cache
// variables QUORB_UPDATE_FEED_URL, QUORB_UPDATE_DOWNLOAD_BASE_URL,
// QUORB_PRODUCT_PAGE_URL); tests replace the whole record to reach a local
// server with short limits. Not a user setting.
struct UpdateService {
    QString feedUrl;
    QString downloadBaseUrl;
    QString productPageUrl;
    int feedTimeoutMs = 30000;
    int downloadTimeoutMs = 600000;
    // A larger feed body is no usable version; the feed is a few names.
    qint64 maxFeedBytes = 1024 * 1024;
};
const UpdateService& updateService();
void setUpdateServiceForTesting(const UpdateService& service);

const QStringList& updateFeedKeys();
const QStringList& installerNamePrefixes();
QByteArray updateUserAgent();

VersionTriple parseVersion(const QString& text);
int compareVersions(const QString& a, const QString& b);
// The version of an installer file name, only when the whole name is one of
// the two prefixes, an optional "_", digits and dots, and ".exe" (any case):
// the name ends up in a download address and a file name, so nothing else
// gets through.
std::optional<QString> versionFromInstallerName(const QString& name);
QString installerFileNameForVersion(const QString& version);
// The record a feed body yields (no network involved); bodies larger than
// the cap yield nothing.
AppUpdateInfo updateInfoFromFeedBody(const QByteArray& body);

using UpdateCheckCallback = std::function<void(const AppUpdateInfo&)>;
using InstallerCallback = std::function<void(bool ok, const QString& error)>;

void checkForUpdates(QNetworkAccessManager* manager, QObject* context, UpdateCheckCallback callback);
void downloadAndRunInstaller(QNetworkAccessManager* manager, const QString& url, QObject* context,
                             InstallerCallback callback);

void handleVersionFeedReply(QNetworkReply* reply, QTimer* timer, const UpdateCheckCallback& callback);
void saveAndStartInstaller(QNetworkReply* reply, QTimer* timer, const QString& url,
                           const InstallerCallback& callback);
