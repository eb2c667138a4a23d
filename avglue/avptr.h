#pragma once

// Small owners for FFmpeg resources: each pointer type carries its matching
// free function, so no error path frees anything by hand.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <QString>

#include <memory>

namespace av {

struct FormatInputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct CodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
// Closes the output's I/O (when the format writes through one) and frees
// the context. The trailer is the owner's business, written before.
struct OutputFormatContextDeleter {
    void operator()(AVFormatContext* ctx) const
    {
        if (ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE) && ctx->pb)
            avio_closep(&ctx->pb);
        avformat_free_context(ctx);
    }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

using InputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using OutputFormatContextPtr = std::unique_ptr<AVFormatContext, OutputFormatContextDeleter>;

// FFmpeg's text for an error code.
inline QString errorText(int code)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return QString::fromUtf8(buf);
}

// An option dictionary for one call; freed with the owner.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&m_dict); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    AVDictionary** address() { return &m_dict; }
    AVDictionary* get() const { return m_dict; }
    bool empty() const { return av_dict_count(m_dict) == 0; }
    const char* value(const char* key) const
    {
        const AVDictionaryEntry* e = av_dict_get(m_dict, key, nullptr, 0);
        return e ? e->value : nullptr;
    }
    void clear() { av_dict_free(&m_dict); }

private:
    AVDictionary* m_dict = nullptr;
};

} // namespace av
