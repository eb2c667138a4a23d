#include "ui/outputsettingswidget.h"

#include "app/settingsstore.h"
#include "engine/outputsizepolicy.h"
#include "ui/outputsettingsrules.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace {

// Settings keys; the stream keys take the destination index 0..3.
constexpr const char* kKeyFilePath = "output/filePath";
constexpr const char* kKeyFileEnabled = "output/fileEnabled";
constexpr const char* kKeySegmentEnabled = "output/segmentEnabled";
constexpr const char* kKeySegmentMinutes = "output/segmentMinutes";
constexpr const char* kKeySegmentGiB = "output/segmentGiB";
constexpr const char* kKeyResolution = "output/resolution";
constexpr const char* kKeyGainPercent = "output/gainPercent";
constexpr const char* kKeyStreamPrefix = "output/streams/%1/";
constexpr const char* kKeyBitrate = "output/bitrateKbps";
constexpr const char* kKeyFollow = "output/bitrateFollowsPreset";
constexpr const char* kKeyFps = "output/fps";
constexpr const char* kKeyKeyframe = "output/keyframeSeconds";
constexpr const char* kKeyEncoderMode = "output/encoderMode";
constexpr const char* kKeyQualityPreset = "output/qualityPreset";

constexpr int kDefaultSegmentMinutes = 30;
constexpr int kDefaultSegmentGiB = 4;
constexpr int kDefaultGainPercent = 100;
constexpr double kDefaultFps = 30.0;
constexpr int kDefaultKeyframeSeconds = 2;
constexpr int kDefaultEncoderMode = 0;   // automatic
constexpr int kDefaultQualityPreset = 1; // balanced
constexpr int kEncoderHardware = 1;
constexpr int kPresetPerformance = 0;
constexpr int kListEntries = 3; // encoder modes and quality presets

constexpr int kMaxBitrateKbps = 200000;
constexpr int kBitrateStepKbps = 500;
constexpr int kGainMinPercent = 25;
constexpr int kGainMaxPercent = 400;
// Keyboard and wheel steps of the gain slider within this time share one save.
constexpr int kGainSaveDelayMs = 300;

const char* const kProtocols[] = {"RTMP", "RTMPS", "SRT", "RIST", "RTP", "UDP", "HTTP", "TCP"};
constexpr int kSegmentMinutes[] = {5, 15, 30, 60};
constexpr int kSegmentGiB[] = {4, 8, 16};

struct ResolutionItem {
    QSize size;
    const char* text;
};
// Item 0 ("Same as Program") takes its text from the canvas labels.
const ResolutionItem kResolutionItems[] = {
    {{0, 0}, ""},
    {{7680, 4320}, "7680 × 4320 (8K UHD)"},
    {{3840, 2160}, "3840 × 2160 (4K UHD)"},
    {{2560, 1440}, "2560 × 1440 (1440p)"},
    {{1920, 1080}, "1920 × 1080 (1080p)"},
    {{1280, 720}, "1280 × 720 (720p)"},
    {{960, 540}, "960 × 540"},
    {{640, 360}, "640 × 360"},
};

constexpr int kArrowButtonWidth = 16;
constexpr int kArrowRepeatDelayMs = 350;
constexpr int kArrowRepeatIntervalMs = 80;
constexpr int kBrowseButtonWidth = 80;
constexpr int kEncodingLabelWidth = 72;
constexpr int kCheckBoxMinSide = 22;
constexpr int kFieldMinHeight = 28;

const char* const kGoldLabelStyle = "color: #d4af37;padding: 2px;font-weight: bold;";
const char* const kGainValueStyle = "color: #d4af37;";
const char* const kStatusStyle = "color:%1;font-size:11px;";

QString goldListStyleSheet()
{
    return QStringLiteral("QComboBox { color: #d4af37; background-color: #2b2d33; }"
                          "QComboBox QAbstractItemView { color: #d4af37; background-color: #17191d;"
                          " selection-background-color: #2b2d33; selection-color: #d4af37; }");
}

QString fieldStyleSheet()
{
    return QStringLiteral(
        "QSpinBox, QComboBox { background-color: #1a1c20; border: 1px solid #333333; border-radius: 6px;"
        " padding: 3px; color: white; }"
        "QComboBox { padding-right: 16px; }"
        "QComboBox::drop-down { width: 16px; border: none; }"
        "QSpinBox QToolButton { background-color: #24272e; color: #aeb2bb; border: none;"
        " border-left: 1px solid #454a55; font-size: 9px; font-weight: 600; padding: 0; }"
        "QSpinBox QToolButton#spinUp { border-bottom: 1px solid #3a3e48; }"
        "QSpinBox QToolButton:hover { background-color: #343840; color: #d4af37; }"
        "QSpinBox QToolButton:pressed { background-color: #454a55; color: #ffe082; }"
        "QSpinBox:hover, QComboBox:hover { border-color: #50545e; }"
        "QSpinBox:focus { border-color: #d4af37; }"
        "QComboBox:focus { border-color: #50545e; }"
        "QSpinBox:disabled, QComboBox:disabled { background-color: #202228; border-color: #303238;"
        " color: #777777; }"
        "QComboBox QAbstractItemView { background-color: #17191d; color: white; border: 1px solid #333333;"
        " selection-background-color: #343840; selection-color: #d4af37; }");
}

