#pragma once

#include <optional>
#include <string>

#include <gst/rtsp-server/rtsp-client.h>
#include <gst/rtsp-server/rtsp-media-factory.h>
#include <gst/rtsp/gstrtsptransport.h>
#include <gst/rtsp/gstrtspurl.h>

#include "Tavrel/RtspServer/CameraMedia.h"
#include "Tavrel/gst/GRef.h"

G_BEGIN_DECLS

/// What the factory needs to pull one camera. The strings are owned copies, so the lookup's
/// owner may change its camera list at any time after answering.
struct RtspSrcConfig {
    std::optional<std::string> url;       ///< absent: no camera belongs to the path
    std::optional<std::string> user;      ///< present together with password, or both absent
    std::optional<std::string> password;  ///< see user
    /// rtspsrc's "protocols" towards the camera; absent: rtspsrc's default (UDP, then TCP).
    /// Initialised here so that initialisers naming only the fields above stay complete.
    std::optional<GstRTSPLowerTrans> protocols{};
    /// A client joining a running stream gets the packets since the last key frame first, so
    /// that it shows a picture at once instead of waiting for the camera's next key frame.
    bool instantStart{true};
    /// Where the media reports its packets and its lifetime; empty: nowhere.
    std::shared_ptr<Norvane::Tavrel::CameraMedia> media{};
};

/// Looks up the camera behind a request URL.
typedef RtspSrcConfig (*RtspSrcConfigFunc)(const GstRTSPUrl* url, gpointer user_data);

/// Told once per media when the camera behind `path` failed (`reason`: the error's text) or
/// ended its stream (`reason`: "end of stream"). Called on a streaming thread of the media.
typedef void (*RtspSrcStoppedFunc)(const gchar* path, const gchar* reason, gpointer user_data);

#define RTSP_SRC_TYPE_MEDIA_FACTORY (rtsp_src_media_factory_get_type())
#define RTSP_SRC_MEDIA_FACTORY(obj) \
    (G_TYPE_CHECK_INSTANCE_CAST((obj), RTSP_SRC_TYPE_MEDIA_FACTORY, RtspSrcMediaFactory))
#define RTSP_SRC_IS_MEDIA_FACTORY(obj) \
    (G_TYPE_CHECK_INSTANCE_TYPE((obj), RTSP_SRC_TYPE_MEDIA_FACTORY))

typedef struct _RtspSrcMediaFactory RtspSrcMediaFactory;
typedef struct _RtspSrcMediaFactoryClass RtspSrcMediaFactoryClass;

struct _RtspSrcMediaFactory {
    GstRTSPMediaFactory parent;

    RtspSrcConfigFunc config_func;   /* the lookup; not a GObject */
    gpointer config_data;            /* the lookup's user data; no reference held */
    RtspSrcStoppedFunc stopped_func; /* told when a camera failed or ended */
    gpointer stopped_data;           /* its user data; no reference held */
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

/// Installs the function told when a camera failed or ended, and its user data (no reference
/// is taken on the data). Set it before the first media is made.
void rtsp_src_media_factory_set_stopped_func(RtspSrcMediaFactory* factory, RtspSrcStoppedFunc func,
                                             gpointer user_data);

/// The media made so far for `path` serve no further client: the next request (or construct)
/// gets a new one, made from the lookup's current answer. Those media run on as long as they are
/// prepared.
void rtsp_src_media_factory_retire_path(RtspSrcMediaFactory* factory, const gchar* path);

/// The camera of `media` is no longer wanted (the server stops, or the camera was removed or
/// changed): its failure is not reported any more, and a prepare still waiting for the camera
/// fails at once instead of at the camera's deadline. Any thread.
void rtsp_src_media_factory_abandon_media(GstRTSPMedia* media);

/// Lets a client joining a running stream get the cached key frame first, under the sequence
/// number RTP-Info names, and keeps a TCP client that leaves from stopping the stream for the
/// others: connect it to every client of a server that uses the factory.
void rtsp_src_media_factory_watch_client(GstRTSPClient* client);

G_END_DECLS

namespace Norvane::Tavrel::gst {
/// The factory is a GObject: GRef releases it with g_object_unref.
template <>
inline constexpr bool kIsGObject<RtspSrcMediaFactory> = true;
}  // namespace Norvane::Tavrel::gst
