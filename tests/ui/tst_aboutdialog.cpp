// The About dialog against a local stand-in for the vendor's update
// service: each state it shows, the download, and what closing it ends.
#include "mainwindowtestaccess.h"
#include "modalanswer.h"
#include "app/updateclient.h"
#include "net/networkproxysettings.h"
#include "support/fakeupdateserver.h"
#include "support/proxypeers.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using testsupport::FakeUpdateServer;

namespace {

const char* const kFeedPath = "/products/version.json";
const char* const kInstallerPath = "/products/quOrbelPro_Setup_1.10.0.exe";

struct AboutView {
    QDialog* dialog = nullptr;
    QLabel* installed = nullptr;
    QLabel* latest = nullptr;
    QLabel* newVersion = nullptr;
    QLabel* upToDate = nullptr;
    QLabel* error = nullptr;
    QPushButton* check = nullptr;
    QPushButton* updateNow = nullptr;

    bool shown(QWidget* w) const { return !w->isHidden(); }
    void close() const { dialog->findChild<QDialogButtonBox*>()->buttons().first()->click(); }
};

AboutView viewOf(QDialog* dialog)
{
    AboutView v;
    v.dialog = dialog;
    v.installed = dialog->findChild<QLabel*>("installedVersionLabel");
    v.latest = dialog->findChild<QLabel*>("latestVersionLabel");
    v.newVersion = dialog->findChild<QLabel*>("newVersionLabel");
    v.upToDate = dialog->findChild<QLabel*>("upToDateLabel");
    v.error = dialog->findChild<QLabel*>("updateErrorLabel");
    v.check = dialog->findChild<QPushButton*>("checkUpdatesButton");
    v.updateNow = dialog->findChild<QPushButton*>("updateNowButton");
    return v;
}

// Opens the dialog from the Help menu and runs `inspect` inside its modal
// loop; closes it afterwards unless `inspect` did.
bool withAboutDialog(MainWindow& window, const std::function<void(const AboutView&)>& inspect)
{
    ModalAnswer answer([&](QWidget* modal) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog)
            return;
        const AboutView v = viewOf(dialog);
        if (v.installed && v.latest && v.newVersion && v.upToDate && v.error && v.check && v.updateNow)
            inspect(v);
        if (dialog->isVisible())
            dialog->reject();
    });
    MainWindowTestAccess(window).aboutAction()->trigger();
    return answer.answered();
}

// Answers the next message box with `button`, keeping its text.
void answerNextMessageBox(QMessageBox::StandardButton button, QString* text)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, button, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        *text = box->text();
        box->button(button)->click();
    });
    timer->start(10);
}

QNetworkAccessManager* managerOf(MainWindow& window)
{
    return window.findChild<QNetworkAccessManager*>();
}

} // namespace

class TestAboutDialog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void states_data();
    void states();
    void closingWhileCheckingDropsResult();
    void declinedConfirmationDownloadsNothing();
    void downloadedInstallerIsReportedNotRun();
    void closingWhileDownloadingEndsTheRequest();

private:
    FakeUpdateServer* server = nullptr;
    QTemporaryDir* tempRoot = nullptr;
};

void TestAboutDialog::init()
{
    testsupport::clearProxyConfiguration();
    NetworkProxySettings::setMode(NetworkProxySettings::Off);
    server = new FakeUpdateServer;
    QVERIFY(server->listen());
    UpdateService service;
    service.feedUrl = server->url(kFeedPath);
    service.downloadBaseUrl = server->url("/products/");
    service.productPageUrl = server->url("/");
    setUpdateServiceForTesting(service);
    tempRoot = new QTemporaryDir;
    qputenv("TMPDIR", tempRoot->path().toLocal8Bit());
}

void TestAboutDialog::cleanup()
{
    delete server;
    delete tempRoot;
    qunsetenv("TMPDIR");
}

void TestAboutDialog::states_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QByteArray>("feed");     // empty: the server never answers
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("latest");
    QTest::addColumn<QString>("checkText");
    QTest::addColumn<bool>("checkEnabled");
    QTest::addColumn<bool>("newShown");
    QTest::addColumn<bool>("upToDateShown");
    QTest::addColumn<bool>("updateNowShown");
    QTest::addColumn<QString>("error");
    const QString dash = noVersionText();
    QTest::newRow("checking") << false << QByteArray() << 200 << "Checking..." << "Checking..." << false << false
                              << false << false << "";
    QTest::newRow("checking, Chinese") << true << QByteArray() << 200 << "检查中..." << "检查中..." << false << false
                                       << false << false << "";
    QTest::newRow("update available") << false << QByteArray(R"({"quOrbelPro": "1.10.0"})") << 200 << "1.10.0"
                                      << "Check for updates" << true << true << false << true << "";
    QTest::newRow("up to date") << false << QByteArray(R"({"quOrbelPro": "1.2"})") << 200 << "1.2"
                                << "Check for updates" << true << false << true << false << "";
    QTest::newRow("up to date, Chinese") << true << QByteArray(R"({"quOrbelPro": "1.2.0"})") << 200 << "1.2.0"
                                         << "检查更新" << true << false << true << false << "";
    QTest::newRow("nothing usable") << false << QByteArray(R"(["1.3.0"])") << 200 << dash << "Check for updates"
                                    << true << false << false << false
                                    << "Version info not found for this product.";
    QTest::newRow("network error") << false << QByteArray("gone") << 404 << dash << "Check for updates" << true
                                   << false << false << false << "Not Found";
}

