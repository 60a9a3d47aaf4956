#!/usr/bin/env python3
"""A whole call through tmx-sip, with baresip as the phone.

shield-sim plays the shield (a call to apartment 123 from door 3) and runs
tmx-sip, which runs the daemon on the simulator's pty and rings baresip on
127.0.0.1. The phone answers, presses the open key and hangs up by itself;
each step is printed. Run it through ./dev demo sip (in a network namespace
of its own, as it binds fixed ports). The shield's part is sip-demo.scn, the
phone's set-up phone/ (the SIP call tests use it too), both beside this file.

    tools/sip-demo.py [--build build]
"""

import argparse
import json
import math
import os
import select
import socket
import string
import struct
import subprocess
import sys
import tempfile
import time
import wave

PHONE_SIP = "127.0.0.1:5062"
PHONE_CTRL = ("127.0.0.1", 4444)
TONE_HZ = 440

HERE = os.path.dirname(os.path.abspath(__file__))


def say(who, text):
    print(f"demo: {who:6} {text}", flush=True)


def from_template(name, **values):
    with open(os.path.join(HERE, "phone", name)) as f:
        return string.Template(f.read()).substitute(values)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def strongest_tone(path):
    """Frequency (Hz) of the strongest tone in the recording's second second."""
    try:
        w = wave.open(path)
        n = w.getnframes()
        x = struct.unpack(f"<{n}h", w.readframes(n))[8000:16000]
    except Exception:
        return None
    if len(x) < 8000:
        return None
    x = [s * (0.5 - 0.5 * math.cos(2 * math.pi * i / 7999)) for i, s in enumerate(x)]

    def power(f):
        coef = 2 * math.cos(2 * math.pi * f / 8000)
        q1 = q2 = 0.0
        for s in x:
            q1, q2 = coef * q1 - q2 + s, q1
        return q1 * q1 + q2 * q2 - coef * q1 * q2

    coarse = max(range(300, 3000, 10), key=power)
    return max(range(coarse - 10, coarse + 11), key=power)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    args = p.parse_args()
    sim_bin = os.path.join(args.build, "shield-sim", "shield-sim")
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    for path in (sim_bin, sip_bin):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"demo: {path} is missing; build first (./dev demo sip does)")

    tmp = tempfile.mkdtemp(prefix="tmx-sip-demo-")
    phone_dir = os.path.join(tmp, "phone")
    rec = os.path.join(tmp, "recordings")
    os.makedirs(phone_dir)
    os.makedirs(rec)
    write(os.path.join(phone_dir, "config"),
          from_template("config", SIP_LISTEN=PHONE_SIP, TONE_HZ=TONE_HZ, EXTRA_MODULES="",
                        CTRL_LISTEN=f"{PHONE_CTRL[0]}:{PHONE_CTRL[1]}", REC_DIR=rec))
    write(os.path.join(phone_dir, "accounts"),
          from_template("account", USER="flat123", ADDRESS=PHONE_SIP, PARAMS="regint=0;"))
    conf = os.path.join(tmp, "tmx-sip.conf")
    write(conf, f"listen 127.0.0.1:5060\napartment 123 sip:flat123@{PHONE_SIP}\nintercom 102\n")
    scn = os.path.join(HERE, "sip-demo.scn")
    trace_path = os.path.join(tmp, "shield.trace")

    say("phone", f"baresip on {PHONE_SIP}, its microphone a {TONE_HZ} Hz tone")
    phone = subprocess.Popen(["baresip", "-f", phone_dir], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    ctrl = None
    deadline = time.time() + 15
    while ctrl is None:
        try:
            ctrl = socket.create_connection(PHONE_CTRL, timeout=1)
        except OSError:
            if time.time() > deadline or phone.poll() is not None:
                phone.kill()
                raise SystemExit("demo: baresip did not start")
            time.sleep(0.1)
    ctrl.setblocking(False)

    def command(name, params=None):
        o = {"command": name, "token": name}
        if params is not None:
            o["params"] = params
        b = json.dumps(o).encode()
        ctrl.sendall(str(len(b)).encode() + b":" + b + b",")

    say("shield", "shield-sim plays a call to apartment 123 from door 3; tmx-sip runs the daemon")
    say("", "(lines starting sip: are tmx-sip's own, one for each step of the call)")
    sim = subprocess.Popen([sim_bin, "-q", "--trace", trace_path, "-s", scn, "--", sip_bin, "--config", conf],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    buf = b""
    trace_pos = 0
    todo = []           # (due, action)
    said_call = False
    end = time.time() + 120
    try:
        while sim.poll() is None and time.time() < end:
            r, _, _ = select.select([ctrl], [], [], 0.1)
            if r:
                buf += ctrl.recv(65536)
            while b":" in buf:
                n, rest = buf.split(b":", 1)
                if len(rest) < int(n) + 1:
                    break
                ev = json.loads(rest[:int(n)])
                buf = rest[int(n) + 1:]
                kind = ev.get("type")
                if kind == "CALL_INCOMING":
                    say("phone", f"rings: \"{ev.get('peerdisplayname')}\" <{ev.get('peeruri')}>")
                    todo.append((time.time() + 2, "accept"))
                elif kind == "CALL_ESTABLISHED":
                    say("phone", "talking; what it says comes back through the daemon's loopback")
                    todo.append((time.time() + 3, "key"))
                elif kind == "CALL_CLOSED":
                    say("phone", f"call closed ({ev.get('param')})")
            if os.path.exists(trace_path):
                with open(trace_path) as f:
                    f.seek(trace_pos)
                    chunk = f.read()
                    trace_pos = f.tell()
                for line in chunk.splitlines():
                    w = line.split()
                    fields = dict(x.split("=", 1) for x in w[2:] if "=" in x)
                    if len(w) > 1 and w[1] == "tx-answer" and fields.get("status") == "0x02" and not said_call:
                        said_call = True
                        say("shield", "reports a call to apartment 123 from door 3")
                    elif len(w) > 1 and w[1] == "rx-poll" and int(fields.get("cmd", "0"), 0):
                        names = {8: "pickup", 4: "open", 1: "drop"}
                        c = int(fields["cmd"], 0)
                        say("shield", f"poll carries command {c} ({names.get(c, '?')})")
                    elif len(w) > 1 and w[1] == "event":
                        say("shield", f"line: {fields.get('name')}")
                        if fields.get("name") == "open":
                            todo.append((time.time() + 2, "hangup"))
            for item in [t for t in todo if t[0] <= time.time()]:
                todo.remove(item)
                if item[1] == "accept":
                    say("phone", "answers")
                    command("accept")
                elif item[1] == "key":
                    say("phone", "presses # (the open key)")
                    command("sndcode", "#")
                elif item[1] == "hangup":
                    say("phone", "hangs up")
                    command("hangup")
    finally:
        if sim.poll() is None:
            sim.terminate()
        sim.wait()
        phone.terminate()
        phone.wait()
    recs = sorted(f for f in os.listdir(rec) if f.endswith("-dec.wav"))
    if recs:
        hz = strongest_tone(os.path.join(rec, recs[-1]))
        if hz is not None:
            say("phone", f"its recording of the call: the strongest tone is at {hz} Hz"
                         f" (its own {TONE_HZ} Hz, back through the daemon's loopback)")
    say("", f"files in {tmp}")
    return 0 if sim.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
