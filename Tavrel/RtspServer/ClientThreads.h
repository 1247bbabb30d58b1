#pragma once

// Closing an RTSP client from outside its own thread.
//
// The library's gst_rtsp_client_close() destroys the client's connection watch wherever it is
// called. When that is another thread than the client's, it races the client's own handling of
// a connection that ends at the same moment: the watch's end-of-input path removes a child source
// that the concurrent destroy has just detached, and the process dies in GLib. So clients are
// closed on the thread that serves them: the server's thread pool notes each client's main
// context, and a close is posted there.

#include <gst/rtsp-server/rtsp-server.h>

#include <chrono>
#include <vector>

#include "Tavrel/gst/GRef.h"

namespace Norvane::Tavrel {

/// A thread pool for an RTSP server's clients, at most `maxThreads` threads, that notes which
/// main context serves each client (for CloseClientsOnTheirThreads).
gst::GRef<GstRTSPThreadPool> NewClientThreadPool(int maxThreads);

/// From now on every media prepared with `pool` (a pool of NewClientThreadPool) runs its bus and
/// state changes on one shared thread, started here, instead of one thread per media. Nothing
/// that runs there waits for long (the media's bus messages and the start of its preparing), so
/// no camera holds up another's.
void StartSharedMediaThread(GstRTSPThreadPool* pool);

/// Ends the sharing: the thread ends as soon as the last media using it is unprepared (at once
/// when none is); media prepared afterwards get a thread of their own, as without sharing.
void StopSharedMediaThread(GstRTSPThreadPool* pool);

/// The clients of a list that gst_rtsp_server_client_filter returned (its references and the
/// list are taken over).
std::vector<gst::GRef<GstRTSPClient>> AdoptClientList(GList* clients);

/// Closes each client on the thread that serves it and waits until all are closed, at most
/// `patience`. Each connection is shut down at once, so its peer sees it end; a client whose
/// thread is busy for longer (a request waiting for its camera) is closed by that thread as soon
/// as it is free. A client whose thread is unknown (a server without NewClientThreadPool's
/// pool), or served by the caller's own thread, is closed here.
void CloseClientsOnTheirThreads(const std::vector<gst::GRef<GstRTSPClient>>& clients,
                                std::chrono::milliseconds patience);

}  // namespace Norvane::Tavrel
