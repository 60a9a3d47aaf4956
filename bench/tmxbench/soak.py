"""soak: many whole door calls in a row through tmx-sip and the daemon on
shield-sim, with calls in, refusals and MQTT openings between them; the
RSS of both programs every 100 calls.

Each door call: the simulator calls apartment 123 from door 3, tmx-sip rings
the phone (SIPp, sipp/answer.xml on 127.0.0.1:5062), which answers and keys
`#` (INFO); once the door opened, the intercom hangs up. The call is complete
when tmx-sip has seen the door open in it. After every tenth door call
one of these, in turn, while the line is idle: the allowed caller calls in
with the right PIN and opens door 1 (complete when tmx-sip has seen the door
open and hung up); a second allowed caller calls in with a wrong PIN (it
must be hung up on without opening); a caller who is not allowed sends an
INVITE (it must be refused); the open button of door unit 1 is pressed over
MQTT (mosquitto on 127.0.0.1, a free port; complete when tmx-sip has seen the
door open). Every 100 door calls: the RSS of tmx-sip and of the daemon, and
tmx-sip's own figures (SIGUSR1: heap in use, free in it, descriptors).

BENCH_SOAK_SETTLE=S: before each sample the line stays idle S seconds more,
so that the transactions libre keeps for 32 s after a call are gone (45 is
enough); the heap in use then shows only what calls left behind.
BENCH_SIP_WRAP="heaptrack -o FILE" (or valgrind ...): tmx-sip runs under
that command; signals and figures go to tmx-sip itself.
BENCH_SIM_TRACE=FILE: the simulator keeps its trace of every byte on the
serial line in FILE, so that a call that did not complete can be read back.

N is 2,000 door calls with `--only soak` alone and no `--seconds`; else one
per 0.3 s of `--seconds` (200 for the 60 s of `./dev bench`). A door call
takes about 3 s, most of it the daemon's polls: ringing, the pickup, the door,
the intercom's hang-up and the idle line each wait for one or two.
"""

import itertools
import os
import re
import signal
import socket
import subprocess
import sys
import time

from .caller import SIP_TMX, digest_answer, replies, sdp_offer, sip_header, sip_request, sip_status
from .flood import SCENARIOS
from .measure import cpu_seconds, rss_kb, rss_parts_kb
from .processes import start_sim
from .sipkeys import fields, key as log_key

SOAK_CALLS = 2000
SECONDS_PER_CALL = 0.3
SAMPLE_EVERY = 100
EXTRA_EVERY = 10
EXTRAS = ("right_pin", "wrong_pin", "refused", "mqtt")
PHONE = ("127.0.0.1", 5062)
CALLER_PORT = 5091
PIN = "246813"
PASSWORD = "soak-secret"


