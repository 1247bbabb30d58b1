#pragma once

#include <gst/gst.h>

namespace Norvane::Tavrel::gst::Test {

/// Initialises GStreamer once for the test binary.
inline void InitGst() {
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

/// Owns one full GStreamer object reference (use Sink() for a floating one).
template <typename T>
class Ref {
public:
    explicit Ref(T* object = nullptr) : object_(object) {}
    ~Ref() {
        if (object_)
            gst_object_unref(object_);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return object_; }
    operator T*() const { return object_; }

private:
    T* object_;
};

/// Takes a floating reference over as a full one.
template <typename T>
T* Sink(T* object) {
    return static_cast<T*>(gst_object_ref_sink(object));
}

}  // namespace Norvane::Tavrel::gst::Test
