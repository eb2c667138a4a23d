// The About dialog: the installed and the latest version, a check of the
// update feed when it opens, and "Update now" when the feed has a newer
// version. Also the Help menu's link to the product page.

#include "ui/mainwindow.h"

#include "app/updateclient.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kAboutDialogMinimumWidth = 420;
constexpr const char* kAboutGold = "#d4af37";

const char* const kAboutDialogStyleSheet =
    "QDialog { background-color: #1a1c20; color: #d4af37; }"
    "QPushButton { min-width: 96px; min-height: 34px; background-color: #2b2d33; color: #d4af37;"
    " border: 1px solid #8c7a4b; border-radius: 6px; padding: 6px 14px; }"
    "QPushButton:hover { background-color: #3c3f48; }"
    "QPushButton:pressed { background-color: #24262c; }"
    "QPushButton:disabled { color: #777; background-color: #24262c; }";

QLabel* goldLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("QLabel { color: %1; background: transparent; }").arg(kAboutGold));
    return label;
}

void makeBold(QLabel* label)
{
    QFont font = label->font();
    font.setWeight(QFont::Bold);
    label->setFont(font);
}

} // namespace

void MainWindow::visitWebsite()
{
    // On a machine without a desktop (no xdg-open handler) this fails; the
    // menu has nothing else to offer, so it is only noted.
    if (!QDesktopServices::openUrl(QUrl(updateService().productPageUrl)))
        qWarning() << "MainWindow: could not open the product page in a web browser";
}

void MainWindow::showAboutDialog()
{
    const bool zh = uiLanguage == kChinese;
    auto pick = [zh](const char* chinese, const char* english) {
        return zh ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
    };
    const QString product = QString::fromLatin1(kProductDisplayName);

    auto* dialog = new QDialog(this);
    aboutDialog = dialog;
    dialog->setWindowIcon(QIcon());
    dialog->setWindowTitle(pick("关于 %1", "About %1").arg(product));
    dialog->setModal(true);
    dialog->setMinimumWidth(kAboutDialogMinimumWidth);
    dialog->setStyleSheet(QString::fromLatin1(kAboutDialogStyleSheet));
    QPalette palette = dialog->palette();
    palette.setColor(QPalette::Window, QColor(0x1a, 0x1c, 0x20));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(role, QColor(kAboutGold));
    dialog->setPalette(palette);
    dialog->setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(10);

    auto* heading = goldLabel(product, dialog);
    heading->setAlignment(Qt::AlignCenter);
    QFont headingFont = heading->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() + 4);
    headingFont.setWeight(QFont::Bold);
    heading->setFont(headingFont);
    auto* versionLine = goldLabel(pick("版本 %1", "Version %1").arg(QString::fromLatin1(kAppVersion)), dialog);
    versionLine->setAlignment(Qt::AlignCenter);

    auto* rule = new QFrame(dialog);
    rule->setFrameShape(QFrame::HLine);
    rule->setStyleSheet(QStringLiteral("QFrame { color: #777; background: #777; max-height: 1px; }"));

    auto* sectionTitle = goldLabel(pick("软件更新", "Software Update"), dialog);
    makeBold(sectionTitle);

    auto versionRow = [&](const QString& caption, QLabel*& value, const QString& initial) {
        auto* row = new QHBoxLayout;
        row->addWidget(goldLabel(caption, dialog));
        row->addStretch();
        value = goldLabel(initial, dialog);
        makeBold(value);
        row->addWidget(value);
        return row;
    };
    QHBoxLayout* installedRow =
        versionRow(pick("当前版本", "Installed"), installedVersionLabel, QString::fromLatin1(kAppVersion));
    QHBoxLayout* latestRow = versionRow(pick("最新版本", "Latest"), latestVersionLabel, noVersionText());
    installedVersionLabel->setObjectName(QStringLiteral("installedVersionLabel"));
    latestVersionLabel->setObjectName(QStringLiteral("latestVersionLabel"));

    newVersionLabel = goldLabel(pick("发现新版本。", "A new version is available."), dialog);
    newVersionLabel->setObjectName(QStringLiteral("newVersionLabel"));
    newVersionLabel->hide();
    upToDateLabel = goldLabel(pick("当前已是最新版本。", "You are using the latest version."), dialog);
    upToDateLabel->setObjectName(QStringLiteral("upToDateLabel"));
    upToDateLabel->hide();
    updateErrorLabel = new QLabel(dialog);
    updateErrorLabel->setObjectName(QStringLiteral("updateErrorLabel"));
    updateErrorLabel->setWordWrap(true);
    updateErrorLabel->setStyleSheet(QStringLiteral("QLabel { color: #ff9a9a; background: transparent; }"));
    updateErrorLabel->hide();

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(10);
    checkUpdatesButton = new QPushButton(pick("检查更新", "Check for updates"), dialog);
    updateNowButton = new QPushButton(pick("立即更新", "Update now"), dialog);
    checkUpdatesButton->setObjectName(QStringLiteral("checkUpdatesButton"));
    updateNowButton->setObjectName(QStringLiteral("updateNowButton"));
    updateNowButton->hide();
    buttonRow->addWidget(checkUpdatesButton);
    buttonRow->addWidget(updateNowButton);
    buttonRow->addStretch();

    auto* buttons = new QDialogButtonBox(dialog);
    buttons->addButton(pick("关闭", "Close"), QDialogButtonBox::AcceptRole);

    layout->addWidget(heading);
    layout->addWidget(versionLine);
    layout->addSpacing(8);
    layout->addWidget(rule);
    layout->addWidget(sectionTitle);
    layout->addLayout(installedRow);
    layout->addLayout(latestRow);
    layout->addWidget(newVersionLabel);
    layout->addWidget(upToDateLabel);
    layout->addWidget(updateErrorLabel);
    layout->addLayout(buttonRow);
    layout->addSpacing(8);
    layout->addWidget(buttons);

    checkingUpdate = false;
    downloadingUpdate = false;
    updateInfo = AppUpdateInfo{};
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(checkUpdatesButton, &QPushButton::clicked, dialog, [this] { onCheckForUpdatesClicked(); });
    connect(updateNowButton, &QPushButton::clicked, dialog, [this] { onUpdateNowClicked(); });
    onCheckForUpdatesClicked();

    dialog->exec();

    installedVersionLabel = nullptr;
    latestVersionLabel = nullptr;
    newVersionLabel = nullptr;
    upToDateLabel = nullptr;
    updateErrorLabel = nullptr;
    checkUpdatesButton = nullptr;
    updateNowButton = nullptr;
    checkingUpdate = false;
    downloadingUpdate = false;
    // The dialog is the context of its requests: deleting it ends them.
    delete dialog;
}

