"""flood: INVITEs at tmx-sip (with the daemon on shield-sim's idle line)
from callers that are not let in, sent by SIPp from 127.0.0.1:5090, while
the allowed caller (caller.py) calls in once a second and is timed.

First 10,000 INVITEs in 10 s from sip:intruder@, which is not allowed, each
401 ACKed (sipp/stranger.xml). Then 10,000 more in 10 s that write the
allowed caller's name in From (sipp/guess.xml): each call's first INVITE is
challenged, the second answers that challenge with a wrong password and is
refused again, so 5,000 answers to be checked. (The password is the same in
every call: SIPp's [authentication] takes no keyword in its password; each
answer is still a digest of its own challenge.) The allowed caller calls in
once more 10 s after each flood. RSS of tmx-sip before, at the end of and
10 s after each flood. Then the daemon is killed (the time until tmx-sip
says it started it again) and tmx-sip gets SIGTERM (the time until it has
exited).

The flood's "seconds" is SIPp's whole run: its start, the sending, and the
last answers, up to 2 s more (its wait for an answer) when some are missing."""

import csv
import os
import re
import socket
import subprocess
import sys
import threading
import time

from .caller import LEGIT_PASSWORD, SIP_TMX, legit_call
from .measure import cpu_seconds, ms, now_ns, peak_rss_kb, percentile, rss_kb
from .processes import start_sim
from .sipkeys import fields, key as log_key

FLOOD_INVITES = 10000
FLOOD_SECONDS = 10.0
SCENARIOS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sipp")


class SippFlood:
    """One flood: SIPp plays `scenario` (INVITEs_per_call INVITEs in each
    call) as `user`, FLOOD_INVITES INVITEs in FLOOD_SECONDS; then what it
    counted."""

    def __init__(self, scenario, user, invites_per_call, workdir):
        self.scenario = os.path.join(SCENARIOS, scenario)
        self.user = user
        self.per_call = invites_per_call
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.seconds = None
        self.status = None

    def run(self):
        calls = FLOOD_INVITES // self.per_call
        rate = calls / FLOOD_SECONDS
        cmd = ["sipp", f"{SIP_TMX[0]}:{SIP_TMX[1]}", "-sf", self.scenario, "-s", self.user,
               "-i", "127.0.0.1", "-p", "5090", "-t", "u1", "-m", str(calls),
               "-r", f"{rate:g}", "-rp", "1000", "-nr", "-buff_size", str(1 << 22), "-recv_timeout", "2000",
               "-cid_str", "flood-%u", "-nostdin", "-trace_stat", "-stf", "stat.csv", "-fd", "60",
               "-trace_counts", "-trace_err", "-error_file", "errors.log"]
        t0 = time.monotonic()
        with open(os.path.join(self.workdir, "sipp.out"), "w") as out:
            self.status = subprocess.run(cmd, cwd=self.workdir, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, timeout=FLOOD_SECONDS * 6 + 60).returncode
        self.seconds = time.monotonic() - t0

    def _last_row(self, suffix):
        names = [n for n in os.listdir(self.workdir) if n.endswith(suffix)]
        if not names:
            raise SystemExit(f"bench: SIPp wrote no {suffix} in {self.workdir} (exit status {self.status})")
        with open(os.path.join(self.workdir, names[0])) as f:
            rows = list(csv.reader(f, delimiter=";"))
        return dict(zip(rows[0], rows[-1]))

    def figures(self):
        """INVITEs sent, 401s received, other answers, calls without an answer."""
        counts = self._last_row("_counts.csv")
        stat = self._last_row("stat.csv")

        def sent(k):
            return int(counts[k]) if counts[k].strip().isdigit() else 0

        def total(pattern):
            return sum(sent(k) for k in counts if re.fullmatch(pattern, k))

        invites = sorted((k for k in counts if re.fullmatch(r"\d+_INVITE_Sent", k)), key=lambda k: int(k.split("_")[0]))
        return {
            "sent": total(r"\d+_INVITE_Sent"),
            "wrong_passwords": sum(sent(k) for k in invites[1:]),
            "refused_401": total(r"\d+_401_Recv"),
            "other": int(stat.get("FailedUnexpectedMessage(C)", 0)),
            "unanswered": int(stat.get("FailedTimeoutOnRecv(C)", 0)),
        }


