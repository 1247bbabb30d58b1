"""Whole-process tests of tavrel beside cameras that misbehave (tools/hostile-camera): each
request for a hostile camera is answered within seconds, the process stays within bounded
threads and descriptors and alive, and a client of a good camera plays on throughout."""

import base64
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

from test_service import TIMEOUT, Service, wait_until

SOURCE = os.environ.get("TAVREL_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HOSTILE = os.path.join(SOURCE, "tools", "hostile-camera", "hostile-camera")
# The relay gives up on a camera that does not answer after 5 s, on one that brings no packet of
# its stream within 10 s (silence or junk after PLAY); some slack for slow machines (sanitizers,
# emulation).
ANSWER_WITHIN = 15
# Generous bounds: with the good client alone the relay runs about 20 threads and 32 descriptors,
# and about 60 and 100 while it serves the requests of this test.
MAX_THREADS = 100
MAX_FDS = 300
# Threads and descriptors beyond those of the good client alone, once the hostile ones are done
# (pools of threads that have not ended yet).
SLACK = 4
# The longest time the good client may go without receiving anything.
MAX_GAP = 5
# Memory beyond that of the good client alone, once the hostile cameras are done, and while they
# feed headers and bodies without end (not checked in builds whose memory figures are the
# sanitizer's or the emulator's).
RSS_CHECKS = os.environ.get("TAVREL_RSS_CHECKS", "1") == "1"
RSS_SLACK = 8 << 20 if RSS_CHECKS else float("inf")
PEAK_RSS_SLACK = 48 << 20 if RSS_CHECKS else float("inf")
# Streams of the camera that lists many: as many as fit the largest SDP taken (64 KiB).
MANY_STREAMS = 300
# How fast the hostile cameras feed what they feed without end (headers, bodies, junk RTP).
FEED_RATE = 4 << 20
# The line each hostile camera earns in the log (tavrel's own words after the camera's path).
FAULTS = {
    "silent-after-play": "brought no usable stream in time",
    "junk-rtp": "sent junk packets, dropped",
    "endless-headers": "sent an answer with too many header lines",
    "huge-body": "announced an SDP that is too large",
    "huge-sdp": "announced an SDP that is too large",
    "redirect-elsewhere": "redirected to another host",
    "redirect-loop": "redirected too often",
}
MODES = ["many-streams", "junk-sdp", "silent-after-play", "junk-rtp", "no-answer",
         "endless-headers", "huge-body", "huge-sdp", "redirect-elsewhere", "redirect-loop"]
# The camera's credentials, which its redirects and faults never show.
CAMERA_SECRET = "c4m-s3cret"


class HostileService(Service):
    """The service with the good test camera /a and one hostile camera per path."""

    def __init__(self, test, hostile):
        self.hostile = hostile  # path -> camera URL
        super().__init__(test, ["-vvvv"], fixed=True, with_webservice=False)

    def camera(self, name):
        if name in self.hostile:
            url = self.hostile[name].replace("rtsp://", f"rtsp://cam:{CAMERA_SECRET}@")
            return {"name": f"Camera {name}", "location": "Lab", "path": name, "url": url}
        return super().camera(name)

    def write_config(self, cameras, path=None):
        super().write_config([*cameras, *self.hostile], path)


def counts(pid):
    """The threads, open descriptors and resident bytes of process pid."""
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return (int(fields["Threads"]), len(os.listdir(f"/proc/{pid}/fd")),
            int(fields["VmRSS"].split()[0]) << 10)


class Monitor:
    """Samples tavrel's threads and descriptors and the size of the good client's output every
    50 ms, from a thread of its own."""

    def __init__(self, pid, output):
        self.pid = pid
        self.output = output
        self.peak_threads = 0
        self.peak_fds = 0
        self.peak_rss = 0
        self.longest_gap = 0.0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        size, grown = 0, time.monotonic()
        while not self.done.wait(0.05):
            try:
                threads, fds, rss = counts(self.pid)
            except (OSError, KeyError, ValueError):
                continue
            self.peak_threads = max(self.peak_threads, threads)
            self.peak_fds = max(self.peak_fds, fds)
            self.peak_rss = max(self.peak_rss, rss)
            now = time.monotonic()
            new_size = os.path.getsize(self.output) if os.path.exists(self.output) else 0
            if new_size > size:
                size, grown = new_size, now
            self.longest_gap = max(self.longest_gap, now - grown)

    def stop(self):
        self.done.set()
        self.thread.join(TIMEOUT)


def describe(s, path, source):
    """DESCRIBE of path as a client from the address `source`: the status code (None when the
    connection ended unanswered), the SDP and the seconds it took."""
    auth = base64.b64encode(b"admin:admin").decode()
    request = (f"DESCRIBE {s.url(path).replace('admin:admin@', '')} RTSP/1.0\r\nCSeq: 1\r\n"
               f"Accept: application/sdp\r\nAuthorization: Basic {auth}\r\n\r\n")
    start = time.monotonic()
    reply = b""
    with socket.create_connection(("127.0.0.1", s.rtsp_port), timeout=2 * ANSWER_WITHIN,
                                  source_address=(source, 0)) as sock:
        sock.sendall(request.encode())
        while b"\r\n\r\n" not in reply:
            data = sock.recv(65536)
            if not data:
                return None, "", time.monotonic() - start
            reply += data
        head, body = reply.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.decode().split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        while len(body) < length:
            data = sock.recv(65536)
            if not data:
                break
            body += data
    status = int(head.split(b" ")[1])
    return status, body.decode(errors="replace"), time.monotonic() - start


class HostileCamerasTest(unittest.TestCase):
    def hostile_camera(self, mode):
        """A hostile camera in `mode` on a free port, stopped with the test; its URL."""
        proc = subprocess.Popen(["/usr/bin/python3", HOSTILE, "--mode", mode, "--port", "0",
                                 "--rate", str(FEED_RATE), "--streams", str(MANY_STREAMS),
                                 "--seconds", str(4 * TIMEOUT)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, text=True)

        def stop():
            proc.terminate()
            proc.wait(TIMEOUT)
            proc.stdout.close()
        self.addCleanup(stop)
        for line in proc.stdout:
            if line.startswith("hostile-camera ready "):
                return line.split()[-1]
        raise AssertionError(f"hostile-camera --mode {mode} exited early")

    @unittest.skipUnless(os.environ.get("TAVREL_HOSTILE_FIGURES") == "1",
                         "figures per mode only on request (TAVREL_HOSTILE_FIGURES=1)")
    def test_figures_per_mode(self):
        """Prints, for each hostile camera alone (one client), the client's wait and tavrel's
        peak and final threads, descriptors and RSS."""
        s = HostileService(self, {mode: self.hostile_camera(mode) for mode in MODES})
        self.addCleanup(s.close)
        s.wait_log("Provide camera 'Camera a' at path '/a'")
        base = counts(s.tavrel.pid)
        print(f"\nidle: {base[0]} threads, {base[1]} fds, {base[2] >> 20} MiB", file=sys.stderr)
        for mode in MODES:
            monitor = Monitor(s.tavrel.pid, s.path("none"))
            status, _, seconds = describe(s, mode, "127.0.0.10")
            wait_until(lambda: all(n <= limit for n, limit in
                                   zip(counts(s.tavrel.pid)[:2], (base[0] + SLACK, base[1]))),
                       "threads and descriptors to come back")
            monitor.stop()
            final = counts(s.tavrel.pid)
            print(f"{mode}: {status} after {seconds:.1f} s; peak {monitor.peak_threads} threads,"
                  f" {monitor.peak_fds} fds, {monitor.peak_rss >> 20} MiB; after {final[0]}"
                  f" threads, {final[1]} fds, {final[2] >> 20} MiB", file=sys.stderr)

    def test_hostile_cameras_are_answered_while_a_good_camera_plays(self):
        modes = MODES
        s = HostileService(self, {mode: self.hostile_camera(mode) for mode in modes})
        self.addCleanup(s.close)
        s.wait_log("Provide camera 'Camera a' at path '/a'")
        output = s.path("good.ts")
        good = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", s.url("a"),
             "-c", "copy", "-flush_packets", "1", "-f", "mpegts", output],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        s.procs.append(good)
        wait_until(lambda: os.path.exists(output) and os.path.getsize(output) > 0,
                   "the good client to receive")
        base = counts(s.tavrel.pid)
        print(f"\nplaying /a: {base[0]} threads, {base[1]} fds, {base[2] >> 20} MiB",
              file=sys.stderr)
        monitor = Monitor(s.tavrel.pid, output)
        self.addCleanup(monitor.stop)

        # Two clients per hostile camera, all at once, each from an address of its own (the
        # relay limits the connections of one address).
        results = {}

        def ask(mode, n):
            start = time.monotonic()
            try:
                results[(mode, n)] = describe(s, mode,
                                              f"127.0.0.{10 + 2 * modes.index(mode) + n}")
            except OSError as e:
                results[(mode, n)] = (None, str(e), time.monotonic() - start)
        askers = [threading.Thread(target=ask, args=(m, n)) for m in modes for n in range(2)]
        for t in askers:
            t.start()
        for t in askers:
            t.join(3 * ANSWER_WITHIN)
        size_after = os.path.getsize(output)
        monitor.stop()

        for (mode, n), (status, sdp, seconds) in sorted(results.items()):
            print(f"{mode} #{n}: {status} after {seconds:.1f} s", file=sys.stderr)
        print(f"peak: {monitor.peak_threads} threads, {monitor.peak_fds} fds,"
              f" {monitor.peak_rss >> 20} MiB; longest gap of the good client"
              f" {monitor.longest_gap:.2f} s", file=sys.stderr)
        self.assertEqual(len(results), 2 * len(modes), "every client is done")
        for (mode, n), (status, sdp, seconds) in results.items():
            with self.subTest(mode=mode, client=n):
                self.assertLess(seconds, ANSWER_WITHIN)
                if mode == "many-streams":
                    # Only the camera's first stream is pulled, and served.
                    self.assertEqual(status, 200)
                    self.assertEqual(sdp.count("m=video"), 1)
                elif mode == "junk-rtp":
                    # Random bytes are, rarely, a packet of the stream's type: then it plays.
                    self.assertIn(status, (200, 503))
                else:
                    self.assertEqual(status, 503)
        self.assertLess(monitor.peak_threads, MAX_THREADS)
        self.assertLess(monitor.peak_fds, MAX_FDS)
        self.assertLess(monitor.peak_rss, base[2] + PEAK_RSS_SLACK)
        for mode, fault in FAULTS.items():
            wait_until(lambda: any(line.startswith(f"Camera at path '/{mode}' {fault}")
                                   for line in s.log_lines()), f"the line of {mode}")
        self.assertNotIn(CAMERA_SECRET, s.read(s.log))
        self.assertLess(monitor.longest_gap, MAX_GAP)
        # What the hostile cameras took is given back.
        wait_until(lambda: all(n <= limit for n, limit in
                               zip(counts(s.tavrel.pid),
                                   (base[0] + SLACK, base[1] + SLACK, base[2] + RSS_SLACK))),
                   "threads, descriptors and memory to come back")
        after = counts(s.tavrel.pid)
        print(f"after: {after[0]} threads, {after[1]} fds, {after[2] >> 20} MiB", file=sys.stderr)
        wait_until(lambda: os.path.getsize(output) > size_after, "the good client to play on")
        self.assertIsNone(good.poll(), "the good client plays on")
        s.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