QString pick(bool chinese, const char* english, const char* chineseText)
{
    return QString::fromUtf8(chinese ? chineseText : english);
}

QString streamKey(int index, const char* subKey)
{
    return QString::fromLatin1(kKeyStreamPrefix).arg(index) + QLatin1String(subKey);
}

// The store holds stream keys inside the URLs: keep its folder private to
// the user, as the registry it stands in for is.
void syncPrivately(QSettings& s)
{
    s.sync();
    const QString folder = QFileInfo(s.fileName()).absolutePath();
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A spin box whose step buttons are real tool buttons, so they stay visible
// under the dark field style (the style's own arrows vanish there).
class VisibleArrowSpinBox : public QSpinBox {
public:
    VisibleArrowSpinBox()
        : m_up(new QToolButton(this))
        , m_down(new QToolButton(this))
    {
        setButtonSymbols(QAbstractSpinBox::NoButtons);
        setupButton(m_up, "spinUp", "^");
        setupButton(m_down, "spinDown", "v");
        QObject::connect(m_up, &QToolButton::clicked, this, [this] { stepBy(1); });
        QObject::connect(m_down, &QToolButton::clicked, this, [this] { stepBy(-1); });
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QSpinBox::resizeEvent(event);
        const int w = width();
        const int h = height();
        const int half = h / 2;
        m_up->setGeometry(w - kArrowButtonWidth, 0, kArrowButtonWidth, half);
        m_down->setGeometry(w - kArrowButtonWidth, half, kArrowButtonWidth, h - half);
        lineEdit()->setTextMargins(0, 0, kArrowButtonWidth, 0);
    }

private:
    static void setupButton(QToolButton* button, const char* name, const char* text)
    {
        button->setObjectName(QLatin1String(name));
        button->setText(QLatin1String(text));
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setAutoRepeatDelay(kArrowRepeatDelayMs);
        button->setAutoRepeatInterval(kArrowRepeatIntervalMs);
    }

    QToolButton* m_up;
    QToolButton* m_down;
};

QCheckBox* makeTextlessCheck(QWidget* parent, const QString& toolTip)
{
    auto* check = new QCheckBox(parent);
    check->setMinimumSize(kCheckBoxMinSide, kCheckBoxMinSide);
    check->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    check->setToolTip(toolTip);
    return check;
}

} // namespace

OutputSettingsWidget::OutputSettingsWidget(QWidget* parent)
    : QWidget(parent)
{
    // Every control gets its restored value before its reaction is
    // connected, so nothing reacts while the panel is being built.
    buildControls();
    restoreFileAndStreams();
    saveOutputSettings(); // the resolution list and gain slider do not exist yet
    restoreResolutionAndGain();
    restoreEncoding();
    buildLayout();
    connectReactions();
    retranslateAndRefresh();
    refreshTargetAvailability();
}

OutputSettingsWidget::~OutputSettingsWidget()
{
    saveOutputSettings();
    // QWidget's destructor still closes the window, and the focused field then
    // finishes its editing; its reaction must not reach members already gone.
    const QList<QObject*> children = findChildren<QObject*>();
    for (QObject* child : children)
        disconnect(child, nullptr, this, nullptr);
}

void OutputSettingsWidget::buildControls()
{
    browseButton = new QPushButton(this);
    browseButton->setFixedWidth(kBrowseButtonWidth);

    filePathEdit = new QLineEdit(this);
    filePathEdit->setClearButtonEnabled(true);
    filePathEdit->setAccessibleName(QStringLiteral("Output file"));

    fileEnabledCheck = makeTextlessCheck(this, QStringLiteral("Enable file recording"));

    for (int i = 0; i < kDestinationCount; ++i) {
        auto* protocol = new QComboBox(this);
        for (const char* name : kProtocols)
            protocol->addItem(QLatin1String(name));
        protocol->setStyleSheet(goldListStyleSheet());
        protocol->setFixedWidth(browseButton->width());
        protocolCombos.append(protocol);

        auto* url = new QLineEdit(this);
        url->setClearButtonEnabled(true);
        url->setMinimumWidth(filePathEdit->minimumWidth());
        url->setMaximumWidth(filePathEdit->maximumWidth());
        url->setAccessibleName(QStringLiteral("Stream URL %1").arg(i + 1));
        urlEdits.append(url);

        streamEnabledChecks.append(
            makeTextlessCheck(this, QStringLiteral("Enable stream destination %1").arg(i + 1)));

        auto* status = new QLabel(this);
        status->setMinimumWidth(72);
        status->setMaximumWidth(84);
        status->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        status->setAlignment(Qt::AlignCenter);
        status->setProperty("streamStatus", QStringLiteral("idle"));
        status->setToolTip(QStringLiteral("Stream destination %1 status").arg(i + 1));
        statusLabels.append(status);
    }

    segmentCheck = new QCheckBox(this);
    segmentMinutesCombo = new QComboBox(this);
    for (int minutes : kSegmentMinutes)
        segmentMinutesCombo->addItem(QStringLiteral("%1 min").arg(minutes), minutes);
    segmentSizeCombo = new QComboBox(this);
    for (int gib : kSegmentGiB)
        segmentSizeCombo->addItem(QStringLiteral("%1 GiB").arg(gib), gib);

    startStopButton = new QPushButton(this);
    startStopButton->setMinimumSize(112, 30);
}

