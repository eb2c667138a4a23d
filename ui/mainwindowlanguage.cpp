// The main window's UI language: the stored flag, the window's own texts,
// the panels' texts and the conversion of every other static text.

#include "ui/mainwindow.h"

#include "app/settingsstore.h"
#include "schedule/programarrangementwindow.h"
#include "ui/imageplaybackpanel.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/textpanel.h"
#include "ui/videoinputpanel.h"
#include "ui/volumectrlwidget.h"
#include "ui/uitranslation.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDockWidget>
#include <QEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QSettings>
#include <QToolBar>

namespace {

const char* const kLogoResource = ":/resources/images/logo.png";

// Converts one text property in place. A text is written back only when the
// conversion changed it: QLabel::setText with the same text would still drop
// the label's picture, and Show and Polish reach every label many times.
template <typename Getter, typename Setter>
void convertText(const MainWindow& window, Getter get, Setter set)
{
    const QString text = get();
    const QString converted = window.translateUiText(text);
    if (converted != text)
        set(converted);
}

// One English text can stand for two Chinese ones ("Clear" for "清除" and
// "清空"), so a button remembers the Chinese text it was created with and
// gets exactly that back when the language returns to Chinese.
const char* const kChineseTextProperty = "quorbelChineseText";

void convertButtonText(QAbstractButton* button, bool chinese)
{
    const QString text = button->text();
    const QString converted = uitranslation::translateUiText(text, chinese);
    if (converted == text)
        return;
    if (!chinese) {
        button->setProperty(kChineseTextProperty, text);
        button->setText(converted);
        return;
    }
    const QString remembered = button->property(kChineseTextProperty).toString();
    const bool sameText = !remembered.isEmpty() && uitranslation::translateUiText(remembered, false) == text;
    button->setText(sameText ? remembered : converted);
}

} // namespace

void MainWindow::loadUiLanguage()
{
    QSettings settings(settingsstore::kOrganisation, settingsstore::kApplication);
    const QString stored = settings.value(QLatin1String(uitranslation::kLanguageKey), QStringLiteral("en")).toString();
    uiLanguage = uitranslation::storedLanguageIsChinese(stored) ? kChinese : kEnglish;
}

void MainWindow::setUiLanguage(int language)
{
    if (language == uiLanguage)
        return;
    uiLanguage = language;
    {
        QSettings settings(settingsstore::kOrganisation, settingsstore::kApplication);
        settings.setValue(QLatin1String(uitranslation::kLanguageKey),
                          language == kChinese ? QStringLiteral("zh") : QStringLiteral("en"));
        settings.sync();
    }
    retranslateUi();
}

void MainWindow::retranslateUi()
{
    const bool zh = uiLanguage == kChinese;
    auto pick = [zh](const char* chinese, const char* english) {
        return QString::fromUtf8(zh ? chinese : english);
    };

    setWindowTitle(QStringLiteral("quOrbel Pro"));
    const QPixmap logo(QString::fromLatin1(kLogoResource));
    if (!logo.isNull())
        setWindowIcon(QIcon(logo));

    outputSettingsGroup->setTitle(pick("输出设置", "Output Settings"));
    programPreviewGroup->setTitle(pick("输出预览", "Output Preview"));
    audioMixerGroup->setTitle(pick("调音台", "Audio Mixer"));
    textOverlayGroup->setTitle(pick("文字叠加", "Text Overlay"));
    textOverlayDock->setWindowTitle(pick("文字叠加", "Text Overlay"));
    videoOverlayGroup->setTitle(pick("视频叠加", "Video Overlay"));
    videoOverlayDock->setWindowTitle(pick("视频叠加", "Video Overlay"));
    imagePlaybackGroup->setTitle(pick("图片播放", "Image Playback"));
    imagePlaybackDock->setWindowTitle(pick("图片播放", "Image Playback"));
    programPreviewDock->setWindowTitle(pick("输出预览", "Output Preview"));

    fileMenu->setTitle(pick("文件(&F)", "&File"));
    exportDrawingAction->setText(pick("导出画板...", "Export Drawing..."));
    openOutputFolderAction->setText(pick("打开输出目录", "Open Output Folder"));
    exitAction->setText(pick("退出(&X)", "E&xit"));
    viewMenu->setTitle(pick("视图(&V)", "&View"));
    drawingToolsAction->setText(pick("画板工具", "Drawing Tools"));
    drawingToolBar->setWindowTitle(pick("画板工具", "Drawing Tools"));
    resetLayoutAction->setText(pick("重置工作区布局", "Reset Workspace Layout"));
    toolsMenu->setTitle(pick("工具(&T)", "&Tools"));
    programSchedulingAction->setText(pick("节目编排...", "Program Scheduling..."));
    networkProxyAction->setText(pick("网络代理...", "Network Proxy..."));
    helpMenu->setTitle(pick("帮助(&H)", "&Help"));
    languageMenu->setTitle(pick("语言", "Language"));

    englishAction->setChecked(!zh);
    chineseAction->setChecked(zh);

    visitWebsiteAction->setText(pick("访问网站", "Visit Website"));
    aboutAction->setText(pick("关于 quOrbel", "About quOrbel"));

    if (outputSettings)
        outputSettings->setChineseUi(zh);
    if (textPanel)
        textPanel->setChineseUi(zh);
    if (mediaOverlayPanel)
        mediaOverlayPanel->setChineseUi(zh);
    if (volumeCtrl)
        volumeCtrl->setChineseUi(zh);
    for (VideoInputPanel* strip : channelPanels) {
        if (strip)
            strip->setChineseUi(zh);
    }
    if (imagePlaybackPanel)
        imagePlaybackPanel->setChineseUi(zh);
    applyLanguageToArrangementWindow();

    // Every other static text, in this window and in every other top-level
    // window (floating docks, dialogs open now).
    retranslateWidgetTree(this);
    const QWidgetList topLevels = QApplication::topLevelWidgets();
    for (QWidget* widget : topLevels)
        retranslateWidgetTree(widget);
}