def child_named(proc, name):
    """The pid of `name` started by `proc` (a wrapper's child), else proc's."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            comm, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
            if comm == name and int(rest[1]) == proc.pid:
                return int(entry)
    return proc.pid


def soak_calls(args):
    if args.seconds_given or args.only.split(",") != ["soak"]:
        return max(1, round(args.seconds / SECONDS_PER_CALL))
    return SOAK_CALLS


class Log:
    """tmx-sip's standard error, read as it grows."""

    def __init__(self, path):
        self.path = path
        self.f = None
        self.lines = []
        self.partial = ""
        self.found = {}

    def poll(self):
        if self.f is None:
            self.f = open(self.path)
        chunk = self.f.read()
        if chunk:
            text = self.partial + chunk
            *done, self.partial = text.split("\n")
            self.lines.extend(done)

    def count(self, pattern, since=0):
        return sum(1 for line in self.lines[since:] if re.search(pattern, line))

    def where(self, pattern):
        """The indices of the lines that match, kept up to date as the log
        grows."""
        at, found = self.found.setdefault(pattern, (0, []))
        found.extend(i for i in range(at, len(self.lines)) if re.search(pattern, self.lines[i]))
        self.found[pattern] = (len(self.lines), found)
        return found

    def wait_nth(self, pattern, n, since, seconds):
        """The index of the n-th line (from 1) after line `since` that
        matches, once there is one; None after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            self.poll()
            after = [i for i in self.where(pattern) if i >= since]
            if len(after) >= n:
                return after[n - 1]
            if time.monotonic() > deadline:
                return None
            time.sleep(0.01)

    def wait(self, pattern, since, seconds):
        """True once a line after line `since` matches."""
        deadline = time.monotonic() + seconds
        while True:
            self.poll()
            if self.count(pattern, since):
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)


def call_in(sock, n, user, keys):
    """A call in from `user`, who answers the challenge and keys `keys`
    (INFO): the BYE tmx-sip sends at the end (answered 200), or None."""
    extra, body = sdp_offer(40002)
    uri = f"sip:intercom@{SIP_TMX[0]}:{SIP_TMX[1]}"
    cid = f"soak-{user}-{n}"
    tag = f"s{n}"
    cseq = 1
    sock.sendto(sip_request("INVITE", uri, user, CALLER_PORT, f"i{n}", tag, cid, cseq, extra=extra, body=body),
                SIP_TMX)
    ok = None
    for data in replies(sock, lambda d: sip_header(d, b"call-id") == cid and sip_header(d, b"cseq") == f"{cseq} INVITE"):
        code = sip_status(data)
        if code == 401 and cseq == 1:
            cseq = 2
            auth = digest_answer(sip_header(data, b"www-authenticate"), user, PASSWORD, uri)
            sock.sendto(sip_request("INVITE", uri, user, CALLER_PORT, f"j{n}", tag, cid, cseq,
                                    extra=extra + f"Authorization: {auth}\r\n", body=body), SIP_TMX)
            continue
        if code and code >= 200:
            ok = data if code == 200 else None
            break
    if ok is None:
        return None
    to_tag = sip_header(ok, b"to").partition(";tag=")[2]
    contact = sip_header(ok, b"contact").strip("<>").split(";")[0].split(">")[0]
    sock.sendto(sip_request("ACK", contact, user, CALLER_PORT, f"a{n}", tag, cid, cseq, to_tag), SIP_TMX)
    bye = []
    for k, key in enumerate(keys):
        info = sip_request("INFO", contact, user, CALLER_PORT, f"k{n}x{k}", tag, cid, cseq + 1 + k, to_tag,
                           extra="Content-Type: application/dtmf-relay\r\n", body=f"Signal={key}\r\nDuration=100\r\n")
        sock.sendto(info, SIP_TMX)
        # tmx-sip's BYE may come before the answer to the last key.
        for data in replies(sock, lambda d: sip_header(d, b"call-id") == cid
                            and (d.startswith(b"BYE ") or sip_header(d, b"cseq").endswith("INFO"))):
            if data.startswith(b"BYE "):
                bye.append(data)
            else:
                break
    for data in bye or itertools.islice(replies(sock, lambda d: sip_header(d, b"call-id") == cid
                                                and d.startswith(b"BYE "), seconds=10), 1):
        head = data.split(b"\r\n\r\n", 1)[0].decode(errors="replace").split("\r\n")
        keep = [h for h in head[1:] if h.split(":", 1)[0].lower() in ("via", "from", "to", "call-id", "cseq")]
        sock.sendto(("SIP/2.0 200 OK\r\n" + "\r\n".join(keep) + "\r\nContent-Length: 0\r\n\r\n").encode(), SIP_TMX)
        return data
    return None


def refused_invite(sock, n):
    """An INVITE from a caller who is not allowed: True when refused."""
    extra, body = sdp_offer(40002)
    uri = f"sip:intercom@{SIP_TMX[0]}:{SIP_TMX[1]}"
    cid = f"soak-stranger-{n}"
    sock.sendto(sip_request("INVITE", uri, "stranger", CALLER_PORT, f"x{n}", f"x{n}", cid, 1, extra=extra, body=body),
                SIP_TMX)
    for data in replies(sock, lambda d: sip_header(d, b"call-id") == cid):
        code = sip_status(data)
        if code and code >= 200:
            sock.sendto(sip_request("ACK", uri, "stranger", CALLER_PORT, f"x{n}", f"x{n}", cid, 1,
                                    sip_header(data, b"to").partition(";tag=")[2]), SIP_TMX)
            return code in (401, 403)
    return False


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start_broker(tmp):
    port = free_port()
    conf = os.path.join(tmp, "soak-mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return broker, port
        except OSError:
            if broker.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("bench: mosquitto did not start")
            time.sleep(0.05)


def run_soak(args, tmp):
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    if not os.access(sip_bin, os.X_OK):
        raise SystemExit(f"bench: {sip_bin} is missing; build first (./dev bench does)")
    n_calls = soak_calls(args)
    settle = float(os.environ.get("BENCH_SOAK_SETTLE", "0"))
    pty_file = os.path.join(tmp, "soak.pty")
    scn = os.path.join(tmp, "soak.scn")
    # After each door call the line stays idle until the daemon has seen it
    # (wait polls); after an extra, for a while (longer for one that opens a
    # door: the one-time opening waits for the daemon to leave the call).
    with open(scn, "w") as f:
        f.write("wait polls 3 30s\n")
        for i in range(1, n_calls + 1):
            f.write("call 123 from 3\nwait open 10s\nhangup\nwait polls 4 5s\n")
            if i % EXTRA_EVERY == 0:
                opens = EXTRAS[(i // EXTRA_EVERY - 1) % len(EXTRAS)] in ("right_pin", "mqtt")
                idle = 8 if opens else 3
                if settle and i % SAMPLE_EVERY == 0:
                    idle += settle + 10
                f.write(f"idle {idle:g}s\n")
        f.write("idle\n")
    broker, mqtt_port = start_broker(tmp)
    conf = os.path.join(tmp, "soak.conf")
    with open(conf, "w") as f:
        f.write(f"listen {SIP_TMX[0]}:{SIP_TMX[1]}\napartment 123 sip:soak@{PHONE[0]}:{PHONE[1]}\n"
                f"daemon {args.driver} -ic 102\nallow sip:legit@127.0.0.1 {PASSWORD}\n"
                f"allow sip:guesser@127.0.0.1 {PASSWORD}\npin {PIN}\npin_lockout 1\npin_budget 1000\n"
                f"mqtt_broker mqtt://127.0.0.1:{mqtt_port}\nmqtt_topic soak\nmqtt_discovery off\n")
    err_path = os.path.join(tmp, "soak.err")
    trace = os.environ.get("BENCH_SIM_TRACE")
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "-s", scn] + (["--trace", trace] if trace else []),
                         pty_file)
    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    wrap = os.environ.get("BENCH_SIP_WRAP", "").split()
    sip = subprocess.Popen(wrap + [sip_bin, "--config", conf], env=env, stderr=open(err_path, "w"))
    log = Log(err_path)
    if not log.wait(log_key("masks.loaded"), 0, 30):
        raise SystemExit("bench: tmx-sip did not load the daemon's masks")
    sip_pid = child_named(sip, "tmx-sip") if wrap else sip.pid
    daemon_pid = int([fields(line) for line in log.lines if re.search(log_key("started"), line)][-1]["pid"])
    phone_dir = os.path.join(tmp, "soak-phone")
    os.makedirs(phone_dir, exist_ok=True)
    phone = subprocess.Popen(["sipp", "-sf", os.path.join(SCENARIOS, "answer.xml"), "-i", PHONE[0], "-p", str(PHONE[1]),
                              "-mi", PHONE[0], "-mp", "16000", "-t", "u1", "-m", str(n_calls), "-nostdin",
                              "-trace_err", "-error_file", "errors.log"],
                             cwd=phone_dir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    # The line as tmx-sip publishes it: an extra starts once it is idle.
    events = Log(os.path.join(tmp, "soak-mqtt.txt"))
    watcher = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-v", "-t", "soak/line",
                                "-t", "soak/event/door_opened"], stdout=open(events.path, "w"), stderr=subprocess.DEVNULL)

    def line_idle():
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            events.poll()
            state = [x for x in events.lines if x.startswith("soak/line ")]
            if state and state[-1] == "soak/line idle":
                return True
            time.sleep(0.01)
        return False

    caller = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    caller.bind(("127.0.0.1", CALLER_PORT))
    caller.settimeout(0.2)

    samples = []

    def sample(calls):
        if settle:
            time.sleep(settle)
        mark = len(log.lines)
        os.kill(sip_pid, signal.SIGUSR1)
        log.wait(log_key("memory"), mark, 5)
        m = next((fields(line) for line in log.lines[mark:] if re.search(log_key("memory"), line)), None)
        # The simulator may be a call or two ahead of this loop.
        rang = log.count(log_key("call.placed"))
        sip_anon, sip_file = rss_parts_kb(sip_pid)
        daemon_anon, daemon_file = rss_parts_kb(daemon_pid)
        samples.append({"calls": calls, "calls_rung": rang, "sip_rss_kb": rss_kb(sip_pid),
                        "sip_anon_kb": sip_anon, "sip_file_kb": sip_file,
                        "daemon_rss_kb": rss_kb(daemon_pid), "daemon_anon_kb": daemon_anon,
                        "daemon_file_kb": daemon_file,
                        "sip_heap_in_use": int(m["heap"]) if m else None,
                        "sip_heap_free": int(m["heap_free"]) if m else None,
                        "sip_descriptors": int(m["fds"]) if m else None})
        print(f"bench: soak {samples[-1]}", file=sys.stderr)

    extras = {"right_pin": [0, 0], "wrong_pin": [0, 0], "refused": [0, 0], "mqtt": [0, 0]}
    incomplete = 0
    t0 = time.monotonic()
    cpu0 = cpu_seconds(sip_pid)
    mark = 0
    call_end = f"{log_key('door.drop')}|{log_key('intercom.ended')}"
    for i in range(1, n_calls + 1):
        # The i-th door call runs from tmx-sip's i-th ringing of the phone to
        # the end of that call; it is complete when the door opened in it.
        # Counting the ringings keeps this loop on the simulator's call even
        # after one that went wrong.
        start = log.wait_nth(log_key("call.placed"), i, 0, 30)
        end = None if start is None else log.wait_nth(call_end, 1, start, 30)
        opened = None if end is None else log.wait_nth(log_key("door.confirmed"), 1, start, 0)
        if opened is None or opened > end:
            incomplete += 1
            print(f"bench: soak: door call {i} incomplete", file=sys.stderr)
        log.poll()
        mark = len(log.lines) if end is None else end + 1
        if i % EXTRA_EVERY == 0:
            kind = EXTRAS[(i // EXTRA_EVERY - 1) % len(EXTRAS)]
            extras[kind][0] += 1
            line_idle()
            if kind in ("right_pin", "mqtt"):
                # The daemon takes a few polls to take the line for idle
                # after tmx-sip's drop; an opening before that is taken for
                # the call that was (and the line no longer has it).
                time.sleep(2)
            events.poll()
            opened = events.count(r"^soak/event/door_opened .*mqtt")
            if kind == "right_pin":
                bye = call_in(caller, i, "legit", PIN + "#1")
                good = bye is not None and log.wait(log_key("door.confirmed"), mark, 5)
            elif kind == "wrong_pin":
                bye = call_in(caller, i, "guesser", "135799#")
                good = (bye is not None and log.wait(log_key("pin.wrong"), mark, 5)
                        and not log.count(log_key("door.open"), mark) and not log.count(log_key("door.confirmed"), mark))
            elif kind == "refused":
                good = refused_invite(caller, i)
            else:
                subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-t", "soak/cmd/open_unit",
                                "-m", "1"], check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 10
                while events.count(r"^soak/event/door_opened .*mqtt") <= opened and time.monotonic() < deadline:
                    time.sleep(0.01)
                    events.poll()
                good = events.count(r"^soak/event/door_opened .*mqtt") > opened
            if good:
                extras[kind][1] += 1
            log.poll()
            mark = len(log.lines)
        if i % SAMPLE_EVERY == 0:
            sample(i)
    seconds = time.monotonic() - t0
    cpu = cpu_seconds(sip_pid) - cpu0
    try:
        phone.wait(timeout=30)
    except subprocess.TimeoutExpired:
        phone.kill()
        phone.wait()
    os.kill(sip_pid, signal.SIGTERM)
    sip.wait()
    sim.kill()
    sim.wait()
    watcher.kill()
    watcher.wait()
    broker.kill()
    broker.wait()
    caller.close()
    if os.environ.get("BENCH_SIP_LOG"):
        with open(err_path) as f:
            sys.stderr.write(f.read())
    result = {"condition": "soak", "soak_calls": n_calls, "soak_seconds": round(seconds),
              "soak_incomplete": incomplete, "soak_samples": samples,
              "soak_sip_cpu_ms_per_call": round(1000 * cpu / n_calls, 1)}
    for kind, (tried, done) in extras.items():
        result[f"soak_{kind}"] = f"{done}/{tried}"
    first = next((s for s in samples if s["calls"] == SAMPLE_EVERY), None)
    last = samples[-1] if samples else None
    if first and last:
        for who in ("sip", "daemon"):
            result[f"soak_{who}_rss_kb_first"] = first[f"{who}_rss_kb"]
            result[f"soak_{who}_rss_kb_last"] = last[f"{who}_rss_kb"]
            result[f"soak_{who}_rss_growth_kb"] = last[f"{who}_rss_kb"] - first[f"{who}_rss_kb"]
            for part in ("anon", "file"):
                if first[f"{who}_{part}_kb"] is not None and last[f"{who}_{part}_kb"] is not None:
                    result[f"soak_{who}_{part}_growth_kb"] = last[f"{who}_{part}_kb"] - first[f"{who}_{part}_kb"]
    return result


ROWS = [
    ("soak: door calls", "soak_calls"),
    ("soak: seconds", "soak_seconds"),
    ("soak: door calls not complete", "soak_incomplete"),
    ("soak: tmx-sip CPU per door call, extras included (ms)", "soak_sip_cpu_ms_per_call"),
    ("soak: right PIN, door opened / tried", "soak_right_pin"),
    ("soak: wrong PIN, hung up, door shut / tried", "soak_wrong_pin"),
    ("soak: caller not allowed, refused / tried", "soak_refused"),
    ("soak: MQTT open button, opened / tried", "soak_mqtt"),
    ("soak: tmx-sip RSS after 100 calls (kB)", "soak_sip_rss_kb_first"),
    ("soak: tmx-sip RSS at the end (kB)", "soak_sip_rss_kb_last"),
    ("soak: tmx-sip RSS growth after call 100 (kB)", "soak_sip_rss_growth_kb"),
    ("soak: tmx-sip growth of it in anonymous memory (kB)", "soak_sip_anon_growth_kb"),
    ("soak: tmx-sip growth of it in pages of files (kB)", "soak_sip_file_growth_kb"),
    ("soak: daemon RSS after 100 calls (kB)", "soak_daemon_rss_kb_first"),
    ("soak: daemon RSS at the end (kB)", "soak_daemon_rss_kb_last"),
    ("soak: daemon RSS growth after call 100 (kB)", "soak_daemon_rss_growth_kb"),
    ("soak: daemon growth of it in anonymous memory (kB)", "soak_daemon_anon_growth_kb"),
    ("soak: daemon growth of it in pages of files (kB)", "soak_daemon_file_growth_kb"),
]