def flood_phase(sip_pid, legit, first_call, flood):
    """One flood with the allowed caller calling in each second meanwhile and
    once 10 s after: what the flood got, the allowed calls, CPU and RSS."""
    flooding = threading.Thread(target=flood.run, daemon=True)
    rss_before = rss_kb(sip_pid)
    c0 = cpu_seconds(sip_pid)
    t0 = now_ns()
    flooding.start()
    during = []
    n = first_call
    while flooding.is_alive():
        started = time.time()
        during.append(legit_call(legit, n))
        n += 1
        time.sleep(max(0.0, 1.0 - (time.time() - started)))
    flooding.join()
    cpu = (cpu_seconds(sip_pid) - c0) / ((now_ns() - t0) / 1e9)
    rss_end = rss_kb(sip_pid)
    time.sleep(10)
    after = legit_call(legit, n)
    return {
        "flood": flood.figures(), "seconds": flood.seconds,
        "during": during, "after": after, "cpu": cpu, "rss_before": rss_before, "rss_end": rss_end,
        "rss_after": rss_kb(sip_pid), "next_call": n + 1,
    }


def run_flood(args, tmp):
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    if not os.access(sip_bin, os.X_OK):
        raise SystemExit(f"bench: {sip_bin} is missing; build first (./dev bench does)")
    pty_file = os.path.join(tmp, "flood.pty")
    scn = os.path.join(tmp, "flood.scn")
    with open(scn, "w") as f:
        f.write("idle\n")
    conf = os.path.join(tmp, "flood.conf")
    with open(conf, "w") as f:
        f.write(f"listen 127.0.0.1:5060\nallow sip:legit@127.0.0.1 {LEGIT_PASSWORD}\npin 123456\ndaemon {args.driver} -ic 102\n")
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "-s", scn], pty_file)
    err_path = os.path.join(tmp, "flood.err")

    def said(pattern):
        with open(err_path) as f:
            return len(re.findall(pattern, f.read(), re.M))

    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    sip = subprocess.Popen([sip_bin, "--config", conf], env=env, stderr=open(err_path, "w"))
    deadline = time.time() + 30
    while not said(log_key("masks.loaded")):
        if time.time() > deadline:
            raise SystemExit("bench: tmx-sip did not load the daemon's masks")
        time.sleep(0.05)

    legit = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    legit.bind(("127.0.0.1", 5091))
    legit.settimeout(0.2)
    quiet = [legit_call(legit, 0)]
    stranger = flood_phase(sip.pid, legit, 1, SippFlood("stranger.xml", "intruder", 1, os.path.join(tmp, "stranger")))
    spoofer = flood_phase(sip.pid, legit, stranger["next_call"],
                          SippFlood("guess.xml", "legit", 2, os.path.join(tmp, "guess")))
    hwm = peak_rss_kb(sip.pid)
    with open(err_path) as f:
        log = f.read()
    # Calls of the flood that reached PIN entry (none should).
    flood_at_pin = len(re.findall(log_key("callin.answered") + r".*incoming call flood-\d+ from ", log, re.M))
    legit_at_pin = len(re.findall(log_key("callin.answered") + r".*incoming call legit-\d+ from ", log, re.M))

    with open(err_path) as f:
        pid = [fields(line) for line in f if re.search(log_key("started"), line)][-1]["pid"]
    t0 = now_ns()
    os.kill(int(pid), 9)
    restarted = None
    deadline = time.time() + 30
    while time.time() < deadline:
        if said(log_key("daemon.restarted")):
            restarted = (now_ns() - t0) / 1e6
            break
        time.sleep(0.002)
    while not said("masks loaded") >= 2 and time.time() < deadline:
        time.sleep(0.05)
    t0 = now_ns()
    sip.terminate()
    status = sip.wait()
    stopped = (now_ns() - t0) / 1e6
    sim.kill()
    sim.wait()
    legit.close()
    if os.environ.get("BENCH_SIP_LOG"):
        with open(err_path) as f:
            sys.stderr.write(f.read())
    result = {"condition": "flood", "flood_legit_ms_quiet": ms(quiet[0]) if quiet[0] else None}
    for key, phase in (("stranger", stranger), ("spoof", spoofer)):
        answered = [x for x in phase["during"] if x is not None]
        result.update({
            f"{key}_invites": phase["flood"]["sent"],
            f"{key}_seconds": round(phase["seconds"], 1) if phase["seconds"] else None,
            f"{key}_refused_401": phase["flood"]["refused_401"],
            f"{key}_wrong_passwords": phase["flood"]["wrong_passwords"],
            f"{key}_other_replies": phase["flood"]["other"],
            f"{key}_unanswered": phase["flood"]["unanswered"],
            f"{key}_legit_answered": f"{len(phase['during'])}/{len(answered)}",
            f"{key}_legit_ms_p50": ms(percentile(answered, 50)),
            f"{key}_legit_ms_max": ms(max(answered) if answered else None),
            f"{key}_legit_ms_after": ms(phase["after"]) if phase["after"] else None,
            f"{key}_cpu_percent": round(100.0 * phase["cpu"], 1),
            f"{key}_rss_kb_before": phase["rss_before"],
            f"{key}_rss_kb_end": phase["rss_end"],
            f"{key}_rss_kb_10s_after": phase["rss_after"],
        })
    result.update({
        "flood_at_pin_entry": flood_at_pin,
        "legit_at_pin_entry": legit_at_pin,
        "peak_rss_kb": hwm,
        "daemon_restart_ms": round(restarted) if restarted else None,
        "sigterm_exit_ms": round(stopped),
        "sigterm_exit_status": status,
    })
    return result