void TestAboutDialog::states()
{
    QFETCH(bool, chinese);
    QFETCH(QByteArray, feed);
    QFETCH(int, status);
    QFETCH(QString, latest);
    QFETCH(QString, checkText);
    QFETCH(bool, checkEnabled);
    QFETCH(bool, newShown);
    QFETCH(bool, upToDateShown);
    QFETCH(bool, updateNowShown);
    QFETCH(QString, error);
    if (feed.isEmpty())
        server->setRoute(kFeedPath, {200, {}, FakeUpdateServer::Behaviour::Silent});
    else
        server->answer(kFeedPath, feed, status);
    MainWindow window;
    window.setUiLanguage(chinese ? MainWindow::kChinese : MainWindow::kEnglish);
    const bool opened = withAboutDialog(window, [&](const AboutView& v) {
        // The check starts as the dialog opens.
        QTRY_COMPARE(server->requestHeads().size(), 1);
        QTRY_COMPARE(v.latest->text(), latest);
        QCOMPARE(v.installed->text(), QString("1.2.0"));
        QCOMPARE(v.check->text(), checkText);
        QCOMPARE(v.check->isEnabled(), checkEnabled);
        QCOMPARE(v.shown(v.newVersion), newShown);
        QCOMPARE(v.shown(v.upToDate), upToDateShown);
        QCOMPARE(v.shown(v.updateNow), updateNowShown);
        QCOMPARE(v.updateNow->isEnabled(), updateNowShown);
        QCOMPARE(v.shown(v.error), !error.isEmpty());
        if (!error.isEmpty())
            QVERIFY2(v.error->text().contains(error), qPrintable(v.error->text()));
    });
    QVERIFY(opened);
}

void TestAboutDialog::closingWhileCheckingDropsResult()
{
    server->setRoute(kFeedPath, {200, {}, FakeUpdateServer::Behaviour::Silent});
    MainWindow window;
    QVERIFY(withAboutDialog(window, [&](const AboutView& v) {
        QTRY_COMPARE(server->openConnections(), 1);
        QCOMPARE(v.latest->text(), QString("Checking..."));
        v.close();
    }));
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, 1000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTRY_COMPARE(managerOf(window)->findChildren<QNetworkReply*>().size(), 0);

    // Opening again checks again, and that answer is shown.
    server->answer(kFeedPath, R"({"quOrbelPro": "1.10.0"})");
    QVERIFY(withAboutDialog(window, [&](const AboutView& v) {
        QTRY_COMPARE(v.latest->text(), QString("1.10.0"));
        QVERIFY(v.shown(v.updateNow));
    }));
    QCOMPARE(server->requestHeads().size(), 2);
}

void TestAboutDialog::declinedConfirmationDownloadsNothing()
{
    server->answer(kFeedPath, R"({"quOrbelPro": "1.10.0"})");
    MainWindow window;
    QString question;
    QVERIFY(withAboutDialog(window, [&](const AboutView& v) {
        QTRY_VERIFY(v.updateNow->isEnabled());
        answerNextMessageBox(QMessageBox::No, &question);
        v.updateNow->click();
        QTest::qWait(200);
        QCOMPARE(v.updateNow->text(), QString("Update now"));
        QVERIFY(v.check->isEnabled());
    }));
    QCOMPARE(question, QString("Download and install version 1.10.0 now? The app will close during installation."));
    QCOMPARE(server->requestHeads().size(), 1);
}

void TestAboutDialog::downloadedInstallerIsReportedNotRun()
{
    server->answer(kFeedPath, R"({"quOrbelPro": "1.10.0"})");
    server->answer(kInstallerPath, "MZ installer bytes");
    MainWindow window;
    QString question;
    QVERIFY(withAboutDialog(window, [&](const AboutView& v) {
        QTRY_VERIFY(v.updateNow->isEnabled());
        answerNextMessageBox(QMessageBox::Yes, &question);
        v.updateNow->click();
        QTRY_VERIFY(v.shown(v.error));
        QVERIFY2(v.error->text().contains("quOrbelPro_Setup_1.10.0.exe")
                     && v.error->text().contains("Windows installer"),
                 qPrintable(v.error->text()));
        // The error state: no "Update now" until a new check; the app stays.
        QVERIFY(!v.shown(v.updateNow));
        QVERIFY(v.check->isEnabled());
        QVERIFY(v.dialog->isVisible());
        v.check->click();
        // While checking, the earlier result shows again without its error,
        // its button disabled.
        QVERIFY(!v.shown(v.error));
        QVERIFY(v.shown(v.updateNow));
        QVERIFY(!v.updateNow->isEnabled());
        QTRY_VERIFY(v.check->isEnabled());
        QVERIFY(v.updateNow->isEnabled());
    }));
    QCOMPARE(server->requestHeads().size(), 3);
    QVERIFY(server->requestHeads().at(1).startsWith(QByteArray("GET ") + kInstallerPath));
}

void TestAboutDialog::closingWhileDownloadingEndsTheRequest()
{
    server->answer(kFeedPath, R"({"quOrbelPro": "1.10.0"})");
    server->setRoute(kInstallerPath, {200, QByteArray(8192, 'x'), FakeUpdateServer::Behaviour::Stall});
    MainWindow window;
    QString question;
    QVERIFY(withAboutDialog(window, [&](const AboutView& v) {
        QTRY_VERIFY(v.updateNow->isEnabled());
        answerNextMessageBox(QMessageBox::Yes, &question);
        v.updateNow->click();
        QTRY_COMPARE(server->openConnections(), 1);
        QCOMPARE(v.updateNow->text(), QString("Downloading and installing..."));
        QVERIFY(!v.updateNow->isEnabled());
        QVERIFY(!v.check->isEnabled());
        v.close();
    }));
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, 1000);
    QVERIFY(clock.elapsed() < 1000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTRY_COMPARE(managerOf(window)->findChildren<QNetworkReply*>().size(), 0);
}

QUORB_TEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