void MainWindow::applyLanguageToArrangementWindow()
{
    ProgramArrangementWindow* window = programArrangementWindow;
    if (!window)
        return;
    const bool zh = uiLanguage == kChinese;
    window->chineseUi = zh;
    window->updateSummary();
    window->setArrangementRunning(window->running);
    window->setWindowTitle(zh ? QStringLiteral("节目编排") : QStringLiteral("Program Scheduling"));
}

QString MainWindow::translateUiText(const QString& text) const
{
    return uitranslation::translateUiText(text, uiLanguage == kChinese);
}

void MainWindow::retranslateWidget(QObject* object) const
{
    if (!object)
        return;
    const MainWindow& self = *this;
    if (auto* menu = qobject_cast<QMenu*>(object))
        convertText(self, [menu] { return menu->title(); }, [menu](const QString& t) { menu->setTitle(t); });
    if (auto* action = qobject_cast<QAction*>(object)) {
        convertText(self, [action] { return action->text(); }, [action](const QString& t) { action->setText(t); });
        convertText(self, [action] { return action->toolTip(); },
                    [action](const QString& t) { action->setToolTip(t); });
    }
    if (auto* group = qobject_cast<QGroupBox*>(object))
        convertText(self, [group] { return group->title(); }, [group](const QString& t) { group->setTitle(t); });
    if (auto* label = qobject_cast<QLabel*>(object))
        convertText(self, [label] { return label->text(); }, [label](const QString& t) { label->setText(t); });
    if (auto* button = qobject_cast<QAbstractButton*>(object)) {
        convertButtonText(button, uiLanguage == kChinese);
        convertText(self, [button] { return button->toolTip(); },
                    [button](const QString& t) { button->setToolTip(t); });
    }
    if (auto* edit = qobject_cast<QLineEdit*>(object))
        convertText(self, [edit] { return edit->placeholderText(); },
                    [edit](const QString& t) { edit->setPlaceholderText(t); });
    if (auto* combo = qobject_cast<QComboBox*>(object)) {
        for (int i = 0; i < combo->count(); ++i)
            convertText(self, [combo, i] { return combo->itemText(i); },
                        [combo, i](const QString& t) { combo->setItemText(i, t); });
    }
    if (auto* dock = qobject_cast<QDockWidget*>(object))
        convertText(self, [dock] { return dock->windowTitle(); }, [dock](const QString& t) { dock->setWindowTitle(t); });
    if (object->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(object);
        convertText(self, [widget] { return widget->windowTitle(); },
                    [widget](const QString& t) { widget->setWindowTitle(t); });
        convertText(self, [widget] { return widget->toolTip(); }, [widget](const QString& t) { widget->setToolTip(t); });
    }
}

void MainWindow::retranslateWidgetTree(QObject* root) const
{
    if (!root)
        return;
    retranslateWidget(root);
    const QList<QObject*> descendants = root->findChildren<QObject*>();
    for (QObject* object : descendants)
        retranslateWidget(object);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != this && !watched->isWidgetType())
        return false;
    if (event->type() == QEvent::Show || event->type() == QEvent::Polish)
        retranslateWidgetTree(watched);
    dockEventFilter(watched, event);
    return false;
}
