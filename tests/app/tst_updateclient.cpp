#include "app/updateclient.h"
#include "support/fakeupdateserver.h"
#include "support/testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using testsupport::FakeUpdateServer;

class TestUpdateClient : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void parseVersionCases_data();
    void parseVersionCases();
    void compareVersionCases_data();
    void compareVersionCases();
    void installerNameCases_data();
    void installerNameCases();

    void feedFormats_data();
    void feedFormats();
    void silentFeedEndsAtItsLimit();
    void oversizedFeedIsNoVersion();
    void feedRequestCarriesUserAgent();

    void downloadSavesInPrivateFolder_data();
    void downloadSavesInPrivateFolder();
    void downloadedInstallerIsNeverRun();
    void plantedLinkIsNotFollowed();
    void downloadErrors_data();
    void downloadErrors();
    void contextGoneAbortsDownload();

private:
    std::optional<AppUpdateInfo> runCheck();
    std::optional<std::pair<bool, QString>> runDownload(const QString& url, int waitMs = 10000);

    FakeUpdateServer* server = nullptr;
    QNetworkAccessManager* manager = nullptr;
    QTemporaryDir* tempRoot = nullptr;
};

void TestUpdateClient::init()
{
    server = new FakeUpdateServer;
    QVERIFY(server->listen());
    manager = new QNetworkAccessManager;
    manager->setProxy(QNetworkProxy::NoProxy);
    UpdateService service;
    service.feedUrl = server->url("/products/version.json");
    service.downloadBaseUrl = server->url("/products/");
    service.productPageUrl = server->url("/");
    setUpdateServiceForTesting(service);
    // The temporary location of this test alone.
    tempRoot = new QTemporaryDir;
    QVERIFY(tempRoot->isValid());
    qputenv("TMPDIR", tempRoot->path().toLocal8Bit());
}

void TestUpdateClient::cleanup()
{
    delete manager;
    delete server;
    delete tempRoot;
    qunsetenv("TMPDIR");
}

std::optional<AppUpdateInfo> TestUpdateClient::runCheck()
{
    QObject context;
    std::optional<AppUpdateInfo> result;
    int calls = 0;
    checkForUpdates(manager, &context, [&](const AppUpdateInfo& info) {
        result = info;
        ++calls;
    });
    if (!QTest::qWaitFor([&] { return calls > 0; }, 10000))
        return std::nullopt;
    QTest::qWait(50);
    if (calls != 1)
        return std::nullopt;
    return result;
}

std::optional<std::pair<bool, QString>> TestUpdateClient::runDownload(const QString& url, int waitMs)
{
    QObject context;
    std::optional<std::pair<bool, QString>> result;
    downloadAndRunInstaller(manager, url, &context,
                            [&](bool ok, const QString& error) { result = std::make_pair(ok, error); });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, waitMs);
    return result;
}

void TestUpdateClient::parseVersionCases_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");
    QTest::newRow("three parts") << "1.3.0" << true << 1 << 3 << 0;
    QTest::newRow("two parts") << "1.3" << true << 1 << 3 << 0;
    QTest::newRow("one part") << "2" << true << 2 << 0 << 0;
    QTest::newRow("empty part dropped") << "1..3" << true << 1 << 3 << 0;
    QTest::newRow("fourth part ignored") << "1.3.0.7" << true << 1 << 3 << 0;
    QTest::newRow("suffix") << "1.3-beta" << false << 0 << 0 << 0;
    QTest::newRow("empty") << "" << false << 0 << 0 << 0;
    QTest::newRow("dots only") << "..." << false << 0 << 0 << 0;
    QTest::newRow("overflow") << "99999999999.1" << false << 0 << 0 << 0;
}

void TestUpdateClient::parseVersionCases()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const VersionTriple v = parseVersion(text);
    QCOMPARE(v.valid, valid);
    if (valid) {
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(int, patch);
        QCOMPARE(v.major, major);
        QCOMPARE(v.minor, minor);
        QCOMPARE(v.patch, patch);
    }
}

void TestUpdateClient::compareVersionCases_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("sign");
    QTest::newRow("numeric not textual") << "1.10.0" << "1.2.0" << 1;
    QTest::newRow("missing parts are zero") << "1.2" << "1.2.0" << 0;
    QTest::newRow("older") << "1.2.0" << "1.2.1" << -1;
    QTest::newRow("major wins") << "2" << "1.99.99" << 1;
    QTest::newRow("text when one is invalid") << "abc" << "ABD" << -1;
    QTest::newRow("text ignores case") << "Beta" << "beta" << 0;
}

