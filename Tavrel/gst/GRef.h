#pragma once

// Owning holders for GLib and GStreamer references: a std::unique_ptr whose deleter drops
// exactly the one reference it holds. How the reference got there decides the constructor:
//   Adopt(p)  takes over a reference the caller owns ("transfer full": _new, _get_static_pad,
//             gst_caps_from_string, gst_bus_pop, ...);
//   Sink(p)   takes over a newly made object that may still be floating
//             (gst_element_factory_make, gst_pad_new, ...): the floating reference becomes ours;
//   Share(p)  adds a reference of our own to one that someone else keeps ("transfer none").

#include <gst/gst.h>

#include <memory>
#include <type_traits>

// GObject types of GIO and of the RTSP server library, declared as their own headers do (the
// holders of them include those headers).
typedef struct _GInetAddress GInetAddress;
typedef struct _GSocket GSocket;
typedef struct _GSocketAddress GSocketAddress;
typedef struct _GstRTSPAddressPool GstRTSPAddressPool;
typedef struct _GstRTSPAuth GstRTSPAuth;
typedef struct _GstRTSPClient GstRTSPClient;
typedef struct _GstRTSPMedia GstRTSPMedia;
typedef struct _GstRTSPMediaFactory GstRTSPMediaFactory;
typedef struct _GstRTSPMountPoints GstRTSPMountPoints;
typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPSession GstRTSPSession;
typedef struct _GstRTSPStreamTransport GstRTSPStreamTransport;
typedef struct _GstRTSPSessionPool GstRTSPSessionPool;
typedef struct _GstRTSPThreadPool GstRTSPThreadPool;

namespace Norvane::Tavrel::gst {

/// True for the GObject types, whose instance begins with a GObject (directly or through its
/// parents): the only ones GUnref may give to g_object_unref and Sink and Share may reference.
/// A mini object, a boxed or a plain GLib type has its own overload in GUnref or is refused at
/// compile time. A GObject type of our own adds itself next to its declaration.
template <typename T>
inline constexpr bool kIsGObject =
    std::is_same_v<T, GObject> || std::is_same_v<T, GInitiallyUnowned> ||
    std::is_same_v<T, GstObject> || std::is_same_v<T, GstElement> || std::is_same_v<T, GstBin> ||
    std::is_same_v<T, GstPipeline> || std::is_same_v<T, GstPad> || std::is_same_v<T, GstBus> ||
    std::is_same_v<T, GstClock> || std::is_same_v<T, GstElementFactory> ||
    std::is_same_v<T, GInetAddress> || std::is_same_v<T, GSocket> ||
    std::is_same_v<T, GSocketAddress> || std::is_same_v<T, GstRTSPAddressPool> ||
    std::is_same_v<T, GstRTSPAuth> || std::is_same_v<T, GstRTSPClient> ||
    std::is_same_v<T, GstRTSPMedia> || std::is_same_v<T, GstRTSPMediaFactory> ||
    std::is_same_v<T, GstRTSPMountPoints> || std::is_same_v<T, GstRTSPServer> ||
    std::is_same_v<T, GstRTSPSession> || std::is_same_v<T, GstRTSPStreamTransport> ||
    std::is_same_v<T, GstRTSPSessionPool> || std::is_same_v<T, GstRTSPThreadPool>;

/// Drops one reference, with the function that matches the type. GObject types (elements,
/// pads, buses, GstRTSP* objects, ...; see kIsGObject) take the template; mini objects, boxed
/// and GLib types have their own overload.
struct GUnref {
    void operator()(GstCaps* caps) const noexcept { gst_caps_unref(caps); }
    void operator()(GstMessage* message) const noexcept { gst_message_unref(message); }
    void operator()(GstBuffer* buffer) const noexcept { gst_buffer_unref(buffer); }
    void operator()(GstEvent* event) const noexcept { gst_event_unref(event); }
    void operator()(GstQuery* query) const noexcept { gst_query_unref(query); }
    void operator()(GstSample* sample) const noexcept { gst_sample_unref(sample); }
    void operator()(GstStructure* structure) const noexcept { gst_structure_free(structure); }
    void operator()(GError* error) const noexcept { g_error_free(error); }
    void operator()(gchar* text) const noexcept { g_free(text); }
    void operator()(GSource* source) const noexcept { g_source_unref(source); }
    void operator()(GMainLoop* loop) const noexcept { g_main_loop_unref(loop); }
    void operator()(GMainContext* context) const noexcept { g_main_context_unref(context); }
    void operator()(GPtrArray* array) const noexcept { g_ptr_array_unref(array); }
    template <typename T>
    void operator()(T* object) const noexcept {
        static_assert(kIsGObject<std::remove_cv_t<T>>,
                      "not a GObject type: give GUnref an overload for its own release function "
                      "(or list a GObject type in kIsGObject)");
        g_object_unref(object);
    }
};

/// One owned reference; empty holds nothing.
template <typename T>
using GRef = std::unique_ptr<T, GUnref>;

/// Text allocated by GLib (g_strdup, gst_caps_to_string, ...), freed with g_free.
using GText = GRef<gchar>;

/// Takes over a reference the caller owns.
template <typename T>
GRef<T> Adopt(T* object) {
    return GRef<T>(object);
}

/// Takes over a new GObject whose reference may be floating (GInitiallyUnowned, GstObject).
template <typename T>
GRef<T> Sink(T* object) {
    static_assert(kIsGObject<std::remove_cv_t<T>>, "Sink takes GObject types only");
    return GRef<T>(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr);
}

/// Adds a reference of our own to an object that someone else keeps.
template <typename T>
GRef<T> Share(T* object) {
    static_assert(kIsGObject<std::remove_cv_t<T>>, "Share takes GObject types only");
    return GRef<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

}  // namespace Norvane::Tavrel::gst
