#include "output/outputrouter.h"

#include "output/ffmpegroutersink.h"
#include "output/programaudiotap.h"
#include "output/steadyclock.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kLiveQueueDepth = 4;
constexpr std::int64_t kRecordQueueDepthHuge = 3;   // above 8K-class pictures
constexpr std::int64_t kRecordQueueDepthLarge = 8;  // 4K-class pictures
constexpr std::int64_t kRecordQueueDepthSmall = 32;
constexpr std::uint64_t kDropWarnFirst = 5;
constexpr std::uint64_t kDropWarnEvery = 120;

void setMixerTap(ProgramAudioTap* mixer, bool on)
{
    if (!mixer)
        return;
    mixer->setProgramTapEnabled(on);
    if (!on)
        mixer->clearProgramTap();
}

void readMixerAudio(ProgramAudioTap* mixer, std::int16_t* dst, int frames, std::int64_t fromNs)
{
    if (mixer) {
        mixer->readProgramAudioFrom(dst, frames, fromNs);
        return;
    }
    std::memset(dst, 0, std::size_t(frames) * ProgramAudioTap::kBytesPerFrame);
}

// Creates the recording folder and checks that a file can be written there.
bool recordingDirectoryWritable(const QString& outputPath)
{
    const QString dirPath = QFileInfo(outputPath).absolutePath();
    if (!QDir().mkpath(dirPath))
        return false;
    QTemporaryFile probe(QDir(dirPath).filePath(QStringLiteral("quorb_out_XXXXXX.tmp")));
    return probe.open();
}

} // namespace

OutputRouter::OutputRouter()
    : OutputRouter(makeFfmpegRouterSink)
{
}

OutputRouter::OutputRouter(RouterSinkFactory factory)
    : sinkFactory(std::move(factory))
{
}

OutputRouter::~OutputRouter()
{
    mixerTapOff();
    running.store(false, std::memory_order_release);
    stopWorker();
    transportFailedCallback = nullptr;
    streamStatusCallback = nullptr;
}

void OutputRouter::setOutputPath(const QString& path) { outputPath = path; }

void OutputRouter::setStreamTargets(const std::vector<StreamTarget>& targets) { streamTargets = targets; }

void OutputRouter::setFps(double value)
{
    if (value > 0.1)
        fps = value;
}

void OutputRouter::setFrameSize(int w, int h)
{
    width = std::max(0, w);
    height = std::max(0, h);
}

void OutputRouter::setEncoderOptions(int bitrateKbps, int keyframeSeconds, int mode, int preset)
{
    encoderOptions = EncoderOptions{bitrateKbps, keyframeSeconds, mode, preset};
}

void OutputRouter::setSegmentOptions(const SegmentOptions& options) { segmentOptions = options; }

void OutputRouter::setTransportFailedCallback(std::function<void()> callback)
{
    transportFailedCallback = std::move(callback);
}

void OutputRouter::setStreamStatusCallback(std::function<void(int, const QString&)> callback)
{
    streamStatusCallback = std::move(callback);
}

void OutputRouter::setAudioMixer(ProgramAudioTap* value) { mixer.store(value, std::memory_order_release); }

void OutputRouter::mixerTapOff() { setMixerTap(mixer.load(std::memory_order_acquire), false); }

std::int64_t OutputRouter::queueDepthFor(bool live, int w, int h)
{
    if (live)
        return kLiveQueueDepth;
    const std::int64_t pixels = std::int64_t(std::max(w, 1)) * std::int64_t(std::max(h, 1));
    if (pixels > picturesize::kBelow8kPixels)
        return kRecordQueueDepthHuge;
    if (pixels >= picturesize::kUhdPixels)
        return kRecordQueueDepthLarge;
    return kRecordQueueDepthSmall;
}

std::int64_t OutputRouter::frameIntervalUsFor(double rate)
{
    return std::max<std::int64_t>(1, std::int64_t(std::trunc(1000000.0 / std::max(rate, 1.0))));
}

std::shared_ptr<OutputRouter::EncodeWorkerState> OutputRouter::currentState() const
{
    std::lock_guard<std::mutex> lock(routerMutex);
    return workerState;
}