void TestUpdateClient::compareVersionCases()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    const int result = compareVersions(a, b);
    QCOMPARE((result > 0) - (result < 0), sign);
}

void TestUpdateClient::installerNameCases_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version"); // empty: refused
    QTest::newRow("plain") << "quOrbelPro_Setup_1.3.0.exe" << "1.3.0";
    QTest::newRow("second prefix") << "quOrbel_Pro_Setup_1.4.exe" << "1.4";
    QTest::newRow("no underscore") << "quOrbelPro_Setup1.4.exe" << "1.4";
    QTest::newRow("any case") << "QUORBELPRO_SETUP_1.4.0.EXE" << "1.4.0";
    QTest::newRow("blanks around") << "  quOrbelPro_Setup_1.3.0.exe \t" << "1.3.0";
    QTest::newRow("not exe") << "quOrbelPro_Setup_1.3.0.msi" << "";
    QTest::newRow("other prefix") << "Other_Setup_1.3.0.exe" << "";
    QTest::newRow("no version") << "quOrbelPro_Setup_.exe" << "";
    QTest::newRow("suffix version") << "quOrbelPro_Setup_1.3-beta.exe" << "";
    QTest::newRow("path separator") << "quOrbelPro_Setup_1.3.0.x/../y.exe" << "";
    QTest::newRow("dot dot") << "quOrbelPro_Setup_1.3.0/../../evil.exe" << "";
    QTest::newRow("backslash") << "quOrbelPro_Setup_1.3.0\\..\\evil.exe" << "";
    QTest::newRow("percent slash") << "quOrbelPro_Setup_1.3%2F..%2Fevil.exe" << "";
    QTest::newRow("extra text") << "quOrbelPro_Setup_1.3.0 evil.exe" << "";
    QTest::newRow("query") << "quOrbelPro_Setup_1.3.0.exe?x=.exe" << "";
}

void TestUpdateClient::installerNameCases()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    const std::optional<QString> found = versionFromInstallerName(name);
    QCOMPARE(found.value_or(QString()), version);
}

void TestUpdateClient::feedFormats_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("latest");    // "—" for a failure
    QTest::addColumn<QString>("installer"); // empty for a failure
    QTest::addColumn<bool>("available");
    QTest::addColumn<QString>("error");     // substring; empty for success
    const QString dash = noVersionText();
    const QString notFound = "Version info not found for this product.";
    QTest::newRow("object, first key, version")
        << QByteArray(R"({"quOrbelPro": "1.3.0"})") << 200 << "1.3.0" << "quOrbelPro_Setup_1.3.0.exe" << true << "";
    QTest::newRow("object, second key, installer name")
        << QByteArray(R"({"quOrbel Pro": "quOrbel_Pro_Setup_1.3.0.exe"})") << 200 << "1.3.0"
        << "quOrbel_Pro_Setup_1.3.0.exe" << true << "";
    QTest::newRow("object, only the fourth key")
        << QByteArray(R"({"other": "9.9.9", "quOrbel_Pro": " 1.10.0 "})") << 200 << "1.10.0"
        << "quOrbelPro_Setup_1.10.0.exe" << true << "";
    QTest::newRow("object, number skipped for the next key")
        << QByteArray(R"({"quOrbelPro": 2, "QuOrbelPro": "1.4"})") << 200 << "1.4" << "quOrbelPro_Setup_1.4.exe"
        << true << "";
    QTest::newRow("object, same version is up to date")
        << QByteArray(R"({"quOrbelPro": "1.2"})") << 200 << "1.2" << "quOrbelPro_Setup_1.2.exe" << false << "";
    QTest::newRow("object, hostile version refused")
        << QByteArray(R"({"quOrbelPro": "1.3.0.x/../y"})") << 200 << dash << "" << false << notFound;
    QTest::newRow("object, no known key") << QByteArray(R"({"Other": "1.3.0"})") << 200 << dash << "" << false
                                          << notFound;
    QTest::newRow("array, highest of names")
        << QByteArray(R"(["quOrbelPro_Setup_1.2.5.exe", "quOrbelPro_Setup_1.3.0.exe", "quOrbelPro_Setup_1.2.9.exe"])")
        << 200 << "1.3.0" << "quOrbelPro_Setup_1.3.0.exe" << true << "";
    QTest::newRow("array, hostile name passed over")
        << QByteArray(R"(["quOrbelPro_Setup_1.2.5.exe", "quOrbelPro_Setup_9.0/../../x.exe"])") << 200 << "1.2.5"
        << "quOrbelPro_Setup_1.2.5.exe" << true << "";
    QTest::newRow("array of bare versions") << QByteArray(R"(["1.3.0", "1.4.0"])") << 200 << dash << "" << false
                                            << notFound;
    QTest::newRow("lines, CR LF, blanks, first of equals")
        << QByteArray("\r\n  quOrbelPro_Setup_1.2.5.exe  \r\n\r\nquOrbel_Pro_Setup_1.3.exe\r\n"
                      "quOrbelPro_Setup_1.3.0.exe\r\n   \r\nreadme.txt\r\n")
        << 200 << "1.3" << "quOrbel_Pro_Setup_1.3.exe" << true << "";
    QTest::newRow("invalid JSON read as lines")
        << QByteArray("{ broken\nquOrbelPro_Setup_1.3.0.exe\n") << 200 << "1.3.0" << "quOrbelPro_Setup_1.3.0.exe"
        << true << "";
    QTest::newRow("empty body") << QByteArray("  \r\n ") << 200 << dash << "" << false << notFound;
    QTest::newRow("not found") << QByteArray("gone") << 404 << dash << "" << false << "Not Found";
}

