#pragma once

// The library's authentication object with the front door before its own checks.

#include "Tavrel/RtspServer/RtspServer.h"

namespace Norvane::Tavrel {

/// The library's authentication object with the front door before its own checks: a new
/// connection must pass the connection caps, and every request except OPTIONS must carry valid
/// credentials before the library looks at its path or the admission handlers run.
struct RtspServer::AuthHook {
    /// The subclass of GstRTSPAuth, registered on first use.
    static GType Type();
    /// The class's check: the front door first, then the library's own.
    static gboolean Check(GstRTSPAuth* auth, GstRTSPContext* ctx, const gchar* check);
    /// The library's authentication of a request's credentials.
    static gboolean Authenticate(GstRTSPAuth* auth, GstRTSPContext* ctx);

    static inline GstRTSPAuthClass* parent = nullptr;
};

}  // namespace Norvane::Tavrel
