// The monitor and window capture loops of the decoder and the conversion of
// captured BGRA pictures into pooled RGBA tokens.

#include "input/ffmpegvideodecoder.h"

#include "engine/framepool.h"
#include "engine/outputsizepolicy.h"
#include "input/capturesource.h"
#include "input/wgccaptureloader.h"
#include "platform/desktopduplicator.h"
#include "platform/displaylist.h"
#include "platform/toplevelwindows.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int kWindowBufferBytes = 33177600;   // 3840 x 2160 x 4
constexpr int kMonitorBufferBytes = 141557760; // 8192 x 4320 x 4
constexpr int kNoPictureWaitUs = 1500;
// After a passing failure of the library: long enough that a library
// failing for good does not spin a core.
constexpr int kTransientWaitUs = 5000;
constexpr int kPausedTurnMs = 12;

void sleepUs(int us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

QString windowHandleText()
{
    return QStringLiteral("wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）");
}

// A size the library reported is used only when every byte of it lies in
// the buffer; computed in 64 bits so that no product wraps.
bool fitsCapacity(int width, int height, int capacityBytes)
{
    return width >= 1 && height >= 1 && std::int64_t(width) * height * 4 <= std::int64_t(capacityBytes);
}

void fillOpaqueBlack(FrameToken& token)
{
    auto* words = reinterpret_cast<std::uint32_t*>(token.data.data());
    std::fill(words, words + std::size_t(token.data.size()) / 4, 0xff000000u);
}

} // namespace

void FFmpegVideoDecoder::deliverCapturedFrame(const std::uint8_t* bgra, int width, int height, int stride,
                                              av::SwsPtr& scaler, FramePool* framePool, QSize target,
                                              FFmpegVideoDecoder* decoder, std::int64_t timestampUs)
{
    if (!bgra || width < 1 || height < 1 || std::int64_t(stride) < std::int64_t(width) * 4 || !framePool ||
        !decoder)
        return;
    decoder->updateSourceInfo(width, height, width, height);
    const int tw = target.width();
    const int th = target.height();
    if (tw < 1 || th < 1)
        return;
    const QSize fitted = fitEvenSize(QSize(width, height), target, true);
    const int fw = fitted.width();
    const int fh = fitted.height();
    if (fw <= 0 || fh <= 0 || fw > tw || fh > th)
        return;
    // The cached context frees the old one when it makes a new one.
    scaler.reset(sws_getCachedContext(scaler.release(), width, height, AV_PIX_FMT_BGRA, fw, fh, AV_PIX_FMT_RGBA,
                                      SWS_LANCZOS, nullptr, nullptr, nullptr));
    if (!scaler)
        return;
    FrameTokenPtr token = framePool->tryAcquire();
    if (!token)
        return;
    token->width = tw;
    token->height = th;
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = tw * 4;
    const qsizetype bytes = qsizetype(tw) * 4 * th;
    if (token->data.size() != bytes)
        token->data.resize(bytes);
    token->data.detach();
    if (fw != tw || fh != th)
        fillOpaqueBlack(*token);

    auto* base = reinterpret_cast<std::uint8_t*>(token->data.data());
    std::uint8_t* dst = base + std::size_t((th - fh) / 2) * token->bytesPerLine + std::size_t((tw - fw) / 2) * 4;
    const std::uint8_t* srcPlanes[4] = {bgra, nullptr, nullptr, nullptr};
    const int srcStrides[4] = {stride, 0, 0, 0};
    std::uint8_t* dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
    const int dstStrides[4] = {token->bytesPerLine, 0, 0, 0};
    sws_scale(scaler.get(), srcPlanes, srcStrides, 0, height, dstPlanes, dstStrides);
    token->ptsUs = timestampUs;
    decoder->deliverFrame(std::move(token));
}