void TestUpdateClient::feedFormats()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, latest);
    QFETCH(QString, installer);
    QFETCH(bool, available);
    QFETCH(QString, error);
    server->answer("/products/version.json", body, status);
    const std::optional<AppUpdateInfo> info = runCheck();
    QVERIFY2(info, "the callback runs exactly once");
    QCOMPARE(info->currentVersion, QString("1.2.0"));
    QCOMPARE(info->latestVersion, latest);
    QCOMPARE(info->installerFileName, installer);
    QCOMPARE(info->updateAvailable, available);
    if (error.isEmpty()) {
        QCOMPARE(info->errorMessage, QString());
        QCOMPARE(info->downloadUrl, server->url("/products/") + installer);
    } else {
        QVERIFY2(info->errorMessage.contains(error, Qt::CaseInsensitive), qPrintable(info->errorMessage));
        QCOMPARE(info->downloadUrl, QString());
    }
}

void TestUpdateClient::silentFeedEndsAtItsLimit()
{
    UpdateService service = updateService();
    service.feedTimeoutMs = 300;
    setUpdateServiceForTesting(service);
    server->setRoute("/products/version.json", {200, {}, FakeUpdateServer::Behaviour::Silent});
    QElapsedTimer clock;
    clock.start();
    const std::optional<AppUpdateInfo> info = runCheck();
    QVERIFY(info);
    QVERIFY2(clock.elapsed() < 5000, "the limit ends the request");
    QCOMPARE(info->latestVersion, noVersionText());
    QVERIFY2(!info->errorMessage.isEmpty(), "a cancelled request reports the framework's text");
    QVERIFY(!info->updateAvailable);
}

void TestUpdateClient::oversizedFeedIsNoVersion()
{
    // Valid names all the way, but more than the feed may hold.
    QByteArray body;
    while (body.size() <= updateService().maxFeedBytes)
        body += "quOrbelPro_Setup_1.3.0.exe\n";
    server->answer("/products/version.json", body);
    const std::optional<AppUpdateInfo> info = runCheck();
    QVERIFY(info);
    QCOMPARE(info->errorMessage, QString("Version info not found for this product."));
    QCOMPARE(info->latestVersion, noVersionText());
    QVERIFY(!info->updateAvailable);
}

void TestUpdateClient::feedRequestCarriesUserAgent()
{
    server->answer("/products/version.json", R"({"quOrbelPro": "1.3.0"})");
    QVERIFY(runCheck());
    QCOMPARE(server->requestHeads().size(), 1);
    const QByteArray head = server->requestHeads().first();
    QVERIFY2(head.startsWith("GET /products/version.json "), head.constData());
    QVERIFY2(head.toLower().contains("\r\nuser-agent: quorbel/1.2.0"), head.constData());
}

void TestUpdateClient::downloadSavesInPrivateFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("savedName");
    QTest::newRow("name from the address") << "/products/quOrbelPro_Setup_1.3.0.exe" << "quOrbelPro_Setup_1.3.0.exe";
    QTest::newRow("trailing slash") << "/products/" << "quOrbelPro_Setup_1.2.0.exe";
}