void OutputSettingsWidget::restoreFileAndStreams()
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);

    const QString defaultPath = defaultOutputFilePath();
    QString path = s.value(kKeyFilePath, defaultPath).toString();
    if (isLegacyDefaultOutputPath(path)) {
        path = defaultPath;
        s.setValue(kKeyFilePath, defaultPath);
    }
    filePathEdit->setText(path);
    fileEnabledCheck->setChecked(s.value(kKeyFileEnabled, true).toBool());

    for (int i = 0; i < kDestinationCount; ++i) {
        const QString protocol = s.value(streamKey(i, "protocol"), QStringLiteral("RTMP")).toString();
        // MatchFixedString compares the whole text without regard to case.
        protocolCombos[i]->setCurrentIndex(std::max(0, protocolCombos[i]->findText(protocol, Qt::MatchFixedString)));
        const QString url = s.value(streamKey(i, "url")).toString();
        urlEdits[i]->setText(url);
        urlEdits[i]->setToolTip(url.trimmed());
        streamEnabledChecks[i]->setChecked(s.value(streamKey(i, "enabled"), false).toBool());
    }

    segmentCheck->setChecked(s.value(kKeySegmentEnabled, true).toBool());
    const int minutes = s.value(kKeySegmentMinutes, kDefaultSegmentMinutes).toInt();
    segmentMinutesCombo->setCurrentIndex(std::max(0, segmentMinutesCombo->findData(minutes)));
    const int gib = s.value(kKeySegmentGiB, kDefaultSegmentGiB).toInt();
    segmentSizeCombo->setCurrentIndex(std::max(0, segmentSizeCombo->findData(gib)));
    segmentMinutesCombo->setEnabled(segmentCheck->isChecked());
    segmentSizeCombo->setEnabled(segmentCheck->isChecked());
    syncPrivately(s);
}

void OutputSettingsWidget::restoreResolutionAndGain()
{
    resolutionLabel = new QLabel(this);
    resolutionLabel->setFixedWidth(browseButton->width());
    resolutionLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    resolutionLabel->setStyleSheet(QLatin1String(kGoldLabelStyle));

    resolutionCombo = new QComboBox(this);
    resolutionCombo->setStyleSheet(goldListStyleSheet());
    for (const ResolutionItem& item : kResolutionItems)
        resolutionCombo->addItem(QString::fromUtf8(item.text), item.size);

    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    const QSize stored = s.value(kKeyResolution, QSize(0, 0)).toSize();
    for (int i = 0; i < resolutionCombo->count(); ++i) {
        const QSize size = resolutionCombo->itemData(i).toSize();
        if (size.width() == stored.width() && size.height() == stored.height()) {
            resolutionCombo->setCurrentIndex(i);
            break;
        }
    }

    fpsCombo = new QComboBox(this);
    fpsCombo->addItem(QStringLiteral("30 fps"), 30.0);
    fpsCombo->addItem(QStringLiteral("60 fps"), 60.0);
    fpsCombo->setFixedWidth(76);

    gainLabel = new QLabel(this);
    gainLabel->setFixedWidth(browseButton->width());
    gainLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    gainLabel->setStyleSheet(QLatin1String(kGoldLabelStyle));

    gainSlider = new QSlider(Qt::Horizontal, this);
    gainSlider->setRange(kGainMinPercent, kGainMaxPercent);
    gainSlider->setValue(s.value(kKeyGainPercent, kDefaultGainPercent).toInt());

    gainValueLabel = new QLabel(this);
    gainValueLabel->setStyleSheet(QLatin1String(kGainValueStyle));
    gainValueLabel->setMinimumWidth(56);
    updateGainLabel();
}

