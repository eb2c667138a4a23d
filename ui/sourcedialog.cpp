#include "ui/sourcedialog.h"

#include "app/settingsstore.h"
#include "platform/capturedevices.h"
#include "platform/displaylist.h"

#include <QAudioDevice>
#include <QCameraDevice>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QSettings>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

namespace {

constexpr int kMaxWindowTitle = 383;
const QString kCaptureHost = QStringLiteral("capture");
const QString kLastMediaDirectoryKey = QStringLiteral("source/lastMediaDirectory");

QString noMicrophoneText() { return uiText(QStringLiteral("(No microphone)"), QStringLiteral("（不使用麦克风）")); }

// QUrlQuery reads "%XX" in a value as an escape already made, so a device
// name holding "%41" or a "%" before other text would come back as another
// name; a literal "%" has to go in as "%25".
QString escapePercent(QString text) { return text.replace(QLatin1Char('%'), QStringLiteral("%25")); }

QString captureUrlText(const QString& scheme, const QList<QPair<QString, QString>>& items,
                       QUrl::ComponentFormattingOptions format)
{
    QUrl url;
    url.setScheme(scheme);
    url.setHost(kCaptureHost, QUrl::DecodedMode);
    QUrlQuery query;
    for (const auto& [key, value] : items)
        query.addQueryItem(key, value);
    url.setQuery(query);
    return url.toString(format);
}

// The current row's data of a list, as text and trimmed.
QString currentDataText(const QComboBox* list)
{
    if (!list || list->currentIndex() < 0)
        return {};
    return list->currentData().toString().trimmed();
}

void appendDeviceRows(QComboBox* list, const QList<MediaDeviceEntry>& devices)
{
    for (const MediaDeviceEntry& device : devices)
        list->addItem(device.name, device.label);
}

MediaDeviceEntry entryFor(const QString& description, const QByteArray& id)
{
    const QString text = description.isEmpty() ? QString::fromUtf8(id) : description;
    return {text, text};
}

QList<MediaDeviceEntry> withFakes(QList<MediaDeviceEntry> devices, CaptureDeviceKind kind)
{
    for (const QString& name : fakeCaptureDeviceNames(kind))
        devices.append({name, name});
    return devices;
}

} // namespace

QList<MediaDeviceEntry> listVideoInputDevices()
{
    QList<MediaDeviceEntry> devices;
    for (const QCameraDevice& camera : QMediaDevices::videoInputs())
        devices.append(entryFor(camera.description(), camera.id()));
    return withFakes(devices, CaptureDeviceKind::Camera);
}

QList<MediaDeviceEntry> listAudioInputDevices()
{
    QList<MediaDeviceEntry> devices;
    for (const QAudioDevice& microphone : QMediaDevices::audioInputs())
        devices.append(entryFor(microphone.description(), microphone.id()));
    return withFakes(devices, CaptureDeviceKind::Microphone);
}

QString uiText(const QString& english, const QString& chinese)
{
    QSettings settings(settingsstore::kOrganisation, settingsstore::kApplication);
    const QString language = settings.value(QStringLiteral("ui_language"), QStringLiteral("en")).toString().toLower();
    if (language == QLatin1String("zh") || language == QLatin1String("zh_cn"))
        return chinese;
    return english;
}

QString buildCaptureSourceText(const QString& scheme, const QString& item, const QString& value,
                               const QString& microphone)
{
    QList<QPair<QString, QString>> items{{item, escapePercent(value)}};
    const QString mic = microphone.trimmed();
    if (!mic.isEmpty()) {
        // The decoder percent-decodes the pretty-decoded "audioSource" value
        // once more, so every "%" of the rendered microphone URL (its own
        // escapes included) is escaped again.
        const QString micUrl =
            captureUrlText(QStringLiteral("dshow"), {{QStringLiteral("audio"), escapePercent(mic)}}, QUrl::PrettyDecoded);
        items.append({QStringLiteral("audioSource"), escapePercent(micUrl)});
    }
    return captureUrlText(scheme, items, QUrl::FullyEncoded);
}

QString windowPickerTitle(const TopLevelWindowInfo& window)
{
    if (!window.exists || !window.visible || window.minimized || window.cloaked || window.owned)
        return {};
    QString title = window.title.left(kMaxWindowTitle);
    // Never leave half of a character that needs two UTF-16 units.
    if (title.size() == kMaxWindowTitle && title.back().isHighSurrogate())
        title.chop(1);
    return title;
}