void TestUpdateClient::downloadSavesInPrivateFolder()
{
    QFETCH(QString, path);
    QFETCH(QString, savedName);
    QByteArray bytes;
    for (int i = 0; i < 300000; ++i)
        bytes += char(i * 7);
    server->answer(path, bytes);
    const auto result = runDownload(server->url(path));
    QVERIFY(result);
    QVERIFY2(!result->first, "a Windows installer cannot run here: reported as failure");
    const QString message = result->second;
    QVERIFY2(message.contains("Windows installer"), qPrintable(message));

    const QStringList folders = QDir(tempRoot->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders.size(), 1);
    const QString folder = QDir(tempRoot->path()).filePath(folders.first());
    QCOMPARE(QFileInfo(folder).permissions() & 0x7777,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
                 | QFile::ExeUser);
    const QString saved = QDir(folder).filePath(savedName);
    QVERIFY2(message.contains(saved), qPrintable(message));
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
}

void TestUpdateClient::downloadedInstallerIsNeverRun()
{
    const QString marker = QDir(tempRoot->path()).filePath("ran");
    const QByteArray script = "#!/bin/sh\ntouch '" + marker.toLocal8Bit() + "'\n";
    server->answer("/products/quOrbelPro_Setup_1.3.0.exe", script);
    const auto result = runDownload(server->url("/products/quOrbelPro_Setup_1.3.0.exe"));
    QVERIFY(result);
    QVERIFY(!result->first);
    QVERIFY2(result->second.contains("quOrbelPro_Setup_1.3.0.exe"), qPrintable(result->second));
    QTest::qWait(300);
    QVERIFY2(!QFileInfo::exists(marker), "nothing downloaded is executed");
}

void TestUpdateClient::plantedLinkIsNotFollowed()
{
    // Someone sharing the temporary folder planted a link under the name the
    // package would get; the write must not land behind it.
    QTemporaryDir victimDir;
    const QString victim = QDir(victimDir.path()).filePath("victim");
    {
        QFile f(victim);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    const QString planted = QDir(tempRoot->path()).filePath("quOrbelPro_Setup_1.2.0.exe");
    QVERIFY(QFile::link(victim, planted));
    server->answer("/products/", "package");
    const auto result = runDownload(server->url("/products/"));
    QVERIFY(result);
    QFile f(victim);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("precious"));
    QVERIFY(!result->second.contains(planted));
}

void TestUpdateClient::downloadErrors_data()
{
    QTest::addColumn<QString>("url");         // "%1" = the server's base
    QTest::addColumn<bool>("unusableTempDir");
    QTest::addColumn<QString>("message");     // substring
    QTest::newRow("empty address") << "  " << false << "Download URL is empty.";
    QTest::newRow("not found") << "%1/products/none.exe" << false << "Not Found";
    QTest::newRow("temporary location is a file") << "%1/products/quOrbelPro_Setup_1.3.0.exe" << true
                                              << "Failed to save update package.";
}

void TestUpdateClient::downloadErrors()
{
    QFETCH(QString, url);
    QFETCH(bool, unusableTempDir);
    QFETCH(QString, message);
    server->answer("/products/quOrbelPro_Setup_1.3.0.exe", "package");
    if (unusableTempDir) {
        const QString file = QDir(tempRoot->path()).filePath("plain-file");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        qputenv("TMPDIR", file.toLocal8Bit());
    }
    const auto result = runDownload(url.contains("%1") ? url.arg(server->url("")) : url);
    QVERIFY(result);
    QVERIFY(!result->first);
    QVERIFY2(result->second.contains(message, Qt::CaseInsensitive), qPrintable(result->second));
}

void TestUpdateClient::contextGoneAbortsDownload()
{
    server->setRoute("/products/quOrbelPro_Setup_1.3.0.exe",
                     {200, QByteArray(4096, 'x'), FakeUpdateServer::Behaviour::Stall});
    auto* context = new QObject;
    bool called = false;
    downloadAndRunInstaller(manager, server->url("/products/quOrbelPro_Setup_1.3.0.exe"), context,
                            [&](bool, const QString&) { called = true; });
    QTRY_COMPARE(server->openConnections(), 1);
    QTest::qWait(100);
    QCOMPARE(manager->findChildren<QNetworkReply*>().size(), 1);

    delete context;
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(server->closedConnections() == 1, 1000);
    QVERIFY2(clock.elapsed() < 1000, "the server sees the connection closed at once");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTRY_COMPARE(manager->findChildren<QNetworkReply*>().size(), 0);
    QVERIFY2(!called, "no result for a context that is gone");
}

QUORB_TEST_MAIN(TestUpdateClient)
#include "tst_updateclient.moc"
