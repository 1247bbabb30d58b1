"""Whole-process test of the instant picture: tavrel with test cameras that send a key frame every
4 s. A client joining a watched camera over TCP or UDP gets the last key frame first (the packets
the watching client had under the same sequence numbers), then the live stream, every sequence
number once; a camera kept for its linger time gives a returning client the same from the same
pull, and is let go after it; a keep-warm camera plays before anyone asks, gives its first viewer
the last key frame and stays. A TCP client that leaves with packets still under way to it does
not stop the camera for the others."""

import asyncio
import importlib.machinery
import importlib.util
import os
import re
import socket
import struct
import time
import unittest
from unittest import mock

import websockets

from test_service import CAMERA, TIMEOUT, Service, free_port, rpc, wait_until, write_json

SOURCE = os.environ.get("TAVREL_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# The benchmarks' RTSP client.
_loader = importlib.machinery.SourceFileLoader(
    "relay_bench", os.path.join(SOURCE, "bench", "relay", "run-relay-bench"))
_spec = importlib.util.spec_from_loader("relay_bench", _loader)
relay_bench = importlib.util.module_from_spec(_spec)
_loader.exec_module(relay_bench)

KEY_INTERVAL = 4
LINGER = 5
# Packets a joiner reads: the cached key frame and more than a few live frames after it.
JOIN_PACKETS = 150


def nal_type(payload):
    """The H.264 NAL unit type a packet starts (that of a fragmentation unit's first part, 0 for
    its other parts)."""
    if not payload:
        return -1
    kind = payload[0] & 0x1F
    if kind != 28:
        return kind
    return payload[1] & 0x1F if len(payload) > 1 and payload[1] & 0x80 else 0


def parse_rtp(data):
    """(sequence number, payload) of an RTP packet, or None."""
    if len(data) < 12 or data[0] >> 6 != 2:
        return None
    offset = 12 + 4 * (data[0] & 0x0F)
    if data[0] & 0x10 and len(data) >= offset + 4:
        offset += 4 + 4 * struct.unpack_from("!H", data, offset + 2)[0]
    end = len(data) - (data[-1] if data[0] & 0x20 else 0)
    return struct.unpack_from("!H", data, 2)[0], bytes(data[offset:end])


class Client(relay_bench.RtspProbe):
    """A client of the relay that plays over TCP or UDP and keeps every RTP packet as
    (sequence number, payload), and the sequence number RTP-Info named."""

    def __init__(self, port, path, transport):
        self.got = []
        self.rtp_info_seq = None
        super().__init__(f"rtsp://127.0.0.1:{port}/{path}", "admin", "admin", transport)
        self.start()

    def request(self, method, url, headers=""):
        status, fields, body = super().request(method, url, headers)
        if method == "PLAY" and status == 200:
            self.rtp_info_seq = int(re.search(r"seq=(\d+)", fields["rtp-info"]).group(1))
        return status, fields, body

    def record(self, packet):
        parsed = parse_rtp(packet)
        if parsed:
            with self.lock:
                self.got.append(parsed)
        super().record(packet)

    def received(self, count=None):
        if count:
            try:
                wait_until(lambda: len(self.got) >= count, f"{count} packets")
            except AssertionError as error:
                with self.lock:
                    seqs = [seq for seq, _ in self.got]
                raise AssertionError(f"{error}: got {len(seqs)}, RTP-Info seq "
                                     f"{self.rtp_info_seq}, first {seqs[:5]}, last "
                                     f"{seqs[-5:]}") from None
        with self.lock:
            return list(self.got[:count])


class InstantStartTest(unittest.TestCase):
    def assert_continuous(self, seqs):
        self.assertEqual(seqs, [(seqs[0] + i) & 0xFFFF for i in range(len(seqs))])

    def assert_starts_with_key_frame(self, client, watcher=None):
        """The parameter sets and the key frame first (delimiters and SEI aside), the first one
        named by RTP-Info, then every sequence number once. With a watcher of the same camera:
        each packet carries what the watcher got under its sequence number."""
        packets = client.received(JOIN_PACKETS)
        types = [t for t in (nal_type(p) for _, p in packets) if t not in (0, 6, 9)]
        first_slice = next(i for i, t in enumerate(types) if 1 <= t <= 5)
        self.assertEqual(types[first_slice], 5, types[:first_slice + 1])
        self.assertEqual(types[0], 7)
        self.assertTrue(set(types[:first_slice]) <= {7, 8}, types[:first_slice])
        self.assertEqual(packets[0][0], client.rtp_info_seq)
        self.assert_continuous([seq for seq, _ in packets])
        if watcher is not None:
            seen = dict(watcher.received())
            self.assertIn(packets[0][0], seen)
            for seq, payload in packets:
                if seq in seen:
                    self.assertEqual(seen[seq], payload, seq)

    def test_joiners_get_the_last_key_frame_and_kept_cameras_stay(self):
        s = Service(self)
        self.addCleanup(s.close)
        cams = {}
        for name in ("door", "warm"):
            port = free_port()
            cam = s.start([CAMERA, "--port", str(port), "--path", "/stream", "--key-interval",
                           str(KEY_INTERVAL)], name)
            s.wait_output(cam, "test-camera ready")
            cams[name] = {"name": name.title(), "location": "Hall", "path": name,
                          "url": f"rtsp://127.0.0.1:{port}/stream"}
        cams["door"]["lingerSeconds"] = LINGER
        cams["warm"].update(keepWarm=True, lingerSeconds=0)
        write_json(s.config, {
            "rtspServerSettings": {
                "port": s.rtsp_port, "interface": "lo", "cameraCheckSeconds": 0,
                "users": [{"name": "admin", "password": "admin", "role": "internal"}]},
            "cameras": [cams["door"], cams["warm"]]})

        def cameras():
            async def call():
                async with websockets.connect(f"ws://127.0.0.1:{s.ws_port}") as ws:
                    reply = await rpc(ws, 1, "Tavrel.Rtsp.GetStatus")
                    return {c["path"]: c for c in reply.get("result", {}).get("cameras", [])}
            return asyncio.run(call())

        def state_is(path, state, viewers=None):
            """The camera's status once it is in `state` (with that many viewers), else None."""
            camera = cameras().get(path, {})
            if camera.get("state") == state and viewers in (None, camera.get("viewers")):
                return camera
            return None

        # The keep-warm camera is pulled with nobody watching.
        warm = wait_until(lambda: state_is("warm", "streaming", 0), "the warm camera to stream")
        wait_until(lambda: state_is("door", "idle"), "the door camera to be mounted")

        watcher = Client(s.rtsp_port, "door", "tcp")
        self.addCleanup(watcher.stop)
        for transport in ("tcp", "udp"):
            with self.subTest(transport):
                # Most likely inside a group of pictures: the watcher had a key frame, the next
                # one comes every 4 s.
                wait_until(lambda: len(watcher.got) > 60 and
                           any(nal_type(p) == 7 for _, p in watcher.received()),
                           "the watcher to play")
                joiner = Client(s.rtsp_port, "door", transport)
                try:
                    self.assert_starts_with_key_frame(joiner, watcher)
                finally:
                    joiner.stop()
        watcher.stop()
        # The watcher saw its stream unchanged by the joiners.
        self.assert_continuous([seq for seq, _ in watcher.received()])

        # The last client gone, the door camera lingers; a client back within that time gets
        # the cached key frame from the same pull of the camera (streaming since the same
        # moment), and then the camera is let go.
        door = wait_until(lambda: state_is("door", "streaming", 0), "the door camera to linger")
        back = Client(s.rtsp_port, "door", "tcp")
        try:
            self.assert_starts_with_key_frame(back)
            playing = wait_until(lambda: state_is("door", "streaming", 1), "the client back")
            self.assertEqual(playing["since"], door["since"])
        finally:
            back.stop()
        wait_until(lambda: state_is("door", "idle"), "the door camera to be let go",
                   LINGER + TIMEOUT)

        # The keep-warm camera's first viewer gets its key frame, and the camera stays after it.
        viewer = Client(s.rtsp_port, "warm", "udp")
        try:
            self.assert_starts_with_key_frame(viewer)
        finally:
            viewer.stop()
        self.assertEqual(wait_until(lambda: state_is("warm", "streaming", 0),
                                    "the warm camera to stay")["since"], warm["since"])
        s.stop()

    def test_tcp_client_leaving_with_packets_under_way_does_not_stop_the_camera(self):
        s = Service(self)
        self.addCleanup(s.close)
        port = free_port()
        # A busy camera, so that a client that does not read fills the buffers on its way soon.
        cam = s.start([CAMERA, "--port", str(port), "--path", "/stream", "--encoder", "jpegenc",
                       "--width", "1280", "--height", "720", "--pattern", "snow",
                       "--bitrate", "20000"], "busy")
        s.wait_output(cam, "test-camera ready")
        write_json(s.config, {
            "rtspServerSettings": {
                "port": s.rtsp_port, "interface": "lo", "cameraCheckSeconds": 0,
                "users": [{"name": "admin", "password": "admin", "role": "internal"}]},
            "cameras": [{"name": "Busy", "location": "Hall", "path": "busy",
                         "url": f"rtsp://127.0.0.1:{port}/stream"}]})
        url = f"rtsp://127.0.0.1:{s.rtsp_port}/busy"
        watcher = wait_until(lambda: self.playing(url, "udp"), "a UDP client to play")
        self.addCleanup(watcher.stop)

        class Stalled(relay_bench.RtspProbe):
            def read_tcp(self):
                pass  # takes nothing after its PLAY

        def small_window(address, timeout=None):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
            sock.settimeout(timeout)
            sock.connect(address)
            return sock

        with mock.patch.object(relay_bench.socket, "create_connection", small_window):
            stalled = Stalled(url, "admin", "admin", "tcp")
        stalled.start()

        def held_up():
            before = watcher.packets
            time.sleep(0.5)
            return watcher.packets == before
        # The library paces the camera to its slowest TCP client: the watcher waits too.
        wait_until(held_up, "the client that does not read to hold the stream up", 60)
        stalled.stop()
        before = watcher.packets
        wait_until(lambda: watcher.packets > before + 100, "the watcher's stream to go on")
        s.stop()

    @staticmethod
    def playing(url, transport):
        """A client of `url` that plays and has had its first packet, or None."""
        try:
            client = relay_bench.RtspProbe(url, "admin", "admin", transport)
        except OSError:
            return None
        try:
            client.start()
            wait_until(lambda: client.packets > 0, "a packet", 5)
            return client
        except (OSError, RuntimeError, AssertionError):
            client.stop()
            return None


if __name__ == "__main__":
    unittest.main()
