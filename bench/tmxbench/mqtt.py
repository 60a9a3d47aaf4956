"""mqtt: tmx-sip on a mosquitto broker started here (127.0.0.1, a free port).

tmx-sip's CPU while idle, without MQTT (a run of its own) and with it. The
open button (`cmd/open_unit`, from a mosquitto_pub that stays connected)
pressed again and again: the time from the press to the shield's poll that
carries the opening. Door calls to an apartment without a phone, one after
another: the time from the daemon's `dial` line to the `ring` event at a
mosquitto_sub here. Then the broker stopped for half of --seconds: a door
call meanwhile must still ring the phone (a socket here on the phone's
port that notes the INVITE); the broker back on its port, how long tmx-sip
takes to be connected again (its backoff doubles from 1 s to 60 s), and
whether the ring from the outage came late (it must not).

The daemon's `dial` lines are timed by a small relay that the `daemon` key
runs between tmx-sip and the daemon: it notes each one as it reads it, then
passes it on.
"""

import os
import pwd
import re
import socket
import subprocess
import sys
import threading
import time

from .measure import cpu_seconds, ms, now_ns, percentile
from .phone import SIP_PHONE
from .processes import start_sim
from .sipkeys import key as log_key

TOPIC = "intercom/bench"

RELAY = r'''
import ctypes, signal, subprocess, sys, time
libc = ctypes.CDLL(None)
child = subprocess.Popen(sys.argv[2:], stdout=subprocess.PIPE,
                         preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))
signal.signal(signal.SIGTERM, lambda *a: child.terminate())
log = open(sys.argv[1], "a", buffering=1)
out = sys.stdout.buffer
for line in child.stdout:
    if line.startswith(b"dial "):
        log.write(f"{time.monotonic_ns()} {line.decode(errors='replace').strip()}\n")
    out.write(line)
    out.flush()
sys.exit(child.wait())
'''


