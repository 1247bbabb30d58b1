#!/usr/bin/python3
"""Calls a JSON-RPC method of webservice-sim over WebSocket and prints the answer.

    call.py [--port 4816] METHOD [PARAMS_JSON]
    call.py [--port 4816] --subscribe TOPIC      # prints the topic's notifications until Ctrl-C

Examples:
    call.py Tavrel.Rtsp.GetCameras
    call.py Pandrix.GetCapabilities
    call.py --subscribe Tavrel.Rtsp.Cameras
"""

import argparse
import asyncio
import json
import sys

import websockets


async def run(args):
    async with websockets.connect(f"ws://127.0.0.1:{args.port}") as ws:
        if args.subscribe:
            await ws.send(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "Pandrix.Subscribe",
                                      "params": {"topic": args.subscribe}}))
            async for raw in ws:
                print(json.dumps(json.loads(raw), indent=2), flush=True)
            return 0
        request = {"jsonrpc": "2.0", "id": 1, "method": args.method}
        if args.params is not None:
            request["params"] = json.loads(args.params)
        await ws.send(json.dumps(request))
        reply = json.loads(await asyncio.wait_for(ws.recv(), 10))
        print(json.dumps(reply, indent=2))
        return 1 if "error" in reply else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=4816, help="WebSocket port (default 4816)")
    parser.add_argument("--subscribe", metavar="TOPIC", help="print the topic's notifications")
    parser.add_argument("method", nargs="?", help="method to call")
    parser.add_argument("params", nargs="?", help="parameters as JSON")
    args = parser.parse_args()
    if not args.subscribe and not args.method:
        parser.error("a METHOD or --subscribe TOPIC is needed")
    try:
        return asyncio.run(run(args))
    except KeyboardInterrupt:
        return 0
    except (OSError, asyncio.TimeoutError, websockets.exceptions.WebSocketException) as e:
        print(f"call.py: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
