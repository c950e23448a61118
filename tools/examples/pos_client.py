#!/usr/bin/env python3
"""A small point-of-sale client of `tarvomdrv bridge`.

It opens a register's port, prints every event, and answers the register's
PLU and customer inquiries and its permission requests from a tiny price list.

    python3 tools/examples/pos_client.py --port 1 --seconds 30
"""
import argparse
import json
import os
import queue
import subprocess
import sys
import threading
import time

ARTICLES = {"5998": ("Kenyér 1 kg", 100), "1234567": ("Tej 2,8% 1 l", 250)}


class Bridge:
    """Talks to `tarvomdrv bridge`: one request at a time, events as they come."""

    def __init__(self, program):
        self.proc = subprocess.Popen([program, "bridge"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.lines = queue.Queue()
        threading.Thread(target=self._reader, daemon=True).start()
        self.next_id = 1
        self.responses = {}
        self.events = []

    def _reader(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))
        self.lines.put(None)

    def _take(self, timeout=None):
        message = self.lines.get(timeout=timeout)
        if message is None:
            raise EOFError("the bridge has ended")
        if "event" in message:
            self.events.append(message)
        else:
            self.responses[message.get("id")] = message

    def call(self, method, **args):
        request_id = self.next_id
        self.next_id += 1
        self.proc.stdin.write(json.dumps({"id": request_id, "method": method, "args": args}) + "\n")
        self.proc.stdin.flush()
        while request_id not in self.responses:
            self._take()
        return self.responses.pop(request_id)

    def poll_events(self, timeout):
        """Collects what the bridge writes within `timeout` seconds."""
        try:
            self._take(timeout)
            while True:
                self._take(0)
        except queue.Empty:
            pass
        events, self.events = self.events, []
        return events

    def close(self):
        self.proc.stdin.close()
        try:
            while True:  # the control says goodbye (OnDestroy)
                self._take(10)
        except (EOFError, queue.Empty):
            pass
        for event in self.events:
            print("event", event["event"], event["args"], flush=True)
        return self.proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "..",
                                                          "build", "bin", "tarvomdrv"))
    options = parser.parse_args()

    bridge = Bridge(options.program)
    port = options.port
    print("Init:", bridge.call("Init", port_num=port, baudrate=9600, log_size=0, sn_path="")["result"])
    deadline = time.monotonic() + options.seconds
    while time.monotonic() < deadline:
        for event in bridge.poll_events(0.2):
            name, args = event["event"], event["args"]
            print("event", name, args, flush=True)
            if name in ("OnPluInquire841", "OnPluInquire"):
                desc, price = ARTICLES.get(args["plu_code"], ("Ismeretlen", 0))
                bridge.call("SendPlu", port_num=port, plu_code=args["plu_code"], desc=desc,
                            group1=1, group2=0, group3=0, status="110000000011", vtsz="",
                            link="", price1=price, price2=0, price3=0)
            elif name == "OnCustInquire":
                bridge.call("SendCust", port_num=port, cust_id=args["cust_id"], cust_desc="Vevő")
            elif name in ("OnSellRequest", "OnPaidInOutRequest", "OnModifyRequest"):
                bridge.call("OperationEnabled", port_num=port, en=True, disp_msg="")
            elif name == "OnClerkLogin":
                bridge.call("SendClerk", port_num=port, desc="Anna", status="1")
    bridge.call("PortClose", port_num=port)
    return bridge.close()


if __name__ == "__main__":
    sys.exit(main())