void OutputSettingsWidget::restoreEncoding()
{
    encodingLabel = new QLabel(this);
    encodingLabel->setFixedWidth(kEncodingLabelWidth);
    encodingLabel->setStyleSheet(QLatin1String(kGoldLabelStyle));

    auto* bitrate = new VisibleArrowSpinBox;
    bitrate->setParent(this);
    bitrate->setRange(0, kMaxBitrateKbps);
    bitrate->setSingleStep(kBitrateStepKbps);
    bitrate->setSuffix(QStringLiteral(" kbps"));
    bitrate->setFixedWidth(std::max(108, QFontMetrics(bitrate->font()).horizontalAdvance(QStringLiteral("200000 kbps")) + 30));
    bitrateSpin = bitrate;

    followPresetCheck = new QCheckBox(this);

    auto* keyframe = new VisibleArrowSpinBox;
    keyframe->setParent(this);
    keyframe->setRange(1, 4);
    keyframe->setSuffix(QStringLiteral(" s"));
    keyframe->setFixedWidth(65);
    keyframeSpin = keyframe;

    encoderCombo = new QComboBox(this);
    encoderCombo->addItems({QStringLiteral("Auto"), QStringLiteral("Hardware"), QStringLiteral("Software")});
    encoderCombo->setFixedWidth(96);
    presetCombo = new QComboBox(this);
    presetCombo->addItems({QStringLiteral("Performance"), QStringLiteral("Balanced"), QStringLiteral("Quality")});
    presetCombo->setFixedWidth(116);

    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    const bool bitrateStored = s.contains(kKeyBitrate);
    const int storedBitrate = s.value(kKeyBitrate, recommendedBitrateKbps()).toInt();
    bitrateFollowsPreset = outputrules::bitrateFollowsFromStore(
        bitrateStored, storedBitrate, s.contains(kKeyFollow), s.value(kKeyFollow).toBool());
    fpsCombo->setCurrentIndex(outputrules::fpsIndexForStored(s.value(kKeyFps, kDefaultFps).toDouble()));

    bitrateSpin->setValue(storedBitrate);
    applyRecommendedBitrate();
    followPresetCheck->setChecked(bitrateFollowsPreset);
    bitrateSpin->setEnabled(!bitrateFollowsPreset);

    keyframeSpin->setValue(s.value(kKeyKeyframe, kDefaultKeyframeSeconds).toInt());
    // A hand-edited or damaged store must not leave the lists showing nothing.
    encoderCombo->setCurrentIndex(outputrules::listIndexOrDefault(
        s.value(kKeyEncoderMode, kDefaultEncoderMode).toInt(), kListEntries, kDefaultEncoderMode));
    presetCombo->setCurrentIndex(outputrules::listIndexOrDefault(
        s.value(kKeyQualityPreset, kDefaultQualityPreset).toInt(), kListEntries, kDefaultQualityPreset));

    for (QWidget* field : std::initializer_list<QWidget*>{bitrateSpin, keyframeSpin, fpsCombo, encoderCombo,
                                                          presetCombo, segmentMinutesCombo, segmentSizeCombo}) {
        field->setStyleSheet(fieldStyleSheet());
        field->setMinimumHeight(kFieldMinHeight);
    }

    enforce8KRules();
}

void OutputSettingsWidget::buildLayout()
{
    setStyleSheet(uitheme::goldCheckBoxStyleSheet());

    auto* root = new QVBoxLayout(this);
    root->setSpacing(8);
    auto row = [root](int spacing) {
        auto* layout = new QHBoxLayout;
        layout->setSpacing(spacing);
        root->addLayout(layout);
        return layout;
    };

    QHBoxLayout* resolutionRow = row(8);
    resolutionRow->addWidget(resolutionLabel, 0, Qt::AlignLeft);
    resolutionRow->addWidget(resolutionCombo, 1);
    resolutionRow->addWidget(fpsCombo);

    QHBoxLayout* gainRow = row(8);
    gainRow->addWidget(gainLabel, 0, Qt::AlignLeft);
    gainRow->addWidget(gainSlider, 1);
    gainRow->addWidget(gainValueLabel, 0, Qt::AlignLeft);

    QHBoxLayout* encodingRow = row(6);
    encodingRow->addWidget(encodingLabel);
    encodingRow->addWidget(bitrateSpin);
    encodingRow->addWidget(followPresetCheck);
    encodingRow->addWidget(keyframeSpin);
    encodingRow->addStretch();

    QHBoxLayout* encoderRow = row(6);
    encoderRow->addSpacing(encodingLabel->width());
    encoderRow->addWidget(encoderCombo);
    encoderRow->addWidget(presetCombo);
    encoderRow->addStretch();

    QHBoxLayout* fileRow = row(8);
    fileRow->addWidget(browseButton, 0, Qt::AlignLeft);
    fileRow->addWidget(filePathEdit, 1);
    fileRow->addWidget(fileEnabledCheck, 0, Qt::AlignLeft);

    QHBoxLayout* segmentRow = row(8);
    segmentRow->addWidget(segmentCheck);
    segmentRow->addWidget(segmentMinutesCombo);
    segmentRow->addWidget(segmentSizeCombo);
    segmentRow->addStretch();

    for (int i = 0; i < kDestinationCount; ++i) {
        QHBoxLayout* destinationRow = row(8);
        destinationRow->addWidget(protocolCombos[i], 0, Qt::AlignLeft);
        destinationRow->addWidget(urlEdits[i], 1);
        destinationRow->addWidget(statusLabels[i]);
        destinationRow->addWidget(streamEnabledChecks[i], 0, Qt::AlignLeft);
    }

    root->addStretch();

    QHBoxLayout* startRow = row(8);
    startRow->addStretch();
    startRow->addWidget(startStopButton);
}