void MainWindow::refreshUpdateUi()
{
    if (!aboutDialog)
        return;
    const bool zh = uiLanguage == kChinese;
    auto pick = [zh](const char* chinese, const char* english) {
        return zh ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
    };
    const AppUpdateInfo& info = updateInfo;

    installedVersionLabel->setText(info.currentVersion.isEmpty() ? QString::fromLatin1(kAppVersion)
                                                                 : info.currentVersion);
    if (checkingUpdate) {
        latestVersionLabel->setText(pick("检查中...", "Checking..."));
        checkUpdatesButton->setText(pick("检查中...", "Checking..."));
    } else {
        latestVersionLabel->setText(info.latestVersion.isEmpty() ? noVersionText() : info.latestVersion);
        checkUpdatesButton->setText(pick("检查更新", "Check for updates"));
    }
    updateNowButton->setText(downloadingUpdate ? pick("正在下载并安装...", "Downloading and installing...")
                                               : pick("立即更新", "Update now"));

    const bool hasError = !info.errorMessage.isEmpty();
    updateErrorLabel->setText(info.errorMessage);
    updateErrorLabel->setVisible(hasError);
    if (hasError) {
        newVersionLabel->hide();
        upToDateLabel->hide();
        updateNowButton->hide();
    } else {
        newVersionLabel->setVisible(info.updateAvailable);
        updateNowButton->setVisible(info.updateAvailable);
        upToDateLabel->setVisible(!checkingUpdate && !info.latestVersion.isEmpty()
                                  && info.latestVersion != noVersionText() && !info.updateAvailable);
    }
    const bool idle = !checkingUpdate && !downloadingUpdate;
    checkUpdatesButton->setEnabled(idle);
    updateNowButton->setEnabled(idle && info.updateAvailable);
}

void MainWindow::onCheckForUpdatesClicked()
{
    if (!aboutDialog)
        return;
    checkingUpdate = true;
    updateInfo.errorMessage.clear();
    refreshUpdateUi();
    checkForUpdates(networkAccessManager, aboutDialog, [this](const AppUpdateInfo& info) {
        checkingUpdate = false;
        updateInfo = info;
        refreshUpdateUi();
    });
}

void MainWindow::onUpdateNowClicked()
{
    if (!aboutDialog || !updateInfo.updateAvailable || updateInfo.downloadUrl.isEmpty())
        return;
    const bool zh = uiLanguage == kChinese;
    const QString title = zh ? QStringLiteral("确认更新") : QStringLiteral("Confirm Update");
    const QString text = (zh ? QStringLiteral("确定下载并安装 %1 吗？安装过程中应用将自动关闭。")
                             : QStringLiteral("Download and install version %1 now? The app will close during installation."))
                             .arg(updateInfo.latestVersion);
    const auto answer = QMessageBox::question(aboutDialog, title, text, QMessageBox::Yes | QMessageBox::No,
                                              QMessageBox::NoButton);
    if (answer != QMessageBox::Yes || !aboutDialog)
        return;
    downloadingUpdate = true;
    updateInfo.errorMessage.clear();
    refreshUpdateUi();
    downloadAndRunInstaller(networkAccessManager, updateInfo.downloadUrl, aboutDialog,
                            [this](bool ok, const QString& error) {
                                downloadingUpdate = false;
                                if (ok) {
                                    QCoreApplication::quit();
                                    return;
                                }
                                updateInfo.errorMessage = error;
                                refreshUpdateUi();
                            });
}
