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

namespace Norvane::Tavrel::gst {

/// Drops one reference, with the function that matches the type. GObject types (elements,
/// pads, buses, GstRTSP* objects, ...) take the template; mini objects, boxed and GLib types
/// have their own overload.
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
    template <typename T>
    void operator()(T* object) const noexcept {
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
    return GRef<T>(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr);
}

/// Adds a reference of our own to an object that someone else keeps.
template <typename T>
GRef<T> Share(T* object) {
    return GRef<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

}  // namespace Norvane::Tavrel::gst