void OutputSettingsWidget::connectReactions()
{
    connect(browseButton, &QPushButton::clicked, this, [this] { browseOutputFile(); });
    connect(filePathEdit, &QLineEdit::editingFinished, this, [this] {
        refreshTargetAvailability();
        saveOutputSettings();
        emit outputFileChanged(filePathEdit->text());
    });
    connect(filePathEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        const QString trimmed = text.trimmed();
        filePathEdit->setToolTip(trimmed);
        fileEnabledCheck->setEnabled(!outputActive && !trimmed.isEmpty());
    });
    connect(fileEnabledCheck, &QCheckBox::toggled, this, [this] {
        refreshTargetAvailability();
        saveOutputSettings();
    });

    for (int i = 0; i < kDestinationCount; ++i) {
        connect(urlEdits[i], &QLineEdit::editingFinished, this, [this, i] {
            refreshTargetAvailability();
            setStreamStatus(i, QStringLiteral("idle"));
            saveOutputSettings();
            emit streamSettingsChanged();
        });
        connect(urlEdits[i], &QLineEdit::textChanged, this, [this, i](const QString& text) {
            const QString trimmed = text.trimmed();
            urlEdits[i]->setToolTip(trimmed);
            streamEnabledChecks[i]->setEnabled(!outputActive && !trimmed.isEmpty());
            // Not blocked: a box that was ticked runs its own reaction.
            if (trimmed.isEmpty())
                streamEnabledChecks[i]->setChecked(false);
        });
        connect(protocolCombos[i], &QComboBox::currentTextChanged, this, [this, i] {
            refreshTargetAvailability();
            setStreamStatus(i, QStringLiteral("idle"));
            retranslateAndRefresh();
            saveOutputSettings();
            emit streamSettingsChanged();
        });
        connect(streamEnabledChecks[i], &QCheckBox::toggled, this, [this] {
            refreshTargetAvailability();
            saveOutputSettings();
        });
    }

    auto segmentChanged = [this] {
        const bool enabled = segmentCheck->isChecked() && !outputActive;
        segmentMinutesCombo->setEnabled(enabled);
        segmentSizeCombo->setEnabled(enabled);
        saveOutputSettings();
        emit encodingSettingsChanged();
    };
    connect(segmentCheck, &QCheckBox::toggled, this, segmentChanged);
    connect(segmentMinutesCombo, &QComboBox::currentIndexChanged, this, segmentChanged);
    connect(segmentSizeCombo, &QComboBox::currentIndexChanged, this, segmentChanged);

    connect(resolutionCombo, &QComboBox::currentIndexChanged, this, [this] {
        applyRecommendedBitrate();
        enforce8KRules();
        saveOutputSettings();
        saveEncodingSettings();
        emit outputDimensionsChanged(outputWidth(), outputHeight());
    });
    gainSaveTimer = new QTimer(this);
    gainSaveTimer->setSingleShot(true);
    gainSaveTimer->setInterval(kGainSaveDelayMs);
    connect(gainSaveTimer, &QTimer::timeout, this, [this] { saveOutputSettings(); });
    connect(gainSlider, &QSlider::valueChanged, this, [this](int value) {
        updateGainLabel();
        if (!gainSlider->isSliderDown())
            gainSaveTimer->start();
        emit programRecordLinearGainChanged(static_cast<float>(value) / 100.0f);
    });
    connect(gainSlider, &QSlider::sliderReleased, this, [this] {
        gainSaveTimer->stop();
        saveOutputSettings();
    });
    connect(fpsCombo, &QComboBox::currentIndexChanged, this, [this] {
        applyRecommendedBitrate();
        enforce8KRules();
        saveEncodingSettings();
    });
    connect(bitrateSpin, &QSpinBox::valueChanged, this, [this] {
        if (!updatingBitrate) {
            // A value the operator chose ends following.
            bitrateFollowsPreset = false;
            const QSignalBlocker block(followPresetCheck);
            followPresetCheck->setChecked(false);
        }
        saveEncodingSettings();
    });
    connect(followPresetCheck, &QCheckBox::toggled, this, [this](bool checked) {
        bitrateFollowsPreset = checked;
        applyRecommendedBitrate();
        bitrateSpin->setEnabled(!bitrateFollowsPreset && !outputActive);
        saveEncodingSettings();
    });
    connect(keyframeSpin, &QSpinBox::valueChanged, this, [this] { saveEncodingSettings(); });
    connect(encoderCombo, &QComboBox::currentIndexChanged, this, [this] {
        enforce8KRules();
        saveEncodingSettings();
    });
    connect(presetCombo, &QComboBox::currentIndexChanged, this, [this] {
        enforce8KRules();
        saveEncodingSettings();
    });
    connect(startStopButton, &QPushButton::clicked, this, [this] {
        if (outputActive)
            emit stopOutputRequested();
        else
            emit startOutputRequested();
    });
}

// --- getters ---------------------------------------------------------------

QString OutputSettingsWidget::outputFilePath() const
{
    return filePathEdit->text();
}

int OutputSettingsWidget::streamDestinationCount() const
{
    return kDestinationCount;
}

QString OutputSettingsWidget::streamProtocol(int index) const
{
    if (index < 0 || index >= kDestinationCount)
        return {};
    return protocolCombos[index]->currentText();
}

QString OutputSettingsWidget::streamUrl(int index) const
{
    if (index < 0 || index >= kDestinationCount)
        return {};
    return urlEdits[index]->text();
}

