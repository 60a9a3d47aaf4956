#!/usr/bin/env python3
"""A door call on MQTT: the messages tmx-sip publishes, and its buttons.

A mosquitto broker on 127.0.0.1:1883, shield-sim playing the shield (a call
to apartment 123 from door 3, taken at the apartment's own handset), and
tmx-sip, which runs the daemon on the simulator's pty. Everything published
under intercom/demo/ is printed as it comes (mosquitto_sub -v); the demo
presses the buttons itself, as Home Assistant would: open the calling door
while the call is talked, end the call, then the one-time opening of door
unit 1 on the idle line. Run it through ./dev demo mqtt (in a network
namespace of its own, as it binds fixed ports). The shield's part is
mqtt-demo.scn, beside this file.

    tools/mqtt-demo.py [--build build]
"""

import argparse
import os
import pwd
import select
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PORT = 1883
TOPIC = "intercom/demo"


def say(who, text):
    print(f"demo: {who:6} {text}", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    args = p.parse_args()
    sim_bin = os.path.join(args.build, "shield-sim", "shield-sim")
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    for path in (sim_bin, sip_bin):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"demo: {path} is missing; build first (./dev demo mqtt does)")

    tmp = tempfile.mkdtemp(prefix="tmx-mqtt-demo-")
    broker_conf = os.path.join(tmp, "mosquitto.conf")
    with open(broker_conf, "w") as f:
        f.write(f"listener {PORT} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                f"user {pwd.getpwuid(os.geteuid()).pw_name}\n")
    conf = os.path.join(tmp, "tmx-sip.conf")
    with open(conf, "w") as f:
        f.write(f"listen 127.0.0.1:5060\nintercom 102\nmqtt_broker mqtt://127.0.0.1:{PORT}\n"
                f"mqtt_topic {TOPIC}\nmqtt_door_units 1 2\n")
    trace_path = os.path.join(tmp, "shield.trace")

    say("broker", f"mosquitto on 127.0.0.1:{PORT}; what tmx-sip publishes under {TOPIC}/ is printed below")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", broker_conf], stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(tmp, "mosquitto.log"), "w"))
    procs = [broker]
    try:
        deadline = time.time() + 15
        while True:
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=0.5).close()
                break
            except OSError:
                if time.time() > deadline or broker.poll() is not None:
                    raise SystemExit("demo: mosquitto did not start")
                time.sleep(0.1)
        mosq = ["-h", "127.0.0.1", "-p", str(PORT)]
        sub = subprocess.Popen(["mosquitto_sub", *mosq, "-v", "-t", TOPIC + "/#"], stdout=subprocess.PIPE)
        procs.append(sub)

        def press(command, payload):
            say("button", f"{TOPIC}/cmd/{command} {payload}")
            subprocess.run(["mosquitto_pub", *mosq, "-t", f"{TOPIC}/cmd/{command}", "-m", payload], check=True)

        say("shield", "shield-sim plays a call to apartment 123 from door 3; tmx-sip runs the daemon")
        sim = subprocess.Popen([sim_bin, "-q", "--trace", trace_path, "-s", os.path.join(HERE, "mqtt-demo.scn"),
                                "--", sip_bin, "--config", conf],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        procs.insert(0, sim)

        buf = b""
        trace_pos = 0
        step = "ring"       # what the demo waits for before its next button
        unit_due = 0.0
        end = time.time() + 120
        while sim.poll() is None and time.time() < end:
            r, _, _ = select.select([sub.stdout], [], [], 0.1)
            if r:
                chunk = os.read(sub.stdout.fileno(), 65536)
                if not chunk:
                    raise SystemExit("demo: mosquitto_sub ended")
                buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode(errors="replace")
                say("mqtt", line)
                topic, _, payload = line.partition(" ")
                sub_topic = topic[len(TOPIC) + 1:]
                if step == "ring" and sub_topic == "line" and payload == "talking":
                    step = "opened"
                    press("open", "PRESS")
                elif step == "opened" and sub_topic == "event/door_opened":
                    step = "ended"
                    press("end_call", "PRESS")
                elif step == "ended" and sub_topic == "event/call_ended":
                    # The daemon takes an opening by number once the line
                    # has been idle a moment.
                    step = "unit"
                    unit_due = time.time() + 2
                elif step == "unit pressed" and sub_topic == "event/door_opened":
                    step = "done"
            if step == "unit" and time.time() >= unit_due:
                step = "unit pressed"
                press("open_unit", "1")
            if os.path.exists(trace_path):
                with open(trace_path) as f:
                    f.seek(trace_pos)
                    chunk = f.read()
                    trace_pos = f.tell()
                for line in chunk.splitlines():
                    w = line.split()
                    fields = dict(x.split("=", 1) for x in w[2:] if "=" in x)
                    if len(w) > 1 and w[1] == "rx-poll" and int(fields.get("cmd", "0"), 0):
                        names = {8: "pickup", 4: "open the calling door", 1: "drop", 16: "one-time opening"}
                        c = int(fields["cmd"], 0)
                        say("shield", f"poll carries command {c} ({names.get(c, '?')})")
                    elif len(w) > 1 and w[1] == "event":
                        say("shield", f"line: {fields.get('name')}")
        ok = sim.poll() == 0 and step == "done"
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.terminate()
            proc.wait()
    say("", f"files in {tmp}")
    if not ok:
        say("", "the door call did not go as planned")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
