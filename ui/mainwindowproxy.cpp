// The network proxy dialog of the main window: mode, manual URLs, what is
// in effect. Proxy detection can block for seconds (probes of ports that
// accept and never answer), and the GUI thread composes every program
// frame, so detection runs on a worker and its answer fills the dialog.

#include "ui/mainwindow.h"

#include "net/networkproxysettings.h"
#include "net/streamurl.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <utility>

namespace nps = NetworkProxySettings;

namespace {

constexpr int kProxyDialogMinimumWidth = 540;

const char* const kProxyDialogStyleSheet =
    "QDialog { background-color: #1a1c20; color: #d4af37; }"
    "QLabel { color: #d4af37; background: transparent; }"
    "QLineEdit, QComboBox { background-color: #0f1115; color: #f3e3a2; border: 1px solid #8c7a4b;"
    " border-radius: 8px; padding: 8px 10px; min-height: 34px; }"
    "QComboBox::drop-down { border: none; width: 28px; }"
    "QComboBox QAbstractItemView { background-color: #0f1115; color: #f3e3a2;"
    " selection-background-color: #3c3f48; }"
    "QLineEdit:read-only { color: #c6c2b8; background-color: #15171b; }"
    "QLineEdit:disabled { color: #666b70; border-color: #34373d; }"
    "QPushButton { min-width: 96px; min-height: 34px; background-color: #2b2d33; color: #d4af37;"
    " border: 1px solid #8c7a4b; border-radius: 6px; padding: 6px 14px; }"
    "QPushButton:hover { background-color: #3c3f48; }"
    "QPushButton:pressed { background-color: #24262c; }";

// The screen may be on air: a proxy URL shows without user name and password.
QString maskedProxyText(const QString& text)
{
    return QString::fromUtf8(streamurl::redactCredentials(text.toUtf8(), {}));
}

// What Auto shows, from the stored settings; runs on a worker.
std::pair<QString, QString> detectEffectiveProxies()
{
    return {nps::effectiveHttpProxyUrl(), nps::effectiveSocksEndpoint()};
}

} // namespace

void MainWindow::showNetworkProxyDialog()
{
    const bool zh = uiLanguage == kChinese;
    auto pick = [zh](const char* chinese, const char* english) {
        return zh ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
    };

    auto* dialog = new QDialog(this);
    proxyDialog = dialog;
    dialog->setWindowTitle(pick("网络代理", "Network Proxy"));
    dialog->setModal(true);
    dialog->setMinimumWidth(kProxyDialogMinimumWidth);
    dialog->setStyleSheet(QString::fromLatin1(kProxyDialogStyleSheet));
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(12);

    auto* subtitle = new QLabel(pick("SRT 和 RIST 需要 VPN/TUN 路由。", "SRT and RIST require VPN/TUN routing."), dialog);
    subtitle->setObjectName(QStringLiteral("proxySubtitle"));
    subtitle->setWordWrap(true);
    subtitle->setStyleSheet(QStringLiteral("QLabel { color: #a8a29e; }"));
    proxyStatusLabel = new QLabel(dialog);
    proxyStatusLabel->setObjectName(QStringLiteral("proxyStatus"));
    proxyStatusLabel->setWordWrap(true);

    proxyModeCombo = new QComboBox(dialog);
    proxyModeCombo->addItem(pick("自动", "Auto"), int(nps::Auto));
    proxyModeCombo->addItem(pick("手动", "Manual"), int(nps::Manual));
    proxyModeCombo->addItem(pick("关闭（直连）", "Off (direct)"), int(nps::Off));
    proxyHttpEdit = new QLineEdit(dialog);
    proxySocksEdit = new QLineEdit(dialog);
    const int stored = proxyModeCombo->findData(int(nps::mode()));
    proxyModeCombo->setCurrentIndex(stored >= 0 ? stored : 0);
    refreshProxyDialogFields();
    connect(proxyModeCombo, &QComboBox::currentIndexChanged, dialog, [this] { refreshProxyDialogFields(); });

    auto* form = new QFormLayout;
    form->setHorizontalSpacing(16);
    form->setVerticalSpacing(12);
    form->addRow(pick("模式", "Mode"), proxyModeCombo);
    form->addRow(pick("HTTP 代理", "HTTP Proxy"), proxyHttpEdit);
    form->addRow(pick("SOCKS 代理", "SOCKS Proxy"), proxySocksEdit);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Save)->setText(pick("保存", "Save"));
    buttons->button(QDialogButtonBox::Cancel)->setText(pick("取消", "Cancel"));

    layout->addWidget(subtitle);
    layout->addWidget(proxyStatusLabel);
    layout->addLayout(form);
    layout->addStretch(1);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, dialog, [this] { saveNetworkProxySettings(); });

    dialog->exec();

    // A detection still running answers into nothing.
    ++proxyDetectionSerial;
    proxyModeCombo = nullptr;
    proxyHttpEdit = nullptr;
    proxySocksEdit = nullptr;
    proxyStatusLabel = nullptr;
    delete dialog;
}