int OutputSettingsWidget::outputWidth() const
{
    return resolutionCombo->currentData().toSize().width();
}

int OutputSettingsWidget::outputHeight() const
{
    return resolutionCombo->currentData().toSize().height();
}

float OutputSettingsWidget::programRecordLinearGain() const
{
    return static_cast<float>(gainSlider->value()) / 100.0f;
}

int OutputSettingsWidget::videoBitrateKbps() const
{
    return bitrateSpin->value();
}

double OutputSettingsWidget::outputFps() const
{
    return fpsCombo->currentData().toDouble();
}

int OutputSettingsWidget::keyframeIntervalSeconds() const
{
    return keyframeSpin->value();
}

int OutputSettingsWidget::encoderMode() const
{
    return encoderCombo->currentIndex();
}

int OutputSettingsWidget::qualityPreset() const
{
    return presetCombo->currentIndex();
}

bool OutputSettingsWidget::segmentEnabled() const
{
    return segmentCheck->isChecked();
}

qint64 OutputSettingsWidget::segmentDurationMs() const
{
    return static_cast<qint64>(segmentMinutesCombo->currentData().toInt()) * 60000;
}

qint64 OutputSettingsWidget::segmentSizeBytes() const
{
    return static_cast<qint64>(segmentSizeCombo->currentData().toInt()) << 30;
}

bool OutputSettingsWidget::fileRecordingEnabled() const
{
    return fileEnabledCheck->isChecked() && !filePathEdit->text().trimmed().isEmpty();
}

bool OutputSettingsWidget::streamDestinationEnabled(int index) const
{
    if (index < 0 || index >= kDestinationCount)
        return false;
    return streamEnabledChecks[index]->isChecked() && !urlEdits[index]->text().trimmed().isEmpty();
}

// --- setters ---------------------------------------------------------------

void OutputSettingsWidget::setCanvasSize(QSize size)
{
    if (size.width() <= 0 || size.height() <= 0 || size == canvasSize)
        return;
    canvasSize = size;
    updateCanvasLabels();
    const QSize chosen = resolutionCombo->currentData().toSize();
    if (chosen.width() > 0 && chosen.height() > 0)
        return;
    applyRecommendedBitrate();
    enforce8KRules();
    emit encodingSettingsChanged();
}

void OutputSettingsWidget::setStopping(bool value)
{
    stopping = value;
    startStopButton->setEnabled(!stopping);
    retranslateAndRefresh();
}

void OutputSettingsWidget::setChineseUi(bool chinese)
{
    chineseUi = chinese;
    retranslateAndRefresh();
}

void OutputSettingsWidget::setStreamStatus(int index, const QString& status)
{
    if (index < 0 || index >= kDestinationCount)
        return;
    QLabel* label = statusLabels[index];
    label->setProperty("streamStatus", status);
    label->setStyleSheet(QString::fromLatin1(kStatusStyle).arg(outputrules::statusColor(status)));
    retranslateAndRefresh();
}

void OutputSettingsWidget::setOutputActive(bool active)
{
    outputActive = active;
    if (!active)
        stopping = false;
    startStopButton->setEnabled(true);

    filePathEdit->setReadOnly(active);
    for (QLineEdit* url : std::as_const(urlEdits))
        url->setReadOnly(active);

    QList<QWidget*> locked{browseButton,    resolutionLabel, resolutionCombo, followPresetCheck, keyframeSpin,
                           fpsCombo,        encoderCombo,    presetCombo,     segmentCheck};
    for (QComboBox* protocol : std::as_const(protocolCombos))
        locked.append(protocol);
    for (QWidget* w : std::as_const(locked))
        w->setEnabled(!active);

    bitrateSpin->setEnabled(!active && !bitrateFollowsPreset);
    fileEnabledCheck->setEnabled(!active && !filePathEdit->text().trimmed().isEmpty());
    for (int i = 0; i < kDestinationCount; ++i)
        streamEnabledChecks[i]->setEnabled(!active && !urlEdits[i]->text().trimmed().isEmpty());
    segmentMinutesCombo->setEnabled(!active && segmentCheck->isChecked());
    segmentSizeCombo->setEnabled(!active && segmentCheck->isChecked());

    retranslateAndRefresh();
    refreshTargetAvailability();
}

// --- rules -------------------------------------------------------------------

QString OutputSettingsWidget::defaultOutputFilePath()
{
    QString location = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (location.trimmed().isEmpty())
        location = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (location.trimmed().isEmpty())
        location = QDir::homePath();
    const QString folder = QDir(location).filePath(
        QStringLiteral("%1/%2").arg(QLatin1String(settingsstore::kOrganisation), QLatin1String(settingsstore::kApplication)));
    QDir().mkpath(folder); // a failure shows when recording starts
    return QDir(folder).filePath(QStringLiteral("output.mp4"));
}