QString windowPickerRowText(const QString& title, quint64 handle)
{
    return QStringLiteral("%1  [0x%2]").arg(title, QString::number(handle, 16));
}

SourceDialog::SourceDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(uiText(QStringLiteral("Select source"), QStringLiteral("选择源")));
    setModal(true);
    resize(560, 280);
    setStyleSheet(QStringLiteral(
        "QDialog { background:#202020; color:white; }"
        // Style sheet colours do not pass to children: without this the
        // labels keep the palette's dark text on the dark background.
        "QLabel { color:white; }"
        "QLineEdit { background:#2b2b2b; color:white; padding:5px; border-radius:4px; }"
        "QComboBox { background:#2b2b2b; color:white; padding:5px; }"
        "QPushButton { background:#333; color:white; padding:5px 10px; border-radius:4px; }"
        "QPushButton:hover { background:#444; }"));

    sourceTypeList_ = new QComboBox(this);
    sourceTypeList_->addItem(uiText(QStringLiteral("Local file"), QStringLiteral("本地文件")));
    sourceTypeList_->addItem(uiText(QStringLiteral("URL / network stream"), QStringLiteral("URL / 网络流")));
    sourceTypeList_->addItem(uiText(QStringLiteral("Camera / microphone"), QStringLiteral("摄像头 / 麦克风")));
    sourceTypeList_->addItem(uiText(QStringLiteral("Desktop (DXGI)"), QStringLiteral("桌面 (DXGI)")));
    sourceTypeList_->addItem(uiText(QStringLiteral("Window (WGC)"), QStringLiteral("窗口 (WGC)")));

    const QString microphoneLabel = uiText(QStringLiteral("Microphone:"), QStringLiteral("麦克风："));

    filePage_ = new QWidget(this);
    {
        auto* row = new QHBoxLayout(filePage_);
        row->setContentsMargins(0, 0, 0, 0);
        filePathEdit_ = new QLineEdit(filePage_);
        browseButton_ = new QPushButton(uiText(QStringLiteral("Browse…"), QStringLiteral("浏览…")), filePage_);
        row->addWidget(filePathEdit_);
        row->addWidget(browseButton_);
    }

    urlPage_ = new QWidget(this);
    {
        auto* row = new QHBoxLayout(urlPage_);
        row->setContentsMargins(0, 0, 0, 0);
        urlEdit_ = new QLineEdit(urlPage_);
        urlEdit_->setPlaceholderText(QStringLiteral("rtmp://  http://  rtsp:// …"));
        row->addWidget(urlEdit_);
    }

    cameraPage_ = new QWidget(this);
    {
        auto* rows = new QVBoxLayout(cameraPage_);
        rows->setContentsMargins(0, 0, 0, 0);
        auto* cameraRow = new QHBoxLayout;
        cameraList_ = new QComboBox(cameraPage_);
        cameraList_->setMinimumContentsLength(28);
        cameraRow->addWidget(new QLabel(uiText(QStringLiteral("Camera:"), QStringLiteral("摄像头：")), cameraPage_));
        cameraRow->addWidget(cameraList_, 1);
        auto* micRow = new QHBoxLayout;
        cameraMicrophoneList_ = new QComboBox(cameraPage_);
        cameraMicrophoneList_->setMinimumContentsLength(28);
        refreshDevicesButton_ =
            new QPushButton(uiText(QStringLiteral("Refresh devices"), QStringLiteral("刷新设备")), cameraPage_);
        micRow->addWidget(new QLabel(microphoneLabel, cameraPage_));
        micRow->addWidget(cameraMicrophoneList_, 1);
        micRow->addWidget(refreshDevicesButton_);
        rows->addLayout(cameraRow);
        rows->addLayout(micRow);
    }

    desktopPage_ = new QWidget(this);
    {
        auto* rows = new QVBoxLayout(desktopPage_);
        rows->setContentsMargins(0, 0, 0, 0);
        auto* displayRow = new QHBoxLayout;
        displayList_ = new QComboBox(desktopPage_);
        displayList_->setMinimumContentsLength(26);
        refreshDisplaysButton_ =
            new QPushButton(uiText(QStringLiteral("Refresh displays"), QStringLiteral("刷新显示器")), desktopPage_);
        displayRow->addWidget(new QLabel(uiText(QStringLiteral("Display:"), QStringLiteral("显示器：")), desktopPage_));
        displayRow->addWidget(displayList_, 1);
        displayRow->addWidget(refreshDisplaysButton_);
        auto* micRow = new QHBoxLayout;
        desktopMicrophoneList_ = new QComboBox(desktopPage_);
        desktopMicrophoneList_->setMinimumContentsLength(26);
        micRow->addWidget(new QLabel(microphoneLabel, desktopPage_));
        micRow->addWidget(desktopMicrophoneList_, 1);
        rows->addLayout(displayRow);
        rows->addLayout(micRow);
    }

    windowPage_ = new QWidget(this);
    {
        auto* rows = new QVBoxLayout(windowPage_);
        rows->setContentsMargins(0, 0, 0, 0);
        auto* windowRow = new QHBoxLayout;
        windowList_ = new QComboBox(windowPage_);
        windowList_->setMinimumContentsLength(28);
        refreshWindowsButton_ =
            new QPushButton(uiText(QStringLiteral("Refresh windows"), QStringLiteral("刷新窗口")), windowPage_);
        windowRow->addWidget(new QLabel(uiText(QStringLiteral("Window:"), QStringLiteral("窗口：")), windowPage_));
        windowRow->addWidget(windowList_, 1);
        windowRow->addWidget(refreshWindowsButton_);
        auto* micRow = new QHBoxLayout;
        windowMicrophoneList_ = new QComboBox(windowPage_);
        windowMicrophoneList_->setMinimumContentsLength(26);
        micRow->addWidget(new QLabel(microphoneLabel, windowPage_));
        micRow->addWidget(windowMicrophoneList_, 1);
        rows->addLayout(windowRow);
        rows->addLayout(micRow);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(uiText(QStringLiteral("OK"), QStringLiteral("确定")));
    buttons->button(QDialogButtonBox::Cancel)->setText(uiText(QStringLiteral("Cancel"), QStringLiteral("取消")));
    // Some desktop styles give standard buttons icons; this dialog has none.
    buttons->button(QDialogButtonBox::Ok)->setIcon(QIcon());
    buttons->button(QDialogButtonBox::Cancel)->setIcon(QIcon());

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(uiText(QStringLiteral("Source type:"), QStringLiteral("源类型：")), this));
    layout->addWidget(sourceTypeList_);
    layout->addSpacing(10);
    for (QWidget* page : {filePage_, urlPage_, cameraPage_, desktopPage_, windowPage_})
        layout->addWidget(page);
    layout->addSpacing(10);
    layout->addWidget(buttons);

    connect(browseButton_, &QPushButton::clicked, this, &SourceDialog::browseFile);
    connect(refreshDevicesButton_, &QPushButton::clicked, this, &SourceDialog::refreshCaptureDevices);
    connect(refreshDisplaysButton_, &QPushButton::clicked, this, &SourceDialog::refreshDxgiMonitors);
    connect(refreshWindowsButton_, &QPushButton::clicked, this, &SourceDialog::refreshWindowList);
    connect(sourceTypeList_, &QComboBox::currentIndexChanged, this, &SourceDialog::sourceTypeChanged);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    refreshCaptureDevices();
    refreshDxgiMonitors();
    refreshWindowList();
    sourceTypeChanged(LocalFile);
}