void MainWindow::refreshProxyDialogFields()
{
    if (!proxyDialog)
        return;
    const bool zh = uiLanguage == kChinese;
    auto pick = [zh](const char* chinese, const char* english) {
        return zh ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
    };
    const quint64 serial = ++proxyDetectionSerial;
    const int mode = proxyModeCombo->currentData().toInt();

    // The status as the parts of what the two fields show.
    auto showStatus = [this, pick] {
        QStringList parts;
        const QString http = proxyHttpEdit->text().trimmed();
        const QString socks = proxySocksEdit->text().trimmed();
        if (!http.isEmpty())
            parts << QStringLiteral("HTTP  %1").arg(maskedProxyText(http));
        if (!socks.isEmpty())
            parts << QStringLiteral("SOCKS  %1").arg(maskedProxyText(socks));
        proxyStatusLabel->setText(parts.isEmpty() ? pick("未检测到代理", "No proxy detected")
                                                  : parts.join(QStringLiteral("   |   ")));
    };

    if (mode == nps::Manual) {
        proxyHttpEdit->setReadOnly(false);
        proxySocksEdit->setReadOnly(false);
        proxyHttpEdit->setEnabled(true);
        proxySocksEdit->setEnabled(true);
        proxyHttpEdit->setPlaceholderText(QStringLiteral("http://127.0.0.1:10809"));
        proxySocksEdit->setPlaceholderText(QStringLiteral("socks5://127.0.0.1:10808"));
        proxyHttpEdit->setText(nps::manualHttpProxyUrl());
        proxySocksEdit->setText(nps::manualSocksProxyUrl());
        showStatus();
        return;
    }

    proxyHttpEdit->setReadOnly(true);
    proxySocksEdit->setReadOnly(true);
    proxyHttpEdit->setPlaceholderText(QString());
    proxySocksEdit->setPlaceholderText(QString());
    proxyHttpEdit->clear();
    proxySocksEdit->clear();
    if (mode == nps::Off) {
        proxyHttpEdit->setEnabled(false);
        proxySocksEdit->setEnabled(false);
        proxyStatusLabel->setText(pick("直接连接", "Direct connection"));
        return;
    }

    proxyHttpEdit->setEnabled(true);
    proxySocksEdit->setEnabled(true);
    proxyStatusLabel->setText(pick("正在检测代理...", "Detecting proxies..."));
    auto* watcher = new QFutureWatcher<std::pair<QString, QString>>(proxyDialog);
    connect(watcher, &QFutureWatcherBase::finished, proxyDialog, [this, watcher, serial, showStatus] {
        watcher->deleteLater();
        if (serial != proxyDetectionSerial || !proxyDialog)
            return;
        const auto [http, socks] = watcher->result();
        proxyHttpEdit->setText(maskedProxyText(http));
        proxySocksEdit->setText(socks);
        showStatus();
    });
    watcher->setFuture(QtConcurrent::run(detectEffectiveProxies));
}

void MainWindow::saveNetworkProxySettings()
{
    if (!proxyDialog)
        return;
    const auto mode = nps::Mode(proxyModeCombo->currentData().toInt());
    nps::setMode(mode);
    if (mode == nps::Manual) {
        nps::setManualHttpProxyUrl(proxyHttpEdit->text().trimmed());
        nps::setManualSocksProxyUrl(proxySocksEdit->text().trimmed());
    }
    // The effective HTTP proxy may take probes to determine; the choice is
    // applied once it is known, unless a later Save superseded it.
    const quint64 serial = ++proxyApplySerial;
    auto* watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, serial] {
        watcher->deleteLater();
        if (serial == proxyApplySerial)
            nps::applyApplicationProxyUrl(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(nps::effectiveHttpProxyUrl));
    proxyDialog->accept();
}
