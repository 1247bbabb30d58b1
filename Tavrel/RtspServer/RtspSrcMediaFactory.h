#pragma once

#include <optional>
#include <string>

#include <gst/rtsp-server/rtsp-media-factory.h>
#include <gst/rtsp/gstrtspurl.h>

G_BEGIN_DECLS

/// What the factory needs to pull one camera. The strings are owned copies, so the lookup's
/// owner may change its camera list at any time after answering.
struct RtspSrcConfig {
    std::optional<std::string> url;       ///< absent: no camera belongs to the path
    std::optional<std::string> user;      ///< present together with password, or both absent
    std::optional<std::string> password;  ///< see user
};

/// Looks up the camera behind a request URL.
typedef RtspSrcConfig (*RtspSrcConfigFunc)(const GstRTSPUrl* url, gpointer user_data);

#define RTSP_SRC_TYPE_MEDIA_FACTORY (rtsp_src_media_factory_get_type())
#define RTSP_SRC_MEDIA_FACTORY(obj) \
    (G_TYPE_CHECK_INSTANCE_CAST((obj), RTSP_SRC_TYPE_MEDIA_FACTORY, RtspSrcMediaFactory))
#define RTSP_SRC_IS_MEDIA_FACTORY(obj) \
    (G_TYPE_CHECK_INSTANCE_TYPE((obj), RTSP_SRC_TYPE_MEDIA_FACTORY))

typedef struct _RtspSrcMediaFactory RtspSrcMediaFactory;
typedef struct _RtspSrcMediaFactoryClass RtspSrcMediaFactoryClass;

struct _RtspSrcMediaFactory {
    GstRTSPMediaFactory parent;

    RtspSrcConfigFunc config_func; /* the lookup; not a GObject */
    gpointer config_data;          /* the lookup's user data; no reference held */
};

struct _RtspSrcMediaFactoryClass {
    GstRTSPMediaFactoryClass parent_class;
};

/// The type "RtspSrcMediaFactory", registered on first use.
GType rtsp_src_media_factory_get_type(void);

/// A new factory, owned by the caller.
RtspSrcMediaFactory* rtsp_src_media_factory_new(void);

/// Installs the lookup function and its user data (no reference is taken on the data).
void rtsp_src_media_factory_set_config_func(RtspSrcMediaFactory* factory, RtspSrcConfigFunc func,
                                            gpointer user_data);

/// True for the element message that a media of this factory posts on its bus once its camera
/// ended the stream (an end of stream from the camera, or its source timed out). It comes
/// before, and instead of, the pipeline's own EOS message, which may never come.
gboolean rtsp_src_media_factory_is_camera_end(GstMessage* message);

G_END_DECLS