bool OutputSettingsWidget::isLegacyDefaultOutputPath(const QString& path)
{
    if (path.trimmed().isEmpty())
        return false;
    const QString legacy = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("output.mp4"));
    const QString a = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString b = QDir::cleanPath(QFileInfo(legacy).absoluteFilePath());
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QSize OutputSettingsWidget::effectiveOutputSize() const
{
    const QSize chosen = resolutionCombo ? resolutionCombo->currentData().toSize() : QSize();
    if (chosen.width() >= 1 && chosen.height() >= 1)
        return chosen;
    return canvasSize;
}

int OutputSettingsWidget::recommendedBitrateKbps() const
{
    return recommendEncodingSettings(effectiveOutputSize(), outputFps()).kbps;
}

void OutputSettingsWidget::applyRecommendedBitrate()
{
    if (!bitrateFollowsPreset)
        return;
    const QSignalBlocker block(bitrateSpin);
    updatingBitrate = true;
    bitrateSpin->setValue(recommendedBitrateKbps());
    updatingBitrate = false;
}

void OutputSettingsWidget::enforce8KRules()
{
    const outputrules::EightKDecision d =
        outputrules::eightKRule(effectiveOutputSize(), outputFps(), outputActive, chineseUi);
    if (d.forceHardwareEncoder && encoderCombo->currentIndex() != kEncoderHardware) {
        const QSignalBlocker block(encoderCombo);
        encoderCombo->setCurrentIndex(kEncoderHardware);
    }
    if (d.forcePerformancePreset && presetCombo->currentIndex() != kPresetPerformance) {
        const QSignalBlocker block(presetCombo);
        presetCombo->setCurrentIndex(kPresetPerformance);
    }
    encoderCombo->setEnabled(d.encoderEnabled);
    encoderCombo->setToolTip(d.encoderToolTip);
    presetCombo->setEnabled(d.presetEnabled);
    presetCombo->setToolTip(d.presetToolTip);
}

void OutputSettingsWidget::refreshTargetAvailability()
{
    const QSignalBlocker blockFile(fileEnabledCheck);
    std::vector<QSignalBlocker> blockStreams;
    blockStreams.reserve(streamEnabledChecks.size());
    for (QCheckBox* box : std::as_const(streamEnabledChecks))
        blockStreams.emplace_back(box);

    const bool havePath = !filePathEdit->text().trimmed().isEmpty();
    if (!havePath) {
        fileEnabledCheck->setChecked(false);
        fileEnabledCheck->setEnabled(false);
    } else {
        fileEnabledCheck->setEnabled(!outputActive);
    }
    bool available = havePath && fileEnabledCheck->isChecked();

    for (int i = 0; i < kDestinationCount; ++i) {
        QCheckBox* box = streamEnabledChecks[i];
        const bool haveUrl = !urlEdits[i]->text().trimmed().isEmpty();
        if (!haveUrl) {
            box->setChecked(false);
            box->setEnabled(false);
        } else {
            box->setEnabled(!outputActive);
        }
        available = available || (haveUrl && box->isChecked());
    }

    if (!outputActive && !stopping)
        startStopButton->setEnabled(available);
    emit outputTargetsChanged();
}

void OutputSettingsWidget::saveOutputSettings()
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    s.setValue(kKeyFilePath, filePathEdit->text().trimmed());
    s.setValue(kKeyFileEnabled, fileEnabledCheck->isChecked());
    s.setValue(kKeySegmentEnabled, segmentCheck->isChecked());
    s.setValue(kKeySegmentMinutes, segmentMinutesCombo->currentData().toInt());
    s.setValue(kKeySegmentGiB, segmentSizeCombo->currentData().toInt());
    if (resolutionCombo)
        s.setValue(kKeyResolution, resolutionCombo->currentData().toSize());
    if (gainSlider)
        s.setValue(kKeyGainPercent, gainSlider->value());
    if (gainSaveTimer)
        gainSaveTimer->stop(); // the pending gain is written now
    for (int i = 0; i < kDestinationCount; ++i) {
        s.setValue(streamKey(i, "protocol"), protocolCombos[i]->currentText());
        s.setValue(streamKey(i, "url"), urlEdits[i]->text().trimmed());
        s.setValue(streamKey(i, "enabled"), streamEnabledChecks[i]->isChecked());
    }
    syncPrivately(s);
}

void OutputSettingsWidget::saveEncodingSettings()
{
    {
        QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
        s.setValue(kKeyBitrate, bitrateSpin->value());
        s.setValue(kKeyFollow, bitrateFollowsPreset);
        s.setValue(kKeyFps, outputFps());
        s.setValue(kKeyKeyframe, keyframeSpin->value());
        s.setValue(kKeyEncoderMode, encoderCombo->currentIndex());
        s.setValue(kKeyQualityPreset, presetCombo->currentIndex());
        syncPrivately(s);
    }
    emit encodingSettingsChanged();
}

void OutputSettingsWidget::browseOutputFile()
{
    QString current = filePathEdit->text();
    if (current.trimmed().isEmpty())
        current = defaultOutputFilePath();
    const QString start = QDir(QFileInfo(current).absolutePath()).filePath(QStringLiteral("output.mp4"));
    // Qt's own dialog: the same on every desktop, and a test can answer it.
    const QString answer = QFileDialog::getSaveFileName(
        this, pick(chineseUi, "Output File", "输出文件"), start,
        QStringLiteral("MP4 (*.mp4);;MKV (*.mkv);;AVI (*.avi)"), nullptr, QFileDialog::DontUseNativeDialog);
    if (answer.isEmpty())
        return;
    filePathEdit->setText(answer);
    refreshTargetAvailability();
    saveOutputSettings();
    emit outputFileChanged(answer);
}

