#pragma once

#include "engine/frametoken.h"

#include <memory>

class FramePool;
class OverlayManager;
class QPainter;

// Paints the overlay model over program frames: media overlays, then text,
// then the drawing layer, at the frame's own pixel size. CPU painting with
// QPainter; an optional OpenGL path (offscreen framebuffer plus read-back) is
// used when QUORB_ENABLE_GL_READBACK_COMPOSITOR is a non-zero number.
//
// Threads: GUI thread only, like the OverlayManager it reads. The OpenGL
// context, surface and framebuffer are created, used and destroyed there.
// The pool is shared with decoder threads through its own locking.
class VulkanCompositor {
public:
    static constexpr const char* kGlEnvironmentVariable = "QUORB_ENABLE_GL_READBACK_COMPOSITOR";
    // The read-back costs a full frame transfer; below this many visible
    // overlays the CPU path is cheaper.
    static constexpr int kMinOverlaysForGl = 3;

    // `pool` is not owned and must outlive the compositor.
    explicit VulkanCompositor(FramePool* pool);
    ~VulkanCompositor();
    VulkanCompositor(const VulkanCompositor&) = delete;
    VulkanCompositor& operator=(const VulkanCompositor&) = delete;

    // The composed frame (a new pooled frame with the base's ptsUs), or `base`
    // itself when nothing is to be painted, the base is not a valid RGBA
    // frame, or no pooled frame is free.
    FrameTokenPtr compose(FrameTokenPtr base, OverlayManager* overlays);

    // Whether the OpenGL path could be set up at construction.
    bool gpuReady() const;
    // Whether the last composed frame came from the OpenGL path (diagnostics).
    bool lastFrameUsedGpu() const { return lastUsedGpu; }

    // Paints the three overlay layers onto a W x H picture.
    static void paintOverlays(QPainter& painter, int width, int height, OverlayManager& model);

private:
    struct GpuState;

    bool composeGpu(OverlayManager& overlays, const FrameToken& base, FrameToken& token);
    bool ensureFbo(int width, int height);
    void initGpuPath();

    FramePool* pool; // not owned
    std::unique_ptr<GpuState> gpu;
    bool lastUsedGpu = false;
};
