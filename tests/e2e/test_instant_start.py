"""Whole-process test of the instant picture: tavrel with test cameras that send a key frame every
4 s. A client joining a watched camera over TCP or UDP gets the last key frame first (the packets
the watching client had under the same sequence numbers), then the live stream, every sequence
number once; a camera kept for its linger time gives a returning client the same from the same
pull, and is let go after it; a keep-warm camera plays before anyone asks, gives its first viewer
the last key frame and stays."""

import asyncio
import base64
import re
import socket
import struct
import threading
import time
import unittest

import websockets

from test_service import CAMERA, TIMEOUT, Service, free_port, rpc, wait_until, write_json

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


class RtspClient:
    """A plain RTSP client: DESCRIBE, SETUP (interleaved on the connection or to two UDP
    sockets), PLAY, then the RTP packets as they come."""

    def __init__(self, port, path, tcp):
        self.tcp = tcp
        self.url = f"rtsp://127.0.0.1:{port}/{path}"
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buffer = b""
        self.cseq = 0
        self.session = None
        self.udp = []
        self.auth = "Basic " + base64.b64encode(b"admin:admin").decode()

    def close(self):
        self.sock.close()
        for s in self.udp:
            s.close()

    def request(self, method, url, headers=()):
        self.cseq += 1
        lines = [f"{method} {url} RTSP/1.0", f"CSeq: {self.cseq}", f"Authorization: {self.auth}"]
        if self.session:
            lines.append(f"Session: {self.session}")
        self.sock.sendall(("\r\n".join([*lines, *headers]) + "\r\n\r\n").encode())
        while True:
            frame = self.next_frame()
            if isinstance(frame, tuple):
                status, fields, body = frame
                if fields.get("cseq") == str(self.cseq):
                    if status != 200:
                        raise AssertionError(f"{method} answered {status}")
                    return fields, body

    def next_frame(self):
        """The next interleaved packet (bytes, channel 0 only) or response (status, headers,
        body) on the connection."""
        while True:
            if self.buffer.startswith(b"$") and len(self.buffer) >= 4:
                channel, length = self.buffer[1], struct.unpack_from("!H", self.buffer, 2)[0]
                if len(self.buffer) >= 4 + length:
                    data, self.buffer = self.buffer[4:4 + length], self.buffer[4 + length:]
                    if channel == 0:
                        return data
                    continue
            elif b"\r\n\r\n" in self.buffer:
                head, rest = self.buffer.split(b"\r\n\r\n", 1)
                lines = head.decode().split("\r\n")
                fields = {k.strip().lower(): v.strip() for k, _, v in
                          (line.partition(":") for line in lines[1:])}
                length = int(fields.get("content-length", 0))
                if len(rest) >= length:
                    self.buffer = rest[length:]
                    return int(lines[0].split()[1]), fields, rest[:length].decode()
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("the relay closed the connection")
            self.buffer += data

    def play(self):
        """DESCRIBE, SETUP and PLAY; the sequence number RTP-Info names."""
        fields, sdp = self.request("DESCRIBE", self.url, ["Accept: application/sdp"])
        control = re.search(r"^a=control:(\S+)", sdp.split("m=video", 1)[1], re.M).group(1)
        base = fields.get("content-base", self.url + "/")
        stream = control if "://" in control else base.rstrip("/") + "/" + control
        if self.tcp:
            transport = "RTP/AVP/TCP;unicast;interleaved=0-1"
        else:
            while True:
                rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                rtp.bind(("127.0.0.1", 0))
                rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                try:
                    rtcp.bind(("127.0.0.1", rtp.getsockname()[1] + 1))
                    break
                except OSError:
                    rtp.close()
                    rtcp.close()
            rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            rtp.settimeout(TIMEOUT)
            self.udp = [rtp, rtcp]
            port = rtp.getsockname()[1]
            transport = f"RTP/AVP;unicast;client_port={port}-{port + 1}"
        fields, _ = self.request("SETUP", stream, [f"Transport: {transport}"])
        self.session = fields["session"].split(";")[0]
        fields, _ = self.request("PLAY", self.url, ["Range: npt=0-"])
        return int(re.search(r"seq=(\d+)", fields["rtp-info"]).group(1))

    def packets(self, count):
        """The next `count` RTP packets, as (sequence number, payload)."""
        got = []
        while len(got) < count:
            if self.tcp:
                frame = self.next_frame()
                data = frame if isinstance(frame, bytes) else None
            else:
                data = self.udp[0].recv(65536)
            packet = parse_rtp(data) if data else None
            if packet:
                got.append(packet)
        return got


