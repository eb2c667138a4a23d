#include "engine/frametoken.h"

bool isValidFrameToken(const FrameToken& token)
{
    if (token.pixelFormat != FrameToken::kRgba8888 || token.width <= 0 || token.height <= 0)
        return false;
    const std::int64_t minStride = std::int64_t(token.width) * 4;
    if (token.bytesPerLine < minStride)
        return false;
    return std::int64_t(token.data.size()) >= std::int64_t(token.bytesPerLine) * token.height;
}

void registerFrameTokenMetaType()
{
    qRegisterMetaType<FrameTokenPtr>("FrameTokenPtr");
}
