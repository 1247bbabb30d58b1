"""Whole-process test of webservice-sim: a WebSocket JSON-RPC client that is not our own code
(Python's websockets) drives the simulator, while the service's real JSON-RPC handler
(jsonrpc-demo-service) registers its capability, method and topic through the connector."""

import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import websockets

BUILD = os.environ["TAVREL_BUILD_DIR"]
SIM = os.path.join(BUILD, "tools", "webservice-sim", "webservice-sim")
DEMO = os.path.join(BUILD, "tests", "Tavrel", "JsonRpc", "jsonrpc-demo-service")
TIMEOUT = 10

CAMERAS = [
    {"name": "Door", "location": "Hall", "url": "rtsp://server:8554/door"},
    {"name": "Yard", "location": "Outside", "url": "rtsp://server:8554/yard"},
]


class Output:
    """Collects a child's standard output lines in the background."""

    def __init__(self, proc):
        self.lines = []
        self.proc = proc

    async def pump(self):
        loop = asyncio.get_running_loop()
        while True:
            line = await loop.run_in_executor(None, self.proc.stdout.readline)
            if not line:
                return
            self.lines.append(line.rstrip("\n"))

    async def wait_for(self, pattern, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.lines:
                match = re.search(pattern, line)
                if match:
                    return match
            await asyncio.sleep(0.02)
        raise AssertionError(f"no line matching {pattern!r} in {self.lines}")


def check(condition, what):
    if not condition:
        raise AssertionError(what)


async def exchange(ws, text):
    await ws.send(text)
    return json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))


async def call(ws, ident, method, params=None):
    request = {"jsonrpc": "2.0", "id": ident, "method": method}
    if params is not None:
        request["params"] = params
    await ws.send(json.dumps(request))
    while True:
        raw = await asyncio.wait_for(ws.recv(), TIMEOUT)
        message = json.loads(raw)
        if message.get("id") == ident:
            return message, raw


async def poll(ws, method, predicate):
    deadline = time.monotonic() + TIMEOUT
    ident = 1000
    while time.monotonic() < deadline:
        ident += 1
        message, _ = await call(ws, ident, method)
        if predicate(message.get("result")):
            return message["result"]
        await asyncio.sleep(0.05)
    raise AssertionError(f"{method} never satisfied the condition")


async def malformed_messages(ws):
    # (text sent, error code expected, id expected)
    cases = [
        ("{bad json", -32700, None),
        ("", -32700, None),
        ('[{"jsonrpc":"2.0","id":1,"method":"x"}]', -32600, None),
        ('"just a string"', -32600, None),
        ('{"jsonrpc":"2.0","id":2}', -32600, 2),
        ('{"jsonrpc":"1.0","id":3,"method":"x"}', -32600, 3),
        ('{"jsonrpc":2,"id":4,"method":"x"}', -32600, 4),
        ('{"jsonrpc":"2.0","id":-1,"method":"x"}', -32600, None),
        ('{"jsonrpc":"2.0","id":1.5,"method":"x"}', -32600, None),
        ('{"jsonrpc":"2.0","id":5,"method":7}', -32600, 5),
        ('{"jsonrpc":"2.0","id":6,"method":"No.Such.Method"}', -32601, 6),
        ('{"jsonrpc":"2.0","id":7,"method":"Pandrix.Subscribe"}', -32602, 7),
        ('{"jsonrpc":"2.0","id":8,"method":"Pandrix.Subscribe","params":{"topic":"none"}}',
         -32602, 8),
    ]
    for text, code, ident in cases:
        reply = await exchange(ws, text)
        check(reply.get("jsonrpc") == "2.0", f"{text!r}: {reply}")
        check(reply.get("id") == ident, f"{text!r}: id in {reply}")
        check(reply.get("error", {}).get("code") == code, f"{text!r}: code in {reply}")
        check(isinstance(reply["error"].get("message"), str), f"{text!r}: message in {reply}")
    # A large but legal message is answered too; the connection survived all of the above.
    reply = await exchange(ws, json.dumps({"jsonrpc": "2.0", "id": 9, "method": "Pandrix.GetTopics",
                                           "params": ["x" * 100000]}))
    check(reply.get("id") == 9 and "result" in reply, f"large message: {reply}")