class Watcher(threading.Thread):
    """A client playing over TCP for the whole test, keeping every packet by sequence number."""

    def __init__(self, port, path):
        super().__init__(daemon=True)
        self.client = RtspClient(port, path, tcp=True)
        self.client.play()
        self.lock = threading.Lock()
        self.seen = {}  # sequence number -> payload
        self.order = []  # sequence numbers as they came
        self.key_frames = 0  # parameter sets seen since playing
        self.stopping = False
        self.start()

    def run(self):
        try:
            while not self.stopping:
                seq, payload = self.client.packets(1)[0]
                with self.lock:
                    self.seen[seq] = payload
                    self.order.append(seq)
                    self.key_frames += nal_type(payload) == 7
        except (OSError, AssertionError):
            pass  # the connection ended

    def stop(self):
        if self.stopping:
            return
        self.stopping = True
        self.client.sock.shutdown(socket.SHUT_RDWR)
        self.join(TIMEOUT)
        self.client.close()


class InstantStartTest(unittest.TestCase):
    def assert_continuous(self, seqs):
        self.assertEqual(seqs, [(seqs[0] + i) & 0xFFFF for i in range(len(seqs))])

    def assert_starts_with_key_frame(self, packets, rtp_info_seq, watcher=None):
        """The parameter sets and the key frame first (delimiters and SEI aside), the first one
        named by RTP-Info, then every sequence number once. With a watcher of the same camera:
        each packet carries what the watcher got under its sequence number."""
        types = [t for t in (nal_type(p) for _, p in packets) if t not in (0, 6, 9)]
        first_slice = next(i for i, t in enumerate(types) if 1 <= t <= 5)
        self.assertEqual(types[first_slice], 5, types[:first_slice + 1])
        self.assertEqual(types[0], 7)
        self.assertTrue(set(types[:first_slice]) <= {7, 8}, types[:first_slice])
        self.assertEqual(packets[0][0], rtp_info_seq)
        self.assert_continuous([seq for seq, _ in packets])
        if watcher is not None:
            with watcher.lock:
                self.assertIn(packets[0][0], watcher.seen)
                for seq, payload in packets:
                    if seq in watcher.seen:
                        self.assertEqual(watcher.seen[seq], payload, seq)

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

        watcher = Watcher(s.rtsp_port, "door")
        self.addCleanup(watcher.stop)
        for tcp in (True, False):
            with self.subTest("tcp" if tcp else "udp"):
                # Most likely inside a group of pictures: the watcher had a key frame, the next
                # one comes every 4 s.
                wait_until(lambda: watcher.key_frames > 0 and len(watcher.seen) > 60,
                           "the watcher to play")
                joiner = RtspClient(s.rtsp_port, "door", tcp)
                try:
                    seq = joiner.play()
                    self.assert_starts_with_key_frame(joiner.packets(JOIN_PACKETS), seq, watcher)
                finally:
                    joiner.close()
        watcher.stop()
        # The watcher saw its stream unchanged by the joiners.
        self.assertGreater(len(watcher.order), 60)
        self.assert_continuous(watcher.order)

        # The last client gone, the door camera lingers; a client back within that time gets
        # the cached key frame from the same pull of the camera (streaming since the same
        # moment), and then the camera is let go.
        door = wait_until(lambda: state_is("door", "streaming", 0), "the door camera to linger")
        back = RtspClient(s.rtsp_port, "door", tcp=True)
        try:
            seq = back.play()
            self.assert_starts_with_key_frame(back.packets(JOIN_PACKETS), seq)
            playing = wait_until(lambda: state_is("door", "streaming", 1), "the client back")
            self.assertEqual(playing["since"], door["since"])
        finally:
            back.close()
        wait_until(lambda: state_is("door", "idle"), "the door camera to be let go",
                   LINGER + TIMEOUT)

        # The keep-warm camera's first viewer gets its key frame, and the camera stays after it.
        viewer = RtspClient(s.rtsp_port, "warm", tcp=False)
        try:
            seq = viewer.play()
            self.assert_starts_with_key_frame(viewer.packets(JOIN_PACKETS), seq)
        finally:
            viewer.close()
        self.assertEqual(wait_until(lambda: state_is("warm", "streaming", 0),
                                    "the warm camera to stay")["since"], warm["since"])
        s.stop()


if __name__ == "__main__":
    unittest.main()