void FFmpegVideoDecoder::runLibraryCapture(void* handle, int capacityBytes, const QString& tooLargeText,
                                           int transientWaitUs)
{
    const WgcCaptureFunctions fns = wgcCaptureLoader().functions();
    std::vector<std::uint8_t> buffer(std::size_t(capacityBytes), 0);
    av::SwsPtr scaler;
    while (!stopRequested.load()) {
        if (flushAudioRequested.exchange(false))
            clearAudio(false);
        if (!playing.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausedTurnMs));
            continue;
        }
        if (seekRequested.exchange(false)) {
            videoOriginUs = kNoPts;
            clockOriginFrames = kNoPts;
        }
        int width = 0;
        int height = 0;
        std::int64_t timestampUs = 0;
        int r = fns.copyBgra(handle, buffer.data(), capacityBytes, &width, &height, &timestampUs);
        // Never trust the size further than the buffer reaches.
        if (r == wgcresult::kOk && (width >= 1 || height >= 1) && !fitsCapacity(width, height, capacityBytes))
            r = wgcresult::kTooLarge;
        if (r == wgcresult::kNoNewPicture) {
            sleepUs(kNoPictureWaitUs);
        } else if (r == wgcresult::kTooLarge) {
            postDecodeError(tooLargeText);
            break;
        } else if (r == wgcresult::kWindowGone) {
            postDecodeError(windowHandleText());
            break;
        } else if (r != wgcresult::kOk) {
            sleepUs(transientWaitUs);
        } else if (!stopRequested.load() && playing.load() && width >= 1 && height >= 1 &&
                   !shouldDropFrame(timestampUs)) {
            deliverCapturedFrame(buffer.data(), width, height, width * 4, scaler, pool, effectiveOutputSize(), this,
                                 timestampUs);
        }
    }
    fns.destroy(handle);
}

void FFmpegVideoDecoder::runWindowCapture(const QString& source)
{
    QString error;
    if (!ensureWgcCaptureLoaded(&error)) {
        postDecodeError(error);
        return;
    }
    const WgcCaptureFunctions fns = wgcCaptureLoader().functions();
    if (!fns.create || !fns.destroy || !fns.copyBgra) {
        postDecodeError(QStringLiteral("%1 未就绪").arg(QLatin1String(kWgcCaptureFileName)));
        return;
    }
    const quint64 window = captureWindowHandleOf(source);
    const quint64 target = topLevelAncestor(window);
    if (window == 0 || target == 0) {
        postDecodeError(windowHandleText());
        return;
    }
    void* handle = fns.create(std::uintptr_t(target));
    if (!handle) {
        postDecodeError(QStringLiteral("X Composite 窗口采集初始化失败（需 X 显示支持 Composite 扩展，窗口须存在）"));
        return;
    }
    runLibraryCapture(handle, kWindowBufferBytes, QStringLiteral("WGC 帧过大，请缩小窗口或提高缓冲"),
                      kTransientWaitUs);
}

void FFmpegVideoDecoder::runDesktopCapture(const QString& source)
{
    const int index = captureMonitorIndexOf(source);
    if (captureWantsLibraryOf(source) && ensureWgcCaptureLoaded(nullptr)) {
        const WgcCaptureFunctions fns = wgcCaptureLoader().functions();
        const quintptr monitor = fns.createMonitor && fns.destroy && fns.copyBgra ? monitorForOutputIndex(index) : 0;
        if (void* handle = monitor ? fns.createMonitor(std::uintptr_t(monitor)) : nullptr) {
            runLibraryCapture(handle, kMonitorBufferBytes, QStringLiteral("桌面 WGC 帧过大，请降低分辨率或提高缓冲"),
                              kTransientWaitUs);
            return;
        }
    }
    // Without the library, or when it cannot take this monitor, the
    // duplicator captures it silently.
    DesktopDuplicator duplicator;
    QString error;
    if (!duplicator.open(index, &error)) {
        postDecodeError(error);
        return;
    }
    std::vector<std::uint8_t> pixels;
    av::SwsPtr scaler;
    while (!stopRequested.load()) {
        if (flushAudioRequested.exchange(false))
            clearAudio(false);
        if (!playing.load()) {
            duplicator.drainFrames();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausedTurnMs));
            continue;
        }
        if (seekRequested.exchange(false)) {
            videoOriginUs = kNoPts;
            clockOriginFrames = kNoPts;
        }
        int width = 0;
        int height = 0;
        std::uint64_t timestampUs = 0;
        if (duplicator.grabFrame(&pixels, &width, &height, &timestampUs)) {
            if (!stopRequested.load() && playing.load() && !shouldDropFrame(qint64(timestampUs)))
                deliverCapturedFrame(pixels.data(), width, height, width * 4, scaler, pool, effectiveOutputSize(),
                                     this, std::int64_t(timestampUs));
            continue;
        }
        if (!duplicator.takeAccessLost()) {
            sleepUs(kNoPictureWaitUs);
            continue;
        }
        duplicator.release();
        if (!duplicator.open(index, &error)) {
            postDecodeError(error);
            break;
        }
        sleepUs(kNoPictureWaitUs);
    }
    duplicator.release();
}