async def main():
    sim = subprocess.Popen([SIM, "--port", "0", "--ws-port", "0"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    sim_out = Output(sim)
    demo = None
    demo_out = None
    with tempfile.TemporaryDirectory() as tmp:
        try:
            asyncio.ensure_future(sim_out.pump())
            ready = await sim_out.wait_for(r"connector port (\d+) websocket port (\d+)")
            connector_port, ws_port = ready.group(1), ready.group(2)

            async with websockets.connect(f"ws://127.0.0.1:{ws_port}") as ws:
                await malformed_messages(ws)

                cameras_file = os.path.join(tmp, "cameras.json")
                with open(cameras_file, "w") as f:
                    json.dump(CAMERAS, f)
                env = dict(os.environ, PANDRIX_PORT=connector_port)
                demo = subprocess.Popen([DEMO, cameras_file], env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
                demo_out = Output(demo)
                asyncio.ensure_future(demo_out.pump())
                await demo_out.wait_for("demo service ready")

                await poll(ws, "Pandrix.GetMethods",
                           lambda r: sorted(r) == ["Tavrel.Rtsp.GetCameras", "Tavrel.Rtsp.GetStatus"])
                await poll(ws, "Pandrix.GetTopics",
                           lambda r: sorted(r) == ["Tavrel.Rtsp.Cameras", "Tavrel.Rtsp.Status"])
                caps = await poll(ws, "Pandrix.GetCapabilities",
                                  lambda r: "RtspCameraServer" in r)
                check(caps == {"RtspCameraServer": True}, f"capabilities {caps}")

                # The method: the list with its members in order, whatever the parameters.
                for ident, params in ((42, None), (43, {"ignored": True}), (44, [1, 2])):
                    message, raw = await call(ws, ident, "Tavrel.Rtsp.GetCameras", params)
                    check(message.get("result") == CAMERAS, f"method result {message}")
                    check(raw == json.dumps({"jsonrpc": "2.0", "id": ident, "result": CAMERAS},
                                            separators=(",", ":")), f"raw text {raw}")

                # A notification call gets no answer; the next request is answered normally.
                await ws.send('{"jsonrpc":"2.0","method":"Tavrel.Rtsp.GetCameras"}')
                message, _ = await call(ws, 50, "Pandrix.GetTopics")
                check(sorted(message.get("result")) == ["Tavrel.Rtsp.Cameras", "Tavrel.Rtsp.Status"],
                      f"after notify {message}")

                # The topic: the list at once, then each publication.
                message, _ = await call(ws, 60, "Pandrix.Subscribe",
                                        {"topic": "Tavrel.Rtsp.Cameras"})
                check(message.get("result") is True, f"subscribe {message}")
                first = json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))
                check(first == {"jsonrpc": "2.0", "method": "Tavrel.Rtsp.Cameras",
                                "params": CAMERAS}, f"first notification {first}")
                with open(cameras_file, "w") as f:
                    json.dump([], f)
                demo.send_signal(signal.SIGHUP)
                second = json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))
                check(second == {"jsonrpc": "2.0", "method": "Tavrel.Rtsp.Cameras",
                                 "params": []}, f"second notification {second}")

                # The capability follows the service.
                demo.send_signal(signal.SIGUSR1)
                await poll(ws, "Pandrix.GetCapabilities",
                           lambda r: r == {"RtspCameraServer": False})

                message, _ = await call(ws, 70, "Pandrix.Unsubscribe",
                                        {"topic": "Tavrel.Rtsp.Cameras"})
                check(message.get("result") is True, f"unsubscribe {message}")

                # The service goes away: its method goes with it.
                demo.send_signal(signal.SIGTERM)
                check(demo.wait(TIMEOUT) == 0, "demo service exit code")
                await poll(ws, "Pandrix.GetMethods", lambda r: r == [])
                message, _ = await call(ws, 80, "Tavrel.Rtsp.GetCameras")
                check(message.get("error", {}).get("code") == -32601, f"after exit {message}")

            sim.send_signal(signal.SIGTERM)
            check(sim.wait(TIMEOUT) == 0, "simulator exit code")
        except BaseException:
            await asyncio.sleep(0.2)
            for name, out in (("webservice-sim", sim_out), ("jsonrpc-demo-service", demo_out)):
                if out is not None:
                    print(f"--- {name} output:\n" + "\n".join(out.lines), file=sys.stderr)
            raise
        finally:
            for proc in (demo, sim):
                if proc is not None and proc.poll() is None:
                    proc.kill()
                    proc.wait()


if __name__ == "__main__":
    asyncio.run(main())
    print("ok")
    sys.exit(0)
