#!/usr/bin/env python3
"""A standard WebSocket client (Python's websockets) against a unit's server:
connects with the protocol "chat", gives the password, prints the first two
status frames and closes. Usage: ws_client.py PORT [PASSWORD]"""
import asyncio
import sys

import websockets


async def main(port, password):
    async with websockets.connect(f"ws://127.0.0.1:{port}/chat", subprotocols=["chat"],
                                  open_timeout=30, close_timeout=10) as ws:
        print("protocol", ws.subprotocol, flush=True)
        await ws.send(password)
        got = 0
        while got < 2:
            msg = await asyncio.wait_for(ws.recv(), 30)
            if isinstance(msg, bytes) and msg[:2] == b"ST":
                print("ST", msg[2:].decode("latin-1"), flush=True)
                got += 1


asyncio.run(main(int(sys.argv[1]), sys.argv[2] if len(sys.argv) > 2 else "velocirapido"))