ROWS = [
    ("SIP flood: allowed caller's answer, quiet (ms)", "flood_legit_ms_quiet"),
]
for _key, _what in (("stranger", "not allowed"), ("spoof", "allowed name, guessed password")):
    ROWS.extend([
        (f"SIP flood, {_what}: INVITEs sent", f"{_key}_invites"),
        (f"SIP flood, {_what}: answers with a wrong password", f"{_key}_wrong_passwords"),
        (f"SIP flood, {_what}: seconds", f"{_key}_seconds"),
        (f"SIP flood, {_what}: refused with 401", f"{_key}_refused_401"),
        (f"SIP flood, {_what}: other answers", f"{_key}_other_replies"),
        (f"SIP flood, {_what}: no answer", f"{_key}_unanswered"),
        (f"SIP flood, {_what}: allowed calls / answered", f"{_key}_legit_answered"),
        (f"SIP flood, {_what}: answer p50 (ms)", f"{_key}_legit_ms_p50"),
        (f"SIP flood, {_what}: answer max (ms)", f"{_key}_legit_ms_max"),
        (f"SIP flood, {_what}: answer after (ms)", f"{_key}_legit_ms_after"),
        (f"SIP flood, {_what}: tmx-sip CPU (%)", f"{_key}_cpu_percent"),
        (f"SIP flood, {_what}: RSS before (kB)", f"{_key}_rss_kb_before"),
        (f"SIP flood, {_what}: RSS at the end (kB)", f"{_key}_rss_kb_end"),
        (f"SIP flood, {_what}: RSS 10 s after (kB)", f"{_key}_rss_kb_10s_after"),
    ])
ROWS.extend([
    ("SIP flood: flood calls at PIN entry", "flood_at_pin_entry"),
    ("SIP flood: allowed calls at PIN entry", "legit_at_pin_entry"),
    ("daemon killed: started again (ms)", "daemon_restart_ms"),
    ("tmx-sip SIGTERM to exit (ms)", "sigterm_exit_ms"),
])