class Lines:
    """A process's output, each line with the time it was read."""

    def __init__(self, stream, copy=None):
        self.lines = []
        self.copy = copy
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            text = raw.decode(errors="replace").rstrip("\n")
            self.lines.append((now_ns(), text))
            if self.copy:
                self.copy.write(text + "\n")
                self.copy.flush()

    def first(self, test, after=0, timeout=60.0):
        """The time of the first line since `after` for which test holds."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            for t, text in list(self.lines):
                if t >= after and test(text):
                    return t
            time.sleep(0.01)
        return None

    def count(self, test, after=0):
        return sum(1 for t, text in list(self.lines) if t >= after and test(text))


class Trace:
    """The simulator's trace, read as it grows: polls carrying a command."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = ""
        self.polls = []     # (ns, cmd)

    def update(self):
        if not os.path.exists(self.path):
            return
        with open(self.path) as f:
            f.seek(self.offset)
            data = f.read()
            self.offset = f.tell()
        data = self.partial + data
        *whole, self.partial = data.split("\n")
        for line in whole:
            parts = line.split()
            if len(parts) > 2 and parts[0].isdigit() and parts[1] == "rx-poll":
                fields = dict(p.split("=", 1) for p in parts[2:] if "=" in p)
                self.polls.append((int(parts[0]), int(fields.get("cmd", "0"), 0)))

    def poll_with(self, cmd, after, timeout=30.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            self.update()
            for t, c in self.polls:
                if t >= after and c == cmd:
                    return t
            time.sleep(0.01)
        return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_broker(conf, port, log):
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=log, stderr=log)
    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return broker, now_ns()
        except OSError:
            time.sleep(0.01)
    raise SystemExit("bench: mosquitto did not come up")


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Phone:
    """The phone's port: notes when an INVITE comes (it never answers)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(SIP_PHONE)
        self.invites = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if data.startswith(b"INVITE "):
                self.invites.append(now_ns())


def run_tmx_sip(args, tmp, name, config, scenario):
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    if not os.access(sip_bin, os.X_OK):
        raise SystemExit(f"bench: {sip_bin} is missing; build first (./dev bench does)")
    pty_file = os.path.join(tmp, name + ".pty")
    scn = os.path.join(tmp, name + ".scn")
    with open(scn, "w") as f:
        f.write(scenario)
    trace = os.path.join(tmp, name + ".trace")
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "-s", scn, "--trace", trace], pty_file)
    conf = os.path.join(tmp, name + ".conf")
    with open(conf, "w") as f:
        f.write(config)
    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    sip = subprocess.Popen([sip_bin, "--config", conf], env=env, stderr=subprocess.PIPE)
    log = Lines(sip.stderr, open(os.path.join(tmp, name + ".err"), "w"))
    if log.first(lambda l: re.search(log_key("masks.loaded"), l), timeout=30) is None:
        raise SystemExit(f"bench: tmx-sip's daemon did not come up (see {name}.err)")
    return sim, sip, log, Trace(trace)


def idle_cpu(sip, seconds):
    t0, c0 = now_ns(), cpu_seconds(sip.pid)
    time.sleep(seconds)
    return round(100.0 * (cpu_seconds(sip.pid) - c0) / ((now_ns() - t0) / 1e9), 3)


def run_mqtt(args, tmp):
    idle = max(5.0, args.seconds / 4)
    presses = max(10, int(args.seconds / 4))
    calls = max(10, int(args.seconds / 3))
    outage = max(5.0, args.seconds / 2)
    base = f"listen 127.0.0.1:5060\napartment 123 sip:bench@{SIP_PHONE[0]}:{SIP_PHONE[1]}\n"

    # tmx-sip without MQTT, idle.
    sim, sip, _, _ = run_tmx_sip(args, tmp, "mqtt-off", base + f"daemon {args.driver} -ic 102\n", "idle\n")
    cpu_off = idle_cpu(sip, idle)
    for p in (sip, sim):
        stop(p)

    port = free_port()
    broker_conf = os.path.join(tmp, "mosquitto.conf")
    with open(broker_conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                f"user {pwd.getpwuid(os.geteuid()).pw_name}\n")
    broker_log = open(os.path.join(tmp, "mosquitto.log"), "w")
    broker, _ = start_broker(broker_conf, port, broker_log)
    relay = os.path.join(tmp, "relay.py")
    with open(relay, "w") as f:
        f.write(RELAY)
    dials = os.path.join(tmp, "dials")
    open(dials, "w").close()
    one_call = "wait polls 2\ncall 125 from 3\nwait polls 3\nhangup\nwait polls 2\n"
    scenario = ("idle\n" + "wait open\n" * presses + one_call * calls
                + "idle 3s\ncall 123 from 3\nwait polls 6\nhangup\nidle\n")
    phone = Phone()
    sim, sip, log, trace = run_tmx_sip(
        args, tmp, "mqtt",
        base + f"daemon {sys.executable} {relay} {dials} {args.driver} -ic 102\n"
        f"mqtt_broker mqtt://127.0.0.1:{port}\nmqtt_topic {TOPIC}\nmqtt_door_units 1\n", scenario)
    mosq = ["-h", "127.0.0.1", "-p", str(port)]
    sub = subprocess.Popen(["mosquitto_sub", *mosq, "-t", TOPIC + "/#", "-v"], stdout=subprocess.PIPE)
    events = Lines(sub.stdout)
    if events.first(lambda l: l == TOPIC + "/daemon ON", timeout=30) is None:
        raise SystemExit("bench: tmx-sip did not publish its state")
    cpu_on = idle_cpu(sip, idle)

    # The open button.
    pub = subprocess.Popen(["mosquitto_pub", *mosq, "-t", TOPIC + "/cmd/open_unit", "-l"], stdin=subprocess.PIPE)
    time.sleep(1.0)     # its connection
    opening = []
    for _ in range(presses):
        t = now_ns()
        pub.stdin.write(b"1\n")
        pub.stdin.flush()
        polled = trace.poll_with(0x10, t)
        if polled is None:
            raise SystemExit("bench: the open button brought no poll with the opening; tmx-sip said:\n"
                             + "\n".join(l for _, l in log.lines[-10:]))
        opening.append(polled - t)
        if events.first(lambda l: l.startswith(TOPIC + "/event/door_opened"), after=polled) is None:
            raise SystemExit("bench: no door_opened event")
        time.sleep(1.5)     # the daemon takes no second opening sooner
    pub.stdin.close()
    pub.wait()

    # Door calls: dial to ring event.
    ring = lambda l: l.startswith(TOPIC + "/event/ring ") and '"apartment":125' in l
    ended = lambda l: l.startswith(TOPIC + "/event/call_ended ")
    deadline = time.time() + calls * 10
    while events.count(ended) < calls:
        if time.time() > deadline:
            raise SystemExit("bench: the door calls did not all end")
        time.sleep(0.05)
    with open(dials) as f:
        dial_times = [int(l.split()[0]) for l in f if " dial 125" in l]
    ring_times = [t for t, l in events.lines if ring(l)]
    latency = [r - d for d, r in zip(dial_times, ring_times)]

    # The outage: the scenario calls 123 3 s after the last call ended.
    stop(sub)
    stop(broker)
    t_down = now_ns()
    rang = phone.invites and phone.invites[-1] > t_down
    deadline = time.time() + outage
    while time.time() < deadline and not rang:
        time.sleep(0.05)
        rang = bool(phone.invites) and phone.invites[-1] > t_down
    time.sleep(max(0.0, deadline - time.time()))
    with open(dials) as f:
        dialled_away = any(int(l.split()[0]) > t_down and " dial 123" in l for l in f)
    broker, t_up = start_broker(broker_conf, port, broker_log)
    sub = subprocess.Popen(["mosquitto_sub", *mosq, "-t", TOPIC + "/#", "-v"], stdout=subprocess.PIPE)
    after = Lines(sub.stdout)
    back = log.first(lambda l: re.search(log_key("mqtt.connected"), l), after=t_up, timeout=90)
    last_call = after.first(lambda l: l.startswith(TOPIC + "/last_call ") and '"apartment":123' in l, timeout=30)
    replayed = after.count(lambda l: l.startswith(TOPIC + "/event/ring "))

    for p in (sub, sip, sim, broker):
        stop(p)
    phone.sock.close()
    if os.environ.get("BENCH_SIP_LOG"):
        with open(os.path.join(tmp, "mqtt.err")) as f:
            sys.stderr.write(f.read())
    return {
        "condition": "mqtt", "seconds": args.seconds,
        "mqtt_rings": len(latency),
        "mqtt_ring_ms_p50": ms(percentile(latency, 50)), "mqtt_ring_ms_p99": ms(percentile(latency, 99)),
        "mqtt_presses": len(opening),
        "mqtt_open_ms_p50": ms(percentile(opening, 50)), "mqtt_open_ms_p99": ms(percentile(opening, 99)),
        "mqtt_cpu_idle_off_percent": cpu_off, "mqtt_cpu_idle_on_percent": cpu_on,
        "mqtt_outage_s": round(outage, 1),
        "mqtt_outage_call_rang": bool(rang and dialled_away),
        "mqtt_reconnect_s": None if back is None else round((back - t_up) / 1e9, 2),
        "mqtt_last_call_after_outage": last_call is not None,
        "mqtt_rings_replayed": replayed,
    }


ROWS = [
    ("MQTT: door calls", "mqtt_rings"),
    ("MQTT: dial -> ring event p50 (ms)", "mqtt_ring_ms_p50"),
    ("MQTT: dial -> ring event p99 (ms)", "mqtt_ring_ms_p99"),
    ("MQTT: open button presses", "mqtt_presses"),
    ("MQTT: press -> poll with the opening p50 (ms)", "mqtt_open_ms_p50"),
    ("MQTT: press -> poll with the opening p99 (ms)", "mqtt_open_ms_p99"),
    ("MQTT: tmx-sip CPU idle without MQTT (%)", "mqtt_cpu_idle_off_percent"),
    ("MQTT: tmx-sip CPU idle with MQTT (%)", "mqtt_cpu_idle_on_percent"),
    ("MQTT: broker outage (s)", "mqtt_outage_s"),
    ("MQTT: door call in the outage rang", "mqtt_outage_call_rang"),
    ("MQTT: reconnected after the broker was back (s)", "mqtt_reconnect_s"),
    ("MQTT: last call told after the outage", "mqtt_last_call_after_outage"),
    ("MQTT: rings of the outage sent late", "mqtt_rings_replayed"),
]
