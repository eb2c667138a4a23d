#include "input/ffmpegvideodecoder.h"

#include "avglue/avptr.h"
#include "engine/framepool.h"
#include "engine/outputsizepolicy.h"
#include "input/decodedpicture.h"
#include "input/decodersession.h"
#include "input/filepacer.h"
#include "input/inputsource.h"
#include "input/playbackrules.h"

#include <QDebug>
#include <QUrl>

#include <chrono>
#include <vector>

namespace {

constexpr auto kReaderWait = std::chrono::milliseconds(25);
constexpr int kPausedTurnMs = 25;
constexpr int kEndedTurnMs = 20;
constexpr int kPacingStepUs = 10000;
constexpr std::int64_t kDeviceAudioLeadUs = 10000;
constexpr std::int64_t kMicrophoneLagUs = 32000;
// Sound read ahead of pictures that are behind their time.
constexpr std::int64_t kLateAudioLeadUs = 500000;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

using namespace decodersession;

FFmpegVideoDecoder::FFmpegVideoDecoder(FramePool* framePool, QObject* parent) : QObject(parent), pool(framePool)
{
    controlThread = std::thread([this] { controlLoop(); });
}

FFmpegVideoDecoder::~FFmpegVideoDecoder()
{
    stopRequested = true;
    waitIdle();
    stopWorkers();
    {
        std::lock_guard lock(mailboxMutex);
        exitRequested = true;
    }
    workCondition.notify_all();
    controlThread.join();
}

// ---------------------------------------------------------------- control

void FFmpegVideoDecoder::postCommand(std::function<void()>&& command)
{
    std::function<void()> replaced;
    {
        std::lock_guard lock(mailboxMutex);
        if (exitRequested)
            return;
        replaced = std::exchange(pendingCommand, std::move(command));
    }
    workCondition.notify_one();
}

void FFmpegVideoDecoder::controlLoop()
{
    for (;;) {
        std::function<void()> command;
        {
            std::unique_lock lock(mailboxMutex);
            workCondition.wait(lock, [this] { return bool(pendingCommand) || exitRequested; });
            if (!pendingCommand)
                return;
            command = std::exchange(pendingCommand, nullptr);
            commandRunning = true;
        }
        command();
        {
            std::lock_guard lock(mailboxMutex);
            commandRunning = false;
            if (!pendingCommand)
                idleCondition.notify_all();
        }
    }
}

void FFmpegVideoDecoder::waitIdle()
{
    std::unique_lock lock(mailboxMutex);
    idleCondition.wait(lock, [this] { return !commandRunning && !pendingCommand; });
}

void FFmpegVideoDecoder::setSource(const QString& source)
{
    postCommand([this, source] { applySource(source); });
}

void FFmpegVideoDecoder::applySource(const QString& source)
{
    {
        std::lock_guard lock(urlMutex);
        if (source == url && !stopRequested)
            return;
    }
    durationMs = -1;
    stopWorkers();
    clearAudio(false);
    {
        std::lock_guard lock(urlMutex);
        url = source;
    }
    if (source.isEmpty() || !pool) {
        std::lock_guard lock(urlMutex);
        audioSource.clear();
        separateAudio = false;
        liveDeviceAudioMaster = false;
        return;
    }
    const QString microphone = audioSourceOf(source);
    {
        std::lock_guard lock(urlMutex);
        audioSource = microphone;
    }
    separateAudio = !microphone.isEmpty();

    std::lock_guard lock(threadMutex);
    lastShownMs = -1;
    lastRequestedMs = -1;
    shownMs = -1;
    endedOnce = false;
    seekRequested = true;
    videoOriginUs = kNoPts;
    clockOriginFrames = kNoPts;
    codedSize = 0;
    displaySize = 0;
    ++generation;
    stopRequested = false;
    decodeThread = std::thread([this] { threadFunc(); });
    if (!microphone.isEmpty())
        microphoneThread = std::thread([this] { runMicrophoneCapture(); });
}

void FFmpegVideoDecoder::stopWorkers()
{
    std::lock_guard lock(threadMutex);
    stopRequested = true;
    if (microphoneThread.joinable())
        microphoneThread.join();
    if (decodeThread.joinable())
        decodeThread.join();
}

void FFmpegVideoDecoder::requestStop() { stopRequested = true; }

void FFmpegVideoDecoder::requestSeek() { seekRequested = true; }

void FFmpegVideoDecoder::setPlayback(qint64 requestedMs, bool wantPlaying)
{
    playbackrules::PlaybackState state;
    state.durationMs = durationMs.load();
    state.positionMs = positionMs.load();
    state.playing = playing.load();
    state.lastRequestedMs = lastRequestedMs.load();
    state.shownMs = shownMs.load();
    state.endedOnce = endedOnce.load();
    state.looping = looping.load();
    const playbackrules::PlaybackOutcome next = playbackrules::applyRequest(state, requestedMs, wantPlaying);
    // The seek and flush flags are only ever raised here; the decode thread
    // lowers them once it has acted.
    if (next.leaveEnded)
        endedOnce = false;
    positionMs = next.positionMs;
    playing = next.playing;
    if (next.flushAudio)
        flushAudioRequested = true;
    if (next.requestSeek) {
        // The pictures shown so far no longer say where the playback is.
        shownMs = -1;
        seekRequested = true;
    }
    lastRequestedMs = next.positionMs;
}

void FFmpegVideoDecoder::setLooping(bool on)
{
    looping = on;
    if (on)
        endedOnce = false;
}

void FFmpegVideoDecoder::setFrameCallback(std::function<void(FrameTokenPtr)>&& callback)
{
    frameCallback = std::move(callback);
}

void FFmpegVideoDecoder::setOutputSize(int width, int height)
{
    if (!pool)
        return;
    const auto [pw, ph] = pool->frameSize();
    requestedSize = packSize(std::max(1, std::min(width, pw)), std::max(1, std::min(height, ph)));
}

QSize FFmpegVideoDecoder::effectiveOutputSize() const
{
    const std::uint64_t requested = requestedSize.load();
    if (requested != 0)
        return unpackSize(requested);
    if (!pool)
        return {};
    const auto [w, h] = pool->frameSize();
    return QSize(w, h);
}

void FFmpegVideoDecoder::setAudioClock(std::shared_ptr<std::function<long long()>> clock)
{
    std::lock_guard lock(audioClockMutex);
    audioClock = std::move(clock);
}

// ---------------------------------------------------------------- publishing

void FFmpegVideoDecoder::updateSourceInfo(int codedWidth, int codedHeight, int displayWidth, int displayHeight)
{
    if (codedWidth < 1 || codedHeight < 1 || displayWidth < 1 || displayHeight < 1)
        return;
    const std::uint64_t oldCoded = codedSize.exchange(packSize(codedWidth, codedHeight));
    const std::uint64_t oldDisplay = displaySize.exchange(packSize(displayWidth, displayHeight));
    if (oldCoded != packSize(codedWidth, codedHeight) || oldDisplay != packSize(displayWidth, displayHeight))
        emit sourceVideoInfoChanged(codedWidth, codedHeight, displayWidth, displayHeight, generation.load());
}

void FFmpegVideoDecoder::deliverFrame(FrameTokenPtr&& frame)
{
    if (frame) {
        frame->generation = generation.load();
        shownMs = frame->ptsUs / 1000;
    }
    if (frameCallback)
        frameCallback(std::move(frame));
}

void FFmpegVideoDecoder::postPlaybackEnded()
{
    QMetaObject::invokeMethod(this, [this] { emit playbackEndedNaturally(); }, Qt::QueuedConnection);
}

void FFmpegVideoDecoder::postDecodeError(const QString& message)
{
    QMetaObject::invokeMethod(this, [this, message] { emit decodeError(message); }, Qt::QueuedConnection);
}

std::int64_t FFmpegVideoDecoder::readAudioClock()
{
    // Called under the lock so that clearing the clock waits for a read in
    // progress: the clock's owner may be destroyed right after.
    std::lock_guard lock(audioClockMutex);
    if (!audioClock || !*audioClock)
        return kNoPts;
    return (*audioClock)();
}

// ---------------------------------------------------------------- open

void FFmpegVideoDecoder::threadFunc()
{
    Session s(this);
    {
        std::lock_guard lock(urlMutex);
        s.source = url;
        s.microphone = audioSource;
    }
    if (s.source.isEmpty())
        return;
    liveDeviceAudioMaster = false;
    newestAudioPtsUs = kNoPts;
    s.openString = openStringOf(s.source);
    const QString scheme = QUrl(s.source, QUrl::TolerantMode).scheme().toLower();
    if (scheme == QLatin1String("desktop")) {
        runDesktopCapture(s.source);
        return;
    }
    if (scheme == QLatin1String("wgc")) {
        runWindowCapture(s.source);
        return;
    }
    if (!openSource(s))
        return;
    runDecodeLoop(s);
}

// ---------------------------------------------------------------- decode loop

int FFmpegVideoDecoder::videoDecoderThreads(int width, int height, bool live, int cores)
{
    // One software thread decodes up to about 720p in real time; the work
    // grows with the pixels, so 1080p gets 2 threads, up to 4K 4 and above
    // that 8. No decoder takes more than half the machine (at least 2 where
    // threads are wanted): four channels and four overlays share it with the
    // compositor and the encoder, and a decoder that is not behind leaves
    // its threads idle. Frame threads add one picture of delay each, which a
    // file hides behind its pacing; a live source keeps at most 2.
    const std::int64_t pixels = std::int64_t(std::max(width, 1)) * std::max(height, 1);
    int wanted = pixels <= 1280 * 720 ? 1 : pixels <= 1920 * 1080 ? 2 : pixels <= 3840 * 2160 ? 4 : 8;
    const int cap = std::max(2, std::max(cores, 1) / 2);
    wanted = std::min(wanted, cap);
    return live ? std::min(wanted, 2) : wanted;
}

void FFmpegVideoDecoder::runDecodeLoop(Session& s)
{
    s.readerUsed = s.live && s.isDshow && s.microphone.isEmpty();
    liveDeviceAudioMaster = s.readerUsed && s.audio.context;
    newestAudioPtsUs = kNoPts;
    if (s.readerUsed)
        s.reader = std::thread([this, &s] { packetReaderLoop(s); });
    {
        std::lock_guard lock(audioMutex);
        soundFollowsPictures = !s.live;
    }
    restartPacing(s);

    AVPacket* packet = s.packet.get();
    while (!stopRequested) {
        if (flushAudioRequested.exchange(false))
            clearAudio(false);

        if (!playing) {
            showPausedPosition(s);
            continue;
        }

        lastShownMs = -1;
        if (seekRequested.exchange(false)) {
            seekTo(s, positionMs.load());
            restartPacing(s);
        }

        av_packet_unref(packet);
        const int r = readPacket(s, packet);
        if (r == AVERROR(EAGAIN)) {
            sleepMs(1);
            continue;
        }
        if (r == AVERROR_EOF) {
            finishPlaythrough(s);
            continue;
        }
        if (r < 0) {
            if (stopRequested)
                break;
            const QString text = av::errorText(r);
            qWarning() << "FFmpegVideoDecoder: read failed:" << text;
            emit decodeError(QStringLiteral("av_read_frame failed: %1").arg(text));
            break;
        }

        if (s.audio.context && packet->stream_index == s.audioIndex) {
            decodeAudioPacket(s.audio, packet);
        } else if (packet->stream_index == s.videoIndex) {
            if (avcodec_send_packet(s.video.get(), packet) < 0)
                continue;
            if (s.live)
                receiveLivePictures(s);
            else
                receiveFilePictures(s);
        }
    }
    s.stopReader();
    std::lock_guard lock(audioMutex);
    soundFollowsPictures = false;
}

void FFmpegVideoDecoder::restartPacing(Session& s)
{
    s.pacer.reset();
    std::lock_guard lock(audioMutex);
    pictureClock.reset();
}

// Paused: show the picture at the requested position once each time it
// changes, and otherwise idle.
void FFmpegVideoDecoder::showPausedPosition(Session& s)
{
    s.heldBack.clear();
    const qint64 position = positionMs.load();
    if (position != lastShownMs.load()) {
        seekTo(s, position);
        lastShownMs = position;
        restartPacing(s);
        scrubTo(s);
        clearAudio(false);
    }
    sleepMs(kPausedTurnMs);
}

// The end of the file: start again when looping, otherwise report the end
// once and idle until told otherwise.
void FFmpegVideoDecoder::finishPlaythrough(Session& s)
{
    // The decoder still holds the last pictures: show them first.
    drainVideoDecoder(s);
    if (stopRequested || !playing)
        return;
    if (looping) {
        endedOnce = false;
        // The clip goes on from its start: its sound is not faded in again
        // at every pass, and its timeline runs on from the end of this one.
        // (The seek has reset the sound's clock: the sound waits for the
        // next pass's first picture.)
        seekTo(s, 0, false);
        s.pacer.continueAfterSeam();
        return;
    }
    bool expected = false;
    if (endedOnce.compare_exchange_strong(expected, true)) {
        playing = false;
        postPlaybackEnded();
    }
    sleepMs(kEndedTurnMs);
}

bool FFmpegVideoDecoder::receiveFilePictures(Session& s)
{
    while (avcodec_receive_frame(s.video.get(), s.decoded.get()) == 0) {
        if (!showFilePicture(s))
            return false;
    }
    return true;
}

bool FFmpegVideoDecoder::showFilePicture(Session& s)
{
    AVFrame* frame = s.decoded.get();
    if (stopRequested || !playing) {
        av_frame_unref(frame);
        return false;
    }
    const std::int64_t t = frameTimeUs(frame, s.videoStream);
    const std::int64_t firstNow = steadyNowUs();
    const std::int64_t due = firstNow + s.pacer.delayUs(t, firstNow);
    if (s.pacer.justAnchored()) {
        // From here on the sound is heard by this picture's clock.
        std::lock_guard lock(audioMutex);
        pictureClock = s.pacer;
    }
    if (due - firstNow > FilePacer::kReadAheadMinUs && s.audio.context) {
        readAheadWhileWaiting(s, due - firstNow);
    } else if (due < firstNow && s.audio.context) {
        // Pictures behind their time must not starve the sound: audio is
        // read on ahead of them, and once as many pictures wait as may be
        // held back, those up to the newest key frame among them are
        // skipped so the pictures catch up instead of the sound stopping.
        readAheadWhileWaiting(s, kLateAudioLeadUs);
        if (s.heldBack.size() >= s.heldBackLimit)
            skipHeldBackToKeyFrame(s);
    }
    const std::int64_t delay = due - steadyNowUs();
    if (delay > 0) {
        std::int64_t remaining = FilePacer::waitUs(delay);
        while (remaining > 0 && !stopRequested && !seekRequested) {
            const std::int64_t step = std::min<std::int64_t>(remaining, kPacingStepUs);
            std::this_thread::sleep_for(std::chrono::microseconds(step));
            remaining -= step;
        }
        if (stopRequested) {
            av_frame_unref(frame);
            return false;
        }
    }
    if (!FilePacer::tooLate(delay))
        convertAndDeliver(frame, s.software.get(), s.videoStream, s.scaler, pool, effectiveOutputSize(), this, true);
    av_frame_unref(frame);
    return true;
}

void FFmpegVideoDecoder::readAheadWhileWaiting(Session& s, std::int64_t waitUs)
{
    // Keeps the audio queue fed while a picture waits for its time. Reads
    // only from the input (never the held-back packets), and only until the
    // queued audio covers the wait or the held-back limit is reached.
    const std::int64_t wantedFrames = waitUs * kOutputSampleRate / 1000000;
    while (!stopRequested && playing && s.heldBack.size() < s.heldBackLimit && queuedAudioFrames() < wantedFrames) {
        av::PacketPtr packet(av_packet_alloc());
        if (!packet || readInputPacket(s, packet.get()) < 0)
            return;
        if (packet->stream_index == s.audioIndex)
            decodeAudioPacket(s.audio, packet.get());
        else if (packet->stream_index == s.videoIndex)
            s.heldBack.push_back(std::move(packet));
    }
}

void FFmpegVideoDecoder::skipHeldBackToKeyFrame(Session& s)
{
    auto key = std::find_if(s.heldBack.rbegin(), s.heldBack.rend(),
                            [](const av::PacketPtr& p) { return (p->flags & AV_PKT_FLAG_KEY) != 0; });
    if (key == s.heldBack.rend() || std::next(key) == s.heldBack.rend())
        return;
    const auto keep = key.base() - 1; // the key frame itself stays
    s.heldBack.erase(s.heldBack.begin(), keep);
}

void FFmpegVideoDecoder::receiveLivePictures(Session& s)
{
    bool got = false;
    while (avcodec_receive_frame(s.video.get(), s.decoded.get()) == 0) {
        if (stopRequested || !playing) {
            av_frame_unref(s.decoded.get());
            break;
        }
        av_frame_unref(s.newest.get());
        av_frame_move_ref(s.newest.get(), s.decoded.get());
        got = true;
    }
    if (got && playing && !stopRequested) {
        const std::int64_t t = frameTimeUs(s.newest.get(), s.videoStream);
        if (!shouldDropFrame(t))
            convertAndDeliver(s.newest.get(), s.software.get(), s.videoStream, s.scaler, pool, effectiveOutputSize(),
                              this, false);
    }
    av_frame_unref(s.newest.get());
}

bool FFmpegVideoDecoder::drainVideoDecoder(Session& s)
{
    if (avcodec_send_packet(s.video.get(), nullptr) < 0)
        return false;
    bool complete = true;
    if (s.live)
        receiveLivePictures(s);
    else
        complete = receiveFilePictures(s);
    // A drained decoder accepts packets again only after a flush.
    avcodec_flush_buffers(s.video.get());
    return complete;
}

void FFmpegVideoDecoder::scrubTo(Session& s)
{
    AVPacket* packet = s.packet.get();
    AVCodecContext* video = s.video.get();
    const QSize target = effectiveOutputSize();
    auto deliverOne = [&] {
        bool delivered = false;
        while (avcodec_receive_frame(video, s.decoded.get()) == 0) {
            if (!delivered)
                delivered = convertAndDeliver(s.decoded.get(), s.software.get(), s.videoStream, s.scaler, pool,
                                              target, this, true);
            av_frame_unref(s.decoded.get());
        }
        return delivered;
    };
    while (!stopRequested) {
        av_packet_unref(packet);
        const int r = readPacket(s, packet);
        if (r == AVERROR(EAGAIN))
            continue;
        if (r == AVERROR_EOF) {
            // Near the end the picture may still sit in the decoder.
            if (avcodec_send_packet(video, nullptr) >= 0)
                deliverOne();
            avcodec_flush_buffers(video);
            break;
        }
        if (r < 0)
            break;
        if (packet->stream_index != s.videoIndex || avcodec_send_packet(video, packet) < 0)
            continue;
        if (deliverOne())
            break;
    }
    av_packet_unref(packet);
}

void FFmpegVideoDecoder::seekTo(Session& s, qint64 position, bool fadeIn)
{
    s.heldBack.clear();
    shownMs = -1;
    videoOriginUs = kNoPts;
    clockOriginFrames = kNoPts;
    newestAudioPtsUs = kNoPts;
    if (s.readerUsed) {
        std::lock_guard lock(s.readerMutex);
        s.readerQueue.clear();
        s.readerBytes = 0;
    }
    auto flushDecoders = [&] {
        avcodec_flush_buffers(s.video.get());
        if (s.audio.context)
            avcodec_flush_buffers(s.audio.context.get());
    };
    if (s.live) {
        flushDecoders();
    } else if (s.input && s.videoStream && s.video) {
        const std::int64_t ts = av_rescale_q(position, AVRational{1, 1000}, s.videoStream->time_base);
        if (av_seek_frame(s.input.get(), s.videoIndex, ts, AVSEEK_FLAG_BACKWARD) >= 0)
            flushDecoders();
    }
    s.audio.dropResampler();
    clearAudio(fadeIn);
}

int FFmpegVideoDecoder::readPacket(Session& s, AVPacket* out)
{
    if (!s.heldBack.empty()) {
        av_packet_move_ref(out, s.heldBack.front().get());
        s.heldBack.pop_front();
        return 0;
    }
    if (!s.readerUsed)
        return readInputPacket(s, out);
    std::unique_lock lock(s.readerMutex);
    // Bounded, so a camera that goes quiet never holds up a stop.
    s.readerCondition.wait_for(lock, kReaderWait,
                               [&] { return !s.readerQueue.empty() || s.readerStop || stopRequested; });
    if (!s.readerQueue.empty()) {
        av::PacketPtr queued = std::move(s.readerQueue.front());
        s.readerQueue.pop_front();
        s.readerBytes -= std::uint64_t(queued->size);
        lock.unlock();
        av_packet_move_ref(out, queued.get());
        return 0;
    }
    return s.readerStop ? AVERROR_EOF : AVERROR(EAGAIN);
}

int FFmpegVideoDecoder::readInputPacket(Session& s, AVPacket* out)
{
    return av_read_frame(s.input.get(), out);
}

void FFmpegVideoDecoder::packetReaderLoop(Session& s)
{
    av::PacketPtr packet(av_packet_alloc());
    if (!packet)
        return;
    while (!s.readerStop) {
        const int r = av_read_frame(s.input.get(), packet.get());
        if (r == AVERROR_EXIT)
            break;
        if (r < 0) {
            sleepMs(3);
            continue;
        }
        av::PacketPtr queued(av_packet_alloc());
        if (!queued) {
            av_packet_unref(packet.get());
            continue;
        }
        av_packet_move_ref(queued.get(), packet.get());
        {
            std::lock_guard lock(s.readerMutex);
            appendBounded(s.readerQueue, s.readerBytes, std::move(queued));
        }
        s.readerCondition.notify_one();
    }
}

void FFmpegVideoDecoder::appendBounded(std::deque<av::PacketPtr>& queue, std::uint64_t& bytes, av::PacketPtr packet)
{
    const auto size = std::uint64_t(packet->size);
    while (!queue.empty() && (bytes + size > kReaderQueueMaxBytes || queue.size() >= kReaderQueueMaxPackets)) {
        bytes -= std::uint64_t(queue.front()->size);
        queue.pop_front();
    }
    queue.push_back(std::move(packet));
    bytes += size;
}

bool FFmpegVideoDecoder::shouldDropFrame(qint64 ptsUs)
{
    if (liveDeviceAudioMaster) {
        const std::int64_t newestAudio = newestAudioPtsUs.load();
        return newestAudio != kNoPts && newestAudio + kDeviceAudioLeadUs < ptsUs;
    }
    if (!separateAudio)
        return false;
    const std::int64_t c = readAudioClock();
    if (c == kNoPts)
        return false;
    if (videoOriginUs == kNoPts) {
        videoOriginUs = ptsUs;
        clockOriginFrames = c;
        return false;
    }
    const std::int64_t audioElapsed = (c - clockOriginFrames) * 1000000 / kOutputSampleRate;
    const std::int64_t videoElapsed = ptsUs - videoOriginUs;
    return videoElapsed - audioElapsed < -kMicrophoneLagUs;
}

// ---------------------------------------------------------------- conversion

bool FFmpegVideoDecoder::convertAndDeliver(AVFrame* frame, AVFrame* softwareFrame, AVStream* stream,
                                           av::SwsPtr& scaler, FramePool* framePool, QSize target,
                                           FFmpegVideoDecoder* decoder, bool blockingAcquire)
{
    if (!frame || !framePool || !decoder)
        return false;
    frame = decodedpicture::inSystemMemory(frame, softwareFrame);
    if (!frame)
        return false;

    const int q = decodedpicture::quarterTurns(stream);
    const QSize display = decodedpicture::displaySize(frame->width, frame->height, frame->sample_aspect_ratio,
                                                      stream ? stream->sample_aspect_ratio : AVRational{0, 1}, q);
    decoder->updateSourceInfo(frame->width, frame->height, display.width(), display.height());

    if (target.width() < 1 || target.height() < 1)
        return false;
    const QSize fitted = fitEvenSize(display, target, true);
    if (fitted.width() <= 0 || fitted.height() <= 0 || fitted.width() > target.width()
        || fitted.height() > target.height())
        return false;
    if (!decodedpicture::prepareScaler(*frame, scaler, (q % 2) ? fitted.transposed() : fitted))
        return false;

    FrameTokenPtr token = blockingAcquire ? framePool->acquire() : framePool->tryAcquire();
    if (!token)
        return false;
    decodedpicture::drawInto(*frame, scaler.get(), q, fitted, target, *token);
    token->ptsUs = frameTimeUs(frame, stream);
    decoder->deliverFrame(std::move(token));
    return true;
}
