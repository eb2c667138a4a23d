#include "ui/volumectrlwidget.h"

#include "ui/ledslider.h"
#include "ui/uitheme.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {
const char* const kGroupStyle = "QGroupBox { color:white; font-weight:bold; }";
const char* const kTitleStyle = "color:white; font-weight:bold;";
const char* const kValueStyle = "color:white; font-size:12px;";

QString percentText(int v)
{
    return QString::number(v) + QLatin1Char('%');
}
} // namespace

VolumeCtrlWidget::VolumeCtrlWidget(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("audioMixerPanel"));
    setStyleSheet(QStringLiteral("#audioMixerPanel { background-color:%1; }").arg(QLatin1String(uitheme::kBgDeepest)));
    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(10);
    layout->setContentsMargins(8, 8, 8, 8);

    overlayGroup = new QGroupBox(this);
    overlayGroup->setStyleSheet(QLatin1String(kGroupStyle));
    overlayGroup->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(overlayGroup, 1);
    auto* columns = new QHBoxLayout(overlayGroup);
    columns->setContentsMargins(8, 12, 8, 8);
    columns->setSpacing(10);
    for (int c = 0; c < kOverlayChannels; ++c) {
        auto* column = new QVBoxLayout;
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(6);
        overlayTitleLabels[c] = new QLabel(overlayGroup);
        overlayTitleLabels[c]->setAlignment(Qt::AlignHCenter);
        overlayTitleLabels[c]->setStyleSheet(QLatin1String(kTitleStyle));
        overlayValueLabels[c] = new QLabel(percentText(kInitialOverlayVolume), overlayGroup);
        overlayValueLabels[c]->setAlignment(Qt::AlignHCenter);
        overlayValueLabels[c]->setStyleSheet(QLatin1String(kValueStyle));
        overlaySliders[c] = new LedSlider(overlayGroup);
        column->addWidget(overlayTitleLabels[c]);
        column->addWidget(overlayValueLabels[c]);
        column->addWidget(overlaySliders[c], 1, Qt::AlignHCenter);
        columns->addLayout(column);
        connect(overlaySliders[c], &LedSlider::valueChanged, this, [this, c](int v) {
            overlayValueLabels[c]->setText(percentText(v));
            emit inputVolumeChanged(c, v);
        });
        overlaySliders[c]->setValue(kInitialOverlayVolume);
    }

    outputGroup = new QGroupBox(this);
    outputGroup->setStyleSheet(QLatin1String(kGroupStyle));
    outputGroup->setMinimumWidth(124);
    outputGroup->setMaximumWidth(140);
    outputGroup->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    layout->addWidget(outputGroup, 0, Qt::AlignRight);
    auto* output = new QVBoxLayout(outputGroup);
    output->setContentsMargins(8, 12, 8, 8);
    output->setSpacing(6);
    output->setAlignment(Qt::AlignHCenter);
    outputTitleLabel = new QLabel(outputGroup);
    outputTitleLabel->setAlignment(Qt::AlignHCenter);
    outputTitleLabel->setStyleSheet(QLatin1String(kTitleStyle));
    outputValueLabel = new QLabel(percentText(kInitialMonitorVolume), outputGroup);
    outputValueLabel->setAlignment(Qt::AlignHCenter);
    outputValueLabel->setStyleSheet(QLatin1String(kValueStyle));
    monitorSlider = new LedSlider(outputGroup);
    monitorSlider->setValue(kInitialMonitorVolume);
    output->addWidget(outputTitleLabel);
    output->addWidget(outputValueLabel);
    output->addWidget(monitorSlider, 1, Qt::AlignHCenter);
    connect(monitorSlider, &LedSlider::valueChanged, this, [this](int v) {
        outputValueLabel->setText(percentText(v));
        emit previewVolumeChanged(v);
    });

    setChineseUi(false);
}

void VolumeCtrlWidget::setChineseUi(bool chinese)
{
    chineseUi = chinese;
    overlayGroup->setTitle(chinese ? QStringLiteral("叠加") : QStringLiteral("Overlay"));
    overlayGroup->setToolTip(chinese ? QStringLiteral("四路叠加视频解码音进入节目合成时的音量；各叠加本地监听请在叠加条上调节。")
                                     : QStringLiteral("Volume of the four overlay video audio tracks in the program "
                                                      "mix. Local overlay monitoring is adjusted on each overlay strip."));
    for (int c = 0; c < kOverlayChannels; ++c) {
        const int n = c + 1;
        overlayTitleLabels[c]->setText((chinese ? QStringLiteral("叠 %1") : QStringLiteral("OL %1")).arg(n));
        overlaySliders[c]->setToolTip(
            (chinese ? QStringLiteral("叠加 %1 节目音量") : QStringLiteral("Overlay %1 program volume")).arg(n));
    }
    outputGroup->setTitle(chinese ? QStringLiteral("输出") : QStringLiteral("Output"));
    outputTitleLabel->setText(chinese ? QStringLiteral("输出") : QStringLiteral("Output"));
    monitorSlider->setToolTip(chinese ? QStringLiteral("节目输出监听音量") : QStringLiteral("Program output monitor volume"));
}

int VolumeCtrlWidget::previewVolume() const
{
    return monitorSlider->value();
}

int VolumeCtrlWidget::inputVolume(int channel) const
{
    if (channel < 0 || channel >= kOverlayChannels)
        return 100;
    return overlaySliders[channel]->value();
}