bool OutputRouter::start()
{
    mixerTapOff();
    running.store(false, std::memory_order_release);
    stopWorker();

    recordingSkipped = false;
    const bool haveTargets = !streamTargets.empty();
    const bool wantRecording = !outputPath.trimmed().isEmpty();
    if (!wantRecording && !haveTargets)
        return false;

    bool recordDirOk = false;
    if (wantRecording) {
        recordDirOk = recordingDirectoryWritable(outputPath);
        if (!recordDirOk) {
            qWarning() << "OutputRouter: output directory not writable or cannot be created:" << outputPath;
            if (!haveTargets)
                return false;
            recordingSkipped = true;
        }
    }

    if (!sinkFactory)
        return false;
    std::shared_ptr<RouterSink> sink = sinkFactory();
    if (!sink)
        return false;
    const QString recordPath = recordDirOk ? outputPath : QString();
    if (!sink->configure(recordPath, streamTargets, fps))
        return false;
    sink->setOutputSize(width, height);
    sink->setEncoderOptions(encoderOptions);
    sink->setSegmentation(segmentOptions);
    if (!sink->probeEncoder(width, height)) {
        qWarning() << "OutputRouter: selected encoder does not support" << width << "x" << height << "@" << fps;
        return false;
    }

    ProgramAudioTap* const runMixer = mixer.load(std::memory_order_acquire);
    sink->setAudioPullCallback([runMixer](std::int16_t* dst, int frames, std::int64_t fromNs) {
        readMixerAudio(runMixer, dst, frames, fromNs);
    });
    if (transportFailedCallback) {
        sink->setFatalErrorCallback([callback = transportFailedCallback] { callback(); });
    }
    sink->setStatusCallback(streamStatusCallback);

    auto state = std::make_shared<EncodeWorkerState>();
    state->live = haveTargets;
    state->paced = haveTargets;
    state->recording = !recordPath.trimmed().isEmpty();
    state->frameIntervalUs = frameIntervalUsFor(fps);
    state->maxDepth = queueDepthFor(haveTargets, width, height);
    state->sink = std::move(sink);
    qInfo() << "OutputRouter: encode queue depth" << state->maxDepth << "for" << width << "x" << height
            << (haveTargets ? "live output" : "file recording");

    {
        std::lock_guard<std::mutex> lock(routerMutex);
        workerState = state;
        workerThread = std::thread(&OutputRouter::encodeWorkerMain, state);
    }

    running.store(true, std::memory_order_release);
    setMixerTap(runMixer, true);
    return true;
}

void OutputRouter::submitFrame(FrameTokenPtr frame)
{
    if (!running.load(std::memory_order_acquire) || !frame)
        return;
    const std::shared_ptr<EncodeWorkerState> state = currentState();
    if (!state || !state->sink)
        return;

    FrameTokenPtr dropped; // released after the unlock
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto& queue = state->queue;
        if (!queue.empty() && queue.back().frame->ptsUs == frame->ptsUs) {
            dropped = std::move(queue.back().frame);
            queue.pop_back();
        }
        if (std::int64_t(queue.size()) >= state->maxDepth) {
            if (state->live) {
                dropped = std::move(queue.front().frame);
                queue.pop_front();
            } else {
                dropped = std::move(queue.back().frame);
                queue.pop_back();
            }
            const std::uint64_t count = ++state->droppedFrames;
            if (count <= kDropWarnFirst || count % kDropWarnEvery == 0) {
                qWarning() << "OutputRouter: encode queue overloaded; dropped frame count" << count << "live="
                           << (state->live ? "true" : "false");
            }
        }
        queue.push_back(QueuedFrame{std::move(frame), state->generation, steadyNowNs()});
    }
    state->wake.notify_one();
}