// --- texts -------------------------------------------------------------------

void OutputSettingsWidget::updateCanvasLabels()
{
    const QString same = pick(chineseUi, "Same as Program", "与节目相同");
    if (canvasSize.width() > 0 && canvasSize.height() > 0)
        resolutionCombo->setItemText(0, QStringLiteral("%1 (%2 x %3)").arg(same).arg(canvasSize.width()).arg(canvasSize.height()));
    else
        resolutionCombo->setItemText(0, same);
    resolutionCombo->setToolTip(pick(chineseUi,
                                     "Recording and streaming use the effective canvas resolution. The resolution "
                                     "is locked while output is active.",
                                     "录制和推流使用当前有效画布分辨率；输出期间分辨率保持锁定。"));
    resolutionLabel->setToolTip(QStringLiteral("%1: %2 x %3")
                                    .arg(pick(chineseUi, "Current canvas", "当前画布"))
                                    .arg(canvasSize.width())
                                    .arg(canvasSize.height()));
}

void OutputSettingsWidget::updateGainLabel()
{
    gainValueLabel->setText(outputrules::gainText(gainSlider->value()));
}

void OutputSettingsWidget::retranslateAndRefresh()
{
    const bool zh = chineseUi;
    browseButton->setText(pick(zh, "Browse...", "选择文件..."));
    segmentCheck->setText(pick(zh, "Segment recording", "录制分段"));
    segmentCheck->setToolTip(pick(zh, "Start a new file at a keyframe when either limit is reached",
                                  "达到时间或大小限制后在关键帧处开始新文件"));
    resolutionLabel->setText(pick(zh, "Resolution", "输出分辨率"));
    updateCanvasLabels();
    gainLabel->setText(pick(zh, "Output Gain", "输出增益"));
    // The two row labels share the Browse button's column unless the
    // platform's font needs more room for the bold text.
    QFont bold = resolutionLabel->font();
    bold.setBold(true);
    const QFontMetrics boldMetrics(bold);
    const int labelWidth = std::max({kBrowseButtonWidth, boldMetrics.horizontalAdvance(resolutionLabel->text()) + 6,
                                     boldMetrics.horizontalAdvance(gainLabel->text()) + 6});
    resolutionLabel->setFixedWidth(labelWidth);
    gainLabel->setFixedWidth(labelWidth);
    gainSlider->setToolTip(pick(zh,
                                "Adjusts the program gain for recording and streaming only. It does not affect "
                                "channel mixing or monitoring.",
                                "仅调整录制和推流的节目增益，不影响通道混音或监听。"));
    encodingLabel->setText(pick(zh, "Encoding", "编码"));
    encodingLabel->setToolTip(pick(zh, "All enabled destinations share one encoder to minimize CPU/GPU load.",
                                   "所有启用的输出目标共用一个编码器，以降低 CPU/GPU 负载。"));
    bitrateSpin->setSpecialValueText(pick(zh, "Auto", "自动"));
    bitrateSpin->setToolTip(pick(zh, "Video bitrate", "视频码率"));
    keyframeSpin->setToolTip(pick(zh, "Keyframe interval", "关键帧间隔"));
    fpsCombo->setToolTip(pick(zh, "Output frame rate", "输出帧率"));
    followPresetCheck->setText(pick(zh, "Auto", "自动"));
    followPresetCheck->setToolTip(pick(zh, "Follow the recommended bitrate for the selected resolution and frame rate",
                                       "根据所选分辨率和帧率自动使用推荐码率"));
    encoderCombo->setItemText(0, pick(zh, "Auto", "自动"));
    encoderCombo->setItemText(1, pick(zh, "Hardware", "硬件"));
    encoderCombo->setItemText(2, pick(zh, "Software", "软件"));
    presetCombo->setItemText(0, pick(zh, "Performance", "性能"));
    presetCombo->setItemText(1, pick(zh, "Balanced", "均衡"));
    presetCombo->setItemText(2, pick(zh, "Quality", "质量"));

    const outputrules::StartStopLook look = outputrules::startStopLook(outputActive, stopping, zh);
    startStopButton->setText(look.text);
    startStopButton->setToolTip(look.toolTip);
    startStopButton->setStyleSheet(look.styleSheet);

    for (int i = 0; i < kDestinationCount; ++i)
        urlEdits[i]->setPlaceholderText(outputrules::urlPlaceholder(protocolCombos[i]->currentText(), i + 1, zh));
    for (QComboBox* protocol : std::as_const(protocolCombos))
        protocol->setToolTip(outputrules::protocolToolTip(protocol->currentText(), zh));
    for (QLabel* status : std::as_const(statusLabels))
        status->setText(outputrules::statusText(status->property("streamStatus").toString(), zh));

    enforce8KRules();
}
