#include "Tavrel/RtspServer/CameraMedia.h"

#include <cctype>

#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

namespace {

using gst::Adopt;
using MediaShare = std::shared_ptr<CameraMedia>;

GQuark MediaQuark() {
    static const GQuark kQuark = g_quark_from_static_string("tavrel-camera-media");
    return kQuark;
}

void DeleteShare(gpointer share) {
    delete static_cast<MediaShare*>(share);
}

CameraMedia& Of(gpointer share) {
    return **static_cast<MediaShare*>(share);
}

GstPadProbeReturn OnPayloaderInput(GstPad*, GstPadProbeInfo* info, gpointer share) {
    if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        Of(share).Packet(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    } else if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) != 0) {
        Of(share).Packet(gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info)));
    } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
               event != nullptr && GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* s = caps != nullptr && gst_caps_get_size(caps) > 0
                                    ? gst_caps_get_structure(caps, 0)
                                    : nullptr;
        if (const gchar* name =
                s != nullptr ? gst_structure_get_string(s, "encoding-name") : nullptr)
            Of(share).SetCodec(name);
    }
    return GST_PAD_PROBE_OK;
}

void OnNewJitterBuffer(GstElement*, GstElement* jitterBuffer, guint, guint, gpointer share) {
    Of(share).SetJitterBuffer(jitterBuffer);
}

void OnNewManager(GstElement*, GstElement* manager, gpointer share) {
    if (g_signal_lookup("new-jitterbuffer", G_OBJECT_TYPE(manager)) == 0)
        return;
    g_signal_connect_data(
        manager, "new-jitterbuffer", G_CALLBACK(OnNewJitterBuffer),
        new MediaShare(*static_cast<MediaShare*>(share)),
        [](gpointer data, GClosure*) { DeleteShare(data); }, static_cast<GConnectFlags>(0));
}

}  // namespace

void CameraMedia::Begin() {
    // Noted before the media counts as active: a health record that sees it active reads
    // where this media began, not where the one before it did.
    {
        const std::lock_guard lock(mutex_);
        began_ = {std::chrono::steady_clock::now(), Bytes()};
        g_weak_ref_set(&jitterBuffer_, nullptr);
    }
    generation_.fetch_add(1);
    flowing_ = false;
    active_.fetch_add(1);
    Wake();
}

void CameraMedia::End() {
    if (active_.fetch_sub(1) == 1)
        flowing_ = false;
    Wake();
}

void CameraMedia::SetCodec(std::string_view codec) {
    std::string upper(codec);
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::lock_guard lock(mutex_);
    codec_ = std::move(upper);
}

void CameraMedia::SetJitterBuffer(GstElement* jitterBuffer) {
    const std::lock_guard lock(mutex_);
    g_weak_ref_set(&jitterBuffer_, jitterBuffer);
}

std::uint64_t CameraMedia::PacketsLost() {
    gst::GRef<GstElement> jitterBuffer;
    {
        const std::lock_guard lock(mutex_);
        jitterBuffer = Adopt(static_cast<GstElement*>(g_weak_ref_get(&jitterBuffer_)));
    }
    if (!jitterBuffer ||
        g_object_class_find_property(G_OBJECT_GET_CLASS(jitterBuffer.get()), "stats") == nullptr)
        return 0;
    GstStructure* stats = nullptr;
    g_object_get(jitterBuffer.get(), "stats", &stats, nullptr);
    const auto owned = Adopt(stats);
    guint64 lost = 0;
    if (stats != nullptr)
        gst_structure_get_uint64(stats, "num-lost", &lost);
    return lost;
}

std::string CameraMedia::Codec() {
    const std::lock_guard lock(mutex_);
    return codec_;
}

void CameraMedia::Detach() {
    const std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

void CameraMedia::Wake() {
    std::function<void()> wake;
    {
        const std::lock_guard lock(mutex_);
        wake = wake_;
    }
    if (wake)
        wake();
}

void WatchCameraMedia(GstElement* bin, GstElement* source, GstElement* payloader,
                      const std::shared_ptr<CameraMedia>& media) {
    media->Begin();
    g_object_set_qdata_full(G_OBJECT(bin), MediaQuark(), new MediaShare(media), [](gpointer share) {
        Of(share).End();
        DeleteShare(share);
    });
    const auto sink = Adopt(gst_element_get_static_pad(payloader, "sink"));
    if (sink) {
        gst_pad_add_probe(sink.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                       GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          OnPayloaderInput, new MediaShare(media), DeleteShare);
    }
    g_signal_connect_data(
        source, "new-manager", G_CALLBACK(OnNewManager), new MediaShare(media),
        [](gpointer data, GClosure*) { DeleteShare(data); }, static_cast<GConnectFlags>(0));
}

}  // namespace Norvane::Tavrel
