#include "frame/handle.h"
#include "frame/vemx.h"
#include "pacing/mediaqueue.h"
#include "vemx/vemx_mediaqueue.h"

using vemx::frame::Guarded;
using vemx::mediaqueue::MediaQueue;

namespace {

MediaQueue* Queue(void* handle) {
    return vemx::frame::FromHandle<MediaQueue>(handle);
}

}  // namespace

VEMX_EXPORT void* vemx_mediaqueue_new(void) {
    return Guarded("vemx_mediaqueue_new", static_cast<void*>(nullptr), [] {
        vemx::frame::GlobalInit();
        return vemx::frame::NewHandle<MediaQueue>();
    });
}

VEMX_EXPORT void vemx_mediaqueue_add_ref(void* queue) {
    Guarded("vemx_mediaqueue_add_ref", [&] { vemx::frame::AddRefHandle(queue); });
}

VEMX_EXPORT void vemx_mediaqueue_release(void* queue) {
    Guarded("vemx_mediaqueue_release", [&] { vemx::frame::ReleaseHandle(queue); });
}

VEMX_EXPORT void vemx_mediaqueue_set_master(void* queue, void* master) {
    Guarded("vemx_mediaqueue_set_master", [&] {
        if (queue) Queue(queue)->SetMaster(master ? Queue(master) : nullptr);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_delay(void* queue, int32_t delay_ms) {
    Guarded("vemx_mediaqueue_set_delay", [&] {
        if (queue) Queue(queue)->SetDelay(delay_ms);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_max_queue_size(void* queue, int32_t max_queue_size) {
    Guarded("vemx_mediaqueue_set_max_queue_size", [&] {
        if (queue) Queue(queue)->SetMaxQueueSize(max_queue_size);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_enable_reset_timer(void* queue, int32_t enable) {
    Guarded("vemx_mediaqueue_set_enable_reset_timer", [&] {
        if (queue) Queue(queue)->SetEnableResetTimer(enable);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_callback(void* queue, vemx_mediaqueue_callback_fn callback,
                                              vemx_mediaqueue_release_fn release, void* context) {
    Guarded("vemx_mediaqueue_set_callback", [&] {
        if (queue) Queue(queue)->SetCallback(callback, release, context);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_live_mode(void* queue, int32_t live) {
    Guarded("vemx_mediaqueue_set_live_mode", [&] {
        if (queue) Queue(queue)->SetLiveMode(live);
    });
}

VEMX_EXPORT int32_t vemx_mediaqueue_init(void* queue) {
    return Guarded("vemx_mediaqueue_init", int32_t{0},
                   [&] { return queue && Queue(queue)->Init() ? 1 : 0; });
}

VEMX_EXPORT void vemx_mediaqueue_uninit(void* queue) {
    Guarded("vemx_mediaqueue_uninit", [&] {
        if (queue) Queue(queue)->Uninit();
    });
}

VEMX_EXPORT void vemx_mediaqueue_enqueue(void* queue, void* packet, uint64_t size, int64_t pts) {
    // The handle must be valid; a null one is ignored rather than crashed on.
    Guarded("vemx_mediaqueue_enqueue", [&] {
        if (queue) Queue(queue)->Enqueue(packet, size, pts);
    });
}