QString SourceDialog::selectedSource() const
{
    if (!sourceTypeList_)
        return {};
    switch (sourceTypeList_->currentIndex()) {
    case LocalFile:
        return filePathEdit_->text().trimmed();
    case NetworkUrl:
        return urlEdit_->text().trimmed();
    case Camera:
        return buildCameraSourceUrl();
    case Desktop:
        return buildDesktopSourceUrl();
    case Window:
        return buildWindowSourceUrl();
    default:
        return {};
    }
}

void SourceDialog::browseFile()
{
    QSettings settings(settingsstore::kOrganisation, settingsstore::kApplication);
    QString folder = settings.value(kLastMediaDirectoryKey, QDir::homePath()).toString();
    if (!QDir(folder).exists())
        folder = QDir::homePath();
    const QString path = QFileDialog::getOpenFileName(
        this, uiText(QStringLiteral("Select media file"), QStringLiteral("选择媒体文件")), folder,
        uiText(QStringLiteral("Media (*.mp4 *.mov *.mkv *.avi *.mp3 *.wav);;All files (*)"),
               QStringLiteral("媒体文件 (*.mp4 *.mov *.mkv *.avi *.mp3 *.wav);;所有文件 (*)")));
    if (path.isEmpty())
        return;
    filePathEdit_->setText(path);
    settings.setValue(kLastMediaDirectoryKey, QFileInfo(path).absolutePath());
}