bool OutputRouter::waitForPacedSlot(EncodeWorkerState& state, std::unique_lock<std::mutex>& lock,
                                    Clock::time_point& deadline, Clock::duration grace, Clock::time_point notBefore)
{
    bool waitedPastSlot = false;
    while (!state.stopRequested) {
        const bool fresh = !state.queue.empty() || !state.carryOver.empty();
        if (!fresh && !state.lastFrame) {
            state.wake.wait(lock);
            // The first frame after idle goes out at once, though not within
            // a frame interval of the one before (a program switch): the
            // sink stamps pictures on the frame grid by the time they are
            // taken, and two in one interval would put the whole timeline
            // after them a frame late.
            deadline = std::max(Clock::now(), notBefore);
            continue;
        }
        const auto now = Clock::now();
        if (now < deadline) {
            state.wake.wait_until(lock, deadline);
            continue;
        }
        // The program composes by its own clock. A picture a few
        // milliseconds behind the slot is waited for: repeating the last one
        // instead would make the new one a duplicate of the next slot, and
        // the phase of two equal rates would turn timing noise into a
        // repeated and a lost picture, again and again.
        if (fresh || now >= deadline + grace || grace <= Clock::duration::zero())
            break;
        waitedPastSlot = true;
        state.wake.wait_until(lock, deadline + grace);
    }
    return waitedPastSlot;
}

OutputRouter::Choice OutputRouter::chooseFrame(EncodeWorkerState& state, QueuedFrame& chosen)
{
    if (!state.carryOver.empty()) {
        chosen = std::move(state.carryOver.front());
        state.carryOver.pop_front();
        return Choice::Carried;
    }
    if (!state.queue.empty()) {
        if (state.paced) {
            state.passedOverFrames += state.queue.size() - 1;
            chosen = std::move(state.queue.back());
            state.queue.clear();
            state.lastFrame = chosen.frame;
            state.lastGeneration = chosen.generation;
        } else {
            chosen = std::move(state.queue.front());
            state.queue.pop_front();
        }
        return Choice::Queued;
    }
    if (state.stopRequested)
        return Choice::Stop;
    if (!state.paced)
        return Choice::Nothing;
    chosen = QueuedFrame{state.lastFrame, state.lastGeneration, 0};
    if (chosen.frame)
        ++state.repeatedFrames;
    return Choice::Repeat;
}

void OutputRouter::encodeChosen(EncodeWorkerState& state, QueuedFrame& chosen, std::int64_t pictureNs)
{
    std::lock_guard<std::mutex> sinkLock(state.sinkMutex);
    bool encode = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        encode = chosen.generation == state.generation || state.recording;
    }
    if (encode) {
        state.sink->setPictureTime(pictureNs);
        state.sink->encodeFrame(chosen.frame, nullptr, 0, chosen.generation);
    }
}

namespace {

// The paced worker's frame slots (encode worker only).
struct PacedSlots {
    explicit PacedSlots(std::chrono::microseconds frameInterval)
        : interval(frameInterval)
    {
    }

    // Only the first slot of a still program waits for a late picture; the
    // repeats after it keep the frame rate.
    Clock::duration grace() const
    {
        return lastWasRepeat ? Clock::duration::zero() : std::chrono::duration_cast<Clock::duration>(interval) / 2;
    }
    Clock::time_point notBefore() const { return lastTake + interval; }

    // Every take moves the slot, carried-over frames too: two pictures in
    // one interval would put the timeline after them a frame late. They are
    // few (the paced queue holds only the newest).
    void taken(bool late, bool repeat)
    {
        const auto now = Clock::now();
        lastTake = now;
        lastWasRepeat = repeat;
        if (late) {
            deadline = now + interval; // the slots follow the program's phase
        } else {
            deadline += interval;
            if (now >= deadline)
                deadline = now + interval; // a late worker does not catch up
        }
    }

    std::chrono::microseconds interval;
    Clock::time_point deadline = Clock::now();
    Clock::time_point lastTake{};
    bool lastWasRepeat = false;
};

} // namespace

void OutputRouter::encodeWorkerMain(std::shared_ptr<EncodeWorkerState> state)
{
    PacedSlots pacing(std::chrono::microseconds(state->frameIntervalUs));
    // How long the newest picture waited here after it was composed; a
    // repeat is stamped as if it had waited as long.
    std::int64_t lastWaitNs = 0;

    for (;;) {
        QueuedFrame chosen;
        Choice choice = Choice::Nothing;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            bool late = false;
            if (state->paced) {
                late = waitForPacedSlot(*state, lock, pacing.deadline, pacing.grace(), pacing.notBefore());
            } else {
                state->wake.wait(lock, [&] {
                    return state->stopRequested || !state->queue.empty() || !state->carryOver.empty();
                });
            }
            choice = chooseFrame(*state, chosen);
            if (choice == Choice::Stop)
                break;
            if (choice == Choice::Nothing)
                continue;
            if (state->paced)
                pacing.taken(late, choice == Choice::Repeat);
        }

        if (state->sink && chosen.frame) {
            const std::int64_t nowNs = steadyNowNs();
            std::int64_t pictureNs = nowNs - lastWaitNs;
            if (chosen.composedNs != 0) {
                pictureNs = chosen.composedNs;
                if (choice == Choice::Queued)
                    lastWaitNs = std::max<std::int64_t>(0, nowNs - chosen.composedNs);
            }
            encodeChosen(*state, chosen, pictureNs);
        }
    }

    if (state->sink) {
        std::lock_guard<std::mutex> sinkLock(state->sinkMutex);
        state->sink->close();
    }
}