void SourceDialog::sourceTypeChanged(int index)
{
    QWidget* const pages[] = {filePage_, urlPage_, cameraPage_, desktopPage_, windowPage_};
    for (int type = LocalFile; type <= Window; ++type)
        pages[type]->setVisible(type == index);
}

void SourceDialog::refreshCaptureDevices()
{
    if (!cameraList_ || !cameraMicrophoneList_)
        return;
    const int cameraRow = cameraList_->currentIndex();
    const int microphoneRow = cameraMicrophoneList_->currentIndex();
    cameraList_->clear();
    cameraMicrophoneList_->clear();

    appendDeviceRows(cameraList_, listVideoInputDevices());
    cameraMicrophoneList_->addItem(noMicrophoneText(), QString());
    appendDeviceRows(cameraMicrophoneList_, listAudioInputDevices());

    if (cameraRow >= 0 && cameraRow < cameraList_->count())
        cameraList_->setCurrentIndex(cameraRow);
    if (microphoneRow >= 0 && microphoneRow < cameraMicrophoneList_->count())
        cameraMicrophoneList_->setCurrentIndex(microphoneRow);

    fillMicrophoneCombo(&microphoneRow, desktopMicrophoneList_);
    fillMicrophoneCombo(&microphoneRow, windowMicrophoneList_);
}

void SourceDialog::fillMicrophoneCombo(const int* preferredIndex, QComboBox* list)
{
    if (!list)
        return;
    const int previousRow = list->currentIndex();
    list->clear();
    list->addItem(noMicrophoneText(), QString());
    appendDeviceRows(list, listAudioInputDevices());
    const auto inRange = [list](int row) { return row >= 0 && row < list->count(); };
    if (preferredIndex && inRange(*preferredIndex))
        list->setCurrentIndex(*preferredIndex);
    else if (inRange(previousRow))
        list->setCurrentIndex(previousRow);
}

void SourceDialog::refreshDxgiMonitors()
{
    const int previousRow = displayList_->currentIndex();
    displayList_->clear();
    for (const DisplayInfo& display : listDisplays())
        displayList_->addItem(display.label, display.outputIndex);
    if (displayList_->count() == 0)
        displayList_->addItem(uiText(QStringLiteral("(No display detected)"), QStringLiteral("（未检测到显示器）")), 0);
    if (previousRow >= 0 && previousRow < displayList_->count())
        displayList_->setCurrentIndex(previousRow);
}

void SourceDialog::refreshWindowList()
{
    const int previousRow = windowList_->currentIndex();
    windowList_->clear();
    for (const TopLevelWindowInfo& window : enumerateTopLevelWindows()) {
        const QString title = windowPickerTitle(window);
        if (!title.isEmpty())
            windowList_->addItem(windowPickerRowText(title, window.handle), qulonglong(window.handle));
    }
    if (windowList_->count() == 0) {
        windowList_->addItem(uiText(QStringLiteral("(No windows — click Refresh)"), QStringLiteral("（无可用窗口，点刷新）")),
                             qulonglong(0));
    }
    if (previousRow >= 0 && previousRow < windowList_->count())
        windowList_->setCurrentIndex(previousRow);
}

QString SourceDialog::microphoneOf(const QComboBox* list) const
{
    // Row 0 is "(No microphone)" with empty data, so the data test covers it.
    return currentDataText(list);
}

QString SourceDialog::buildCameraSourceUrl() const
{
    if (!cameraList_ || cameraList_->count() == 0)
        return {};
    const QString camera = currentDataText(cameraList_);
    if (camera.isEmpty())
        return {};
    return buildCaptureSourceText(QStringLiteral("dshow"), QStringLiteral("video"), camera,
                                  microphoneOf(cameraMicrophoneList_));
}

QString SourceDialog::buildDesktopSourceUrl() const
{
    if (!displayList_ || displayList_->count() == 0)
        return {};
    const int output = displayList_->currentData().toInt();
    return buildCaptureSourceText(QStringLiteral("desktop"), QStringLiteral("monitor"), QString::number(output),
                                  microphoneOf(desktopMicrophoneList_));
}

QString SourceDialog::buildWindowSourceUrl() const
{
    if (!windowList_ || windowList_->count() == 0)
        return {};
    const qulonglong handle = windowList_->currentData().toULongLong();
    if (handle == 0)
        return {};
    return buildCaptureSourceText(QStringLiteral("wgc"), QStringLiteral("hwnd"),
                                  QStringLiteral("0x") + QString::number(handle, 16),
                                  microphoneOf(windowMicrophoneList_));
}