void OutputRouter::resetTimeline()
{
    const std::shared_ptr<EncodeWorkerState> state = currentState();
    if (!state)
        return;
    std::deque<QueuedFrame> discarded; // released after the unlock
    FrameTokenPtr oldLast;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->generation += 1;
        if (state->recording) {
            for (auto& queued : state->queue)
                state->carryOver.push_back(std::move(queued));
            state->queue.clear();
        } else {
            discarded.swap(state->queue);
        }
        oldLast = std::move(state->lastFrame);
        state->lastGeneration = 0;
    }
    if (state->sink) {
        std::lock_guard<std::mutex> sinkLock(state->sinkMutex);
        state->sink->startNewSession();
    }
    state->wake.notify_all();
}

void OutputRouter::requestStop()
{
    running.store(false, std::memory_order_release);
    mixerTapOff();
    const std::shared_ptr<EncodeWorkerState> state = currentState();
    if (!state)
        return;
    if (state->sink)
        state->sink->abort();
    std::deque<QueuedFrame> queue;
    std::deque<QueuedFrame> carryOver;
    FrameTokenPtr last;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopRequested = true;
        takeUnrecordedFrames(*state, queue, carryOver);
        last = std::move(state->lastFrame);
    }
    state->wake.notify_all();
}

void OutputRouter::takeUnrecordedFrames(EncodeWorkerState& state, std::deque<QueuedFrame>& queue,
                                        std::deque<QueuedFrame>& carryOver)
{
    // Frames submitted before a stop belong in the recording: the worker
    // encodes what is queued before it closes the sink. Without a recording
    // they would only go to stream destinations that are being cut.
    if (state.recording)
        return;
    queue.swap(state.queue);
    carryOver.swap(state.carryOver);
}

void OutputRouter::stop()
{
    mixerTapOff();
    running.store(false, std::memory_order_release);
    stopWorker();
}

void OutputRouter::stopWorker()
{
    const auto t0 = Clock::now();
    std::shared_ptr<EncodeWorkerState> state;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(routerMutex);
        state = std::move(workerState);
        workerState.reset();
        thread = std::move(workerThread);
    }
    if (state) {
        if (state->sink)
            state->sink->abort();
        std::deque<QueuedFrame> queue;
        std::deque<QueuedFrame> carryOver;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->stopRequested = true;
            takeUnrecordedFrames(*state, queue, carryOver);
        }
        state->wake.notify_all();
    }
    if (thread.joinable())
        thread.join();
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    qInfo() << "OutputRouter: encode worker stopped in" << qint64(elapsedMs) << "ms";
}

std::uint64_t OutputRouter::counter(std::uint64_t EncodeWorkerState::*field) const
{
    const std::shared_ptr<EncodeWorkerState> state = currentState();
    if (!state)
        return 0;
    std::lock_guard<std::mutex> lock(state->mutex);
    return (*state).*field;
}

std::uint64_t OutputRouter::droppedFrames() const
{
    return counter(&EncodeWorkerState::droppedFrames);
}

std::uint64_t OutputRouter::repeatedFrames() const
{
    return counter(&EncodeWorkerState::repeatedFrames);
}

std::uint64_t OutputRouter::passedOverFrames() const
{
    return counter(&EncodeWorkerState::passedOverFrames);
}

std::int64_t OutputRouter::maxQueueDepth() const
{
    const std::shared_ptr<EncodeWorkerState> state = currentState();
    if (!state)
        return 0;
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->maxDepth;
}
