#!/usr/bin/env python3
"""Benchmark of the driver's real-time paths.

Runs the real tmx-driver against shield-sim on a pty (stand-in board library in
loopback, with its transfer trace), plays the telephony side on the daemon's
standard input/output, lets the simulator's audio peer play its audio
(numbered frames to 20003, back from 20002, each one a line of the
simulator's trace, which this reads), and measures these conditions:

  idle    the line idle, nothing sent;
  loaded  calls in progress, numbered audio frames at 62.5/s, a console line
          every 10 ms, the serial trace flowing to 20004;
  drift   as loaded, with the audio sender 1 % fast (63.125 frames/s);
  noisy   repeated calls with a stray packet every few seconds and short bursts
          of a babbling line (10 bytes every 0.8 ms), then the same babble
          without a pause for as long again: event latency per 10 s, the lag
          of the serial trace on 20004, RSS at start and end;
  sip     a call through tmx-sip to a phone played here, then one more with
          encrypted audio (srtp mandatory; see run_sip);
  flood   10,000 INVITEs in 10 s at tmx-sip from a caller not allowed, then
          10,000 that write the allowed caller's name in From and answer the
          challenge with guessed passwords, with the allowed caller (who
          knows its password) calling in each second meanwhile; then the
          daemon killed and tmx-sip stopped (see run_flood).

Prints one table and writes the same figures as JSON. The audio-* conditions
(--only audio for all five) are described with their code below.

    bench/bench.py [--seconds 60] [--build build] [--json bench-results.json]
                   [--only idle,loaded,drift,noisy,sip,flood,audio] [--today]
"""

import argparse
import base64
import collections
import hashlib
import hmac
import json
import os
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from urllib.parse import unquote

FRAME = 256
TICK_NS = 16_000_000
LOG_PORT = ("127.0.0.1", 20004)


def now_ns():
    return time.monotonic_ns()


def percentile(values, p):
    if not values:
        return None
    s = sorted(values)
    k = min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))
    return s[k]


def audio_options(rate=62.5, burst=1, jitter_ms=0, hiccup=None, seconds=0):
    """shield-sim's options for its audio peer, which plays the telephony side."""
    opts = ["--audio", "--audio-rate", f"{rate:g}", "--audio-burst", str(burst),
            "--audio-jitter", str(jitter_ms), "--audio-seconds", f"{seconds:g}"]
    if hiccup:
        opts += ["--audio-hiccup", hiccup]
    return opts


def read_audio(events):
    """The audio peer's frames from the simulator's trace.

    Returns (datagrams, returned, figures): datagrams as (send ns, first
    sequence number, frames) in the order sent, returned as {seq: ns of its
    first return}, and what came back twice, out of order or broken."""
    datagrams = []
    returned = {}
    order = []
    duplicated = corrupted = 0
    last_dgram = None
    for ts, kind, fields in events:
        if kind == "audio-tx":
            seq = int(fields["seq"])
            if fields.get("dgram") != last_dgram:
                last_dgram = fields.get("dgram")
                datagrams.append([ts, seq, 0])
            datagrams[-1][2] += 1
        elif kind == "audio-rx":
            seq = int(fields["seq"])
            if seq in returned:
                duplicated += 1
            else:
                returned[seq] = ts
                order.append(seq)
        elif kind == "audio-rx-bad":
            corrupted += 1
    reordered = sum(1 for a, b in zip(order, order[1:]) if b < a)
    return ([tuple(d) for d in datagrams], returned,
            {"duplicated": duplicated, "reordered": reordered, "corrupted": corrupted})


def audio_figures(events, t_from, t_to):
    """Frames sent from t_from to t_to: how many came back and how late."""
    datagrams, returned, figures = read_audio(events)
    sent = [(t, first + k) for t, first, count in datagrams if t_from <= t <= t_to for k in range(count)]
    latency = [(returned[seq], returned[seq] - t) for t, seq in sent if seq in returned]
    lat = [l for _, l in latency]
    figures.update({
        "sent": len(sent),
        "returned": len(latency),
        "lost": len(sent) - len(latency),
        "latency_ms_p50": ms(percentile(lat, 50)),
        "latency_ms_p99": ms(percentile(lat, 99)),
        "latency_ms_max": ms(max(lat) if lat else None),
    })
    # Queue depth seen by the frames: their delay in ticks, per 5 s window.
    windows = {}
    for t, l in latency:
        w = int((t - t_from) / 5e9)
        windows[w] = max(windows.get(w, 0), l)
    figures["queue_depth_frames_per_5s"] = [round(windows[w] / TICK_NS, 1) for w in sorted(windows)]
    return figures


def ms(ns):
    return None if ns is None else round(ns / 1e6, 3)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def read_spi_trace(path, t_from, t_to):
    times = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 4 and parts[0] == "xfer":
                t = int(parts[1])
                if t_from <= t <= t_to:
                    times.append(t)
    periods = [b - a for a, b in zip(times, times[1:])]
    dev = [abs(p - TICK_NS) for p in periods]
    missed = sum(max(0, int(round(p / TICK_NS)) - 1) for p in periods)
    return {
        "transfers": len(times),
        "period_ms_mean": ms(statistics.mean(periods)) if periods else None,
        "dev_ms_p50": ms(percentile(dev, 50)),
        "dev_ms_p99": ms(percentile(dev, 99)),
        "dev_ms_max": ms(max(dev) if dev else None),
        "missed_ticks": missed,
    }


def read_sim_trace(path):
    events = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 2 or not parts[0].isdigit():
                continue
            # Values are percent-encoded, so every line splits on blanks.
            fields = {k: unquote(v) for k, v in (p.split("=", 1) for p in parts[2:] if "=" in p)}
            events.append((int(parts[0]), parts[1], fields))
    return events


def poll_period(events, t_from, t_to):
    t = [ts for ts, kind, _ in events if kind == "rx-poll" and t_from <= ts <= t_to]
    periods = [b - a for a, b in zip(t, t[1:])]
    return {
        "polls": len(t),
        "poll_period_ms_mean": ms(statistics.mean(periods)) if periods else None,
        "poll_period_ms_max": ms(max(periods)) if periods else None,
    }


def status_of(fields):
    return int(fields.get("status", "0"), 0)


def event_sources(events):
    """Times of the answers that should each produce an event line."""
    sources = {"dial": [], "pickup": [], "open": [], "drop": []}
    prev = 0x01
    for ts, kind, fields in events:
        if kind != "tx-answer":
            continue
        st = status_of(fields)
        if st & 0x02 and not prev & 0x02:
            sources["dial"].append(ts)
        if st & 0x08 and not prev & 0x08:
            sources["pickup"].append(ts)
        if st & 0x20:
            sources["open"].append(ts)
        if st & 0x10 and not prev & 0x10:
            sources["drop"].append(ts)
        prev = st
    return sources


def event_latency(events, lines):
    sources = event_sources(events)
    lat = []
    for name in sources:
        seen = [t for t, text in lines if text.split(" ")[0] == name]
        for line_t in seen:
            before = [s for s in sources[name] if s <= line_t]
            if before:
                lat.append(line_t - before[-1])
    return {
        "events": len(lat),
        "event_latency_ms_p50": ms(percentile(lat, 50)),
        "event_latency_ms_max": ms(max(lat) if lat else None),
    }


def call_loop_scenario(calls):
    steps = ["idle 1s"]
    for _ in range(calls):
        steps += ["call 123 from 3", "wait pickup 10s", "wait open 10s",
                  "wait drop 10s", "hangup", "idle 2s"]
    return "\n".join(steps) + "\n"


class Telephony:
    """The daemon's standard output reader and the scripted answers."""

    def __init__(self, proc, console_lines):
        self.proc = proc
        self.lines = []
        self.console_lines = console_lines
        self.stop = False
        self.lock = threading.Lock()
        self.ready = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.ticker = threading.Thread(target=self._tick, daemon=True)
        self.pending = []   # (due_ns, line)

    def start(self):
        self.reader.start()
        self.ticker.start()

    def write(self, line):
        with self.lock:
            try:
                self.proc.stdin.write((line + "\n").encode())
                self.proc.stdin.flush()
            except BrokenPipeError:
                pass

    def later(self, seconds, line):
        with self.lock:
            self.pending.append((now_ns() + int(seconds * 1e9), line))

    def _read(self):
        for raw in self.proc.stdout:
            t = now_ns()
            text = raw.decode(errors="replace").rstrip("\n")
            self.lines.append((t, text))
            if text == "shield_ready":
                self.ready.set()
            word = text.split(" ")[0]
            if word == "dial":
                self.write("pickup")
            elif word == "pickup":
                self.later(2.0, "open")
            elif word == "open":
                self.later(1.0, "drop")

    def _tick(self):
        t0 = now_ns()
        n = 0
        while not self.stop:
            n += 1
            due = t0 + n * 10_000_000
            wait = due - now_ns()
            if wait > 0:
                time.sleep(wait / 1e9)
            with self.lock:
                ready = [p for p in self.pending if p[0] <= now_ns()]
                self.pending = [p for p in self.pending if p[0] > now_ns()]
            for _, line in ready:
                self.write(line)
            if self.console_lines:
                self.write("dial 5")


def start_sim(cmd, pty_file):
    """Starts shield-sim and waits for the pty it names in pty_file."""
    sim = subprocess.Popen(cmd)
    deadline = time.time() + 10
    while not (os.path.exists(pty_file) and os.path.getsize(pty_file) > 0):
        if sim.poll() is not None or time.time() > deadline:
            raise SystemExit("bench: shield-sim did not report its pty")
        time.sleep(0.05)
    with open(pty_file) as f:
        return sim, f.read().strip()


def start_daemon(args, env, stderr, console_lines=False):
    """Starts the daemon with the telephony side on its standard streams and
    waits for its banner."""
    daemon = subprocess.Popen([args.driver, "-ic", "102"], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=stderr)
    tel = Telephony(daemon, console_lines=console_lines)
    tel.start()
    if not tel.ready.wait(15):
        raise SystemExit("bench: the daemon did not come up")
    return daemon, tel


def run_condition(name, args, tmp):
    loaded = name in ("loaded", "drift")
    rate = {"idle": 0.0, "loaded": 62.5, "drift": 63.125}[name]
    pty_file = os.path.join(tmp, f"{name}.pty")
    sim_trace = os.path.join(tmp, f"{name}.sim")
    spi_trace = os.path.join(tmp, f"{name}.spi")
    sim_cmd = [args.sim, "-q", "--pty-file", pty_file, "--trace", sim_trace]
    if loaded:
        sim_cmd += audio_options(rate)
        scn = os.path.join(tmp, f"{name}.scn")
        with open(scn, "w") as f:
            f.write(call_loop_scenario(int(args.seconds / 4) + 5))
        sim_cmd += ["-s", scn]
    sim, pty = start_sim(sim_cmd, pty_file)

    log_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    log_sock.bind(LOG_PORT)
    log_sock.setblocking(False)

    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI_TRACE=spi_trace,
               LORENTAK_SPI="loopback")
    daemon, tel = start_daemon(args, env, subprocess.DEVNULL, console_lines=loaded)
    time.sleep(1.0)  # let the first exchanges settle before measuring

    log_count = 0
    t_from = now_ns()
    cpu_from = cpu_seconds(daemon.pid)
    end = time.time() + args.seconds
    depth = []
    while time.time() < end:
        r, _, _ = select.select([log_sock], [], [], 0.2)
        while r:
            try:
                log_sock.recv(4096)
                log_count += 1
            except BlockingIOError:
                break
    t_to = now_ns()
    cpu = cpu_seconds(daemon.pid) - cpu_from
    rss = peak_rss_kb(daemon.pid)
    time.sleep(1.0)  # let the last frames come back
    tel.stop = True
    daemon.kill()
    daemon.wait()
    sim.kill()
    sim.wait()
    log_sock.close()

    result = {"condition": name, "seconds": args.seconds}
    result.update(read_spi_trace(spi_trace, t_from, t_to))
    sim_events = read_sim_trace(sim_trace)
    if loaded:
        result.update(audio_figures(sim_events, t_from, t_to))
    result.update(poll_period(sim_events, t_from, t_to))
    result.update(event_latency(sim_events, [(t, s) for t, s in tel.lines if t_from <= t <= t_to]))
    result["cpu_percent_of_core"] = round(100.0 * cpu / ((t_to - t_from) / 1e9), 2)
    result["peak_rss_kb"] = rss
    result["log_datagrams"] = log_count
    return result


# --- sip: a call through tmx-sip -------------------------------------------
# tmx-sip runs the daemon (shield-sim's pty, stand-in SPI in loopback) and
# calls a small phone here, which answers with SDP for PCMU and sends numbered
# RTP packets: each payload starts with a sync pattern and the packet's number
# in G.711 codes that survive decoding and encoding unchanged. The daemon's
# loopback sends the audio back, tmx-sip packs it into its own packets, and
# the phone finds the numbers in what comes back: the round trip that tmx-sip
# and the daemon add. CPU of tmx-sip alone (not the daemon): idle before the
# call, and in the call.

SIP_PHONE = ("127.0.0.1", 5062)
SIP_SYNC = bytes([0x90, 0xA0, 0xB0, 0x98, 0xA8, 0xB8, 0x94, 0xA4])
SIP_QUIET = 0xEF


def sip_payload(seq):
    digits = bytes(0xC0 | ((seq >> s) & 0xF) for s in (12, 8, 4, 0))
    body = SIP_SYNC + digits
    return body + bytes([SIP_QUIET]) * (160 - len(body))


class Srtp:
    """One direction of SRTP with AES_CM_128_HMAC_SHA1_80 (RFC 3711): key
    derivation, counter-mode encryption of the payload, the 80-bit tag. The
    phone's side of the encrypted call; AES is the cryptography package's
    (Debian's python3-cryptography)."""

    def __init__(self, master):
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        self._cipher = lambda key, iv: Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
        key, salt = master[:16], master[16:30]

        def derive(label, n):
            x = bytearray(salt)
            x[7] ^= label
            return self._cipher(key, bytes(x) + b"\0\0").update(bytes(n))

        self.k_e, self.k_a, self.k_s = derive(0, 16), derive(1, 20), derive(2, 14)
        self.roc = 0
        self.last = None

    def _keystream_xor(self, ssrc, index, payload):
        iv = int.from_bytes(self.k_s, "big") << 16 ^ ssrc << 64 ^ index << 16
        return self._cipher(self.k_e, iv.to_bytes(16, "big")).update(payload)

    def _tag(self, data, roc):
        return hmac.new(self.k_a, data + roc.to_bytes(4, "big"), hashlib.sha1).digest()[:10]

    def protect(self, packet):
        seq, ssrc = struct.unpack("!H4xI", packet[2:12])
        if self.last is not None and seq < self.last:
            self.roc += 1
        self.last = seq
        out = packet[:12] + self._keystream_xor(ssrc, (self.roc << 16) | seq, packet[12:])
        return out + self._tag(out, self.roc)

    def unprotect(self, packet):
        """The plain packet, or None when it fails authentication."""
        if len(packet) < 22:
            return None
        seq, ssrc = struct.unpack("!H4xI", packet[2:12])
        roc = self.roc
        if self.last is not None and seq < self.last and self.last - seq > 32768:
            roc += 1
        body, tag = packet[:-10], packet[-10:]
        if not hmac.compare_digest(self._tag(body, roc), tag):
            return None
        if self.last is None or roc > self.roc or seq > self.last:
            self.roc, self.last = roc, seq
        return body[:12] + self._keystream_xor(ssrc, (roc << 16) | seq, body[12:])


SRTP_SUITE = "AES_CM_128_HMAC_SHA1_80"


class SipPhone:
    """Answers one INVITE, plays numbered RTP, finds the numbers coming back;
    with srtp, over SRTP with keys exchanged in the SDP."""

    def __init__(self, srtp=False):
        self.srtp = srtp
        self.tx = self.rx = None
        self.sip = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sip.bind(SIP_PHONE)
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind(("127.0.0.1", 0))
        self.rtp.settimeout(0.2)
        self.invite = None
        self.peer_rtp = None
        self.sent = {}          # seq -> send ns
        self.latency = []
        self.stream = b""
        self.running = False
        self.established = threading.Event()
        self.failed = 0         # packets back that failed authentication

    @staticmethod
    def headers(msg):
        head = msg.split("\r\n\r\n", 1)[0].split("\r\n")
        out = {}
        for line in head[1:]:
            k, _, v = line.partition(":")
            out.setdefault(k.strip().lower(), []).append(v.strip())
        return head[0], out

    def answer(self):
        """Waits for the INVITE and answers 200 OK; returns once ACKed."""
        self.sip.settimeout(120)
        while True:
            data, addr = self.sip.recvfrom(65535)
            text = data.decode(errors="replace")
            first, h = self.headers(text)
            if first.startswith("INVITE "):
                break
        self.invite = (first, h, addr)
        body = text.split("\r\n\r\n", 1)[1]
        ip = [l[9:].strip() for l in body.split("\r\n") if l.startswith("c=IN IP4 ")][0]
        port = [int(l.split()[1]) for l in body.split("\r\n") if l.startswith("m=audio ")][0]
        self.peer_rtp = (ip, port)
        lport = self.rtp.getsockname()[1]
        crypto = ""
        if self.srtp:
            offered = [l.split(":", 1)[1].split() for l in body.split("\r\n") if l.startswith("a=crypto:")]
            tag, _, key = next(c for c in offered if c[1] == SRTP_SUITE)
            self.rx = Srtp(base64.b64decode(key[len("inline:"):].split("|")[0]))
            ours = os.urandom(30)
            self.tx = Srtp(ours)
            crypto = f"a=crypto:{tag} {SRTP_SUITE} inline:{base64.b64encode(ours).decode()}\r\n"
        sdp = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
               f"m=audio {lport} RTP/{'SAVP' if self.srtp else 'AVP'} 0\r\na=rtpmap:0 PCMU/8000\r\na=ptime:20\r\n"
               + crypto)
        to = h["to"][0] + ";tag=bench1"
        self.to = to
        resp = ("SIP/2.0 200 OK\r\n" + "".join(f"Via: {v}\r\n" for v in h["via"]) +
                f"From: {h['from'][0]}\r\nTo: {to}\r\nCall-ID: {h['call-id'][0]}\r\n"
                f"CSeq: {h['cseq'][0]}\r\nContact: <sip:bench@{SIP_PHONE[0]}:{SIP_PHONE[1]}>\r\n"
                f"Content-Type: application/sdp\r\nContent-Length: {len(sdp)}\r\n\r\n{sdp}")
        self.sip.sendto(resp.encode(), addr)
        while True:
            data, _ = self.sip.recvfrom(65535)
            if data.startswith(b"ACK "):
                break
        self.established.set()

    def hang_up(self):
        first, h, addr = self.invite
        contact = h["contact"][0].strip("<>").split(";")[0]
        bye = (f"BYE {contact} SIP/2.0\r\nVia: SIP/2.0/UDP {SIP_PHONE[0]}:{SIP_PHONE[1]};branch=z9hG4bKbench2\r\n"
               f"From: {self.to}\r\nTo: {h['from'][0]}\r\nCall-ID: {h['call-id'][0]}\r\n"
               f"CSeq: 1 BYE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n")
        self.sip.settimeout(5)
        self.sip.sendto(bye.encode(), addr)
        try:
            self.sip.recvfrom(65535)
        except socket.timeout:
            pass

    def play(self, seconds):
        self.running = True
        rx = threading.Thread(target=self._receive, daemon=True)
        rx.start()
        t0 = now_ns()
        seq = 0
        ssrc = 0x1234ABCD
        while now_ns() - t0 < seconds * 1e9:
            due = t0 + seq * 20_000_000
            wait = due - now_ns()
            if wait > 0:
                time.sleep(wait / 1e9)
            head = struct.pack("!BBHII", 0x80, 0, seq & 0xFFFF, (seq * 160) & 0xFFFFFFFF, ssrc)
            packet = head + sip_payload(seq & 0xFFFF)
            self.sent[seq] = now_ns()
            self.rtp.sendto(self.tx.protect(packet) if self.tx else packet, self.peer_rtp)
            seq += 1
        time.sleep(0.5)
        self.running = False
        rx.join()
        return seq

    def _receive(self):
        while self.running:
            try:
                data = self.rtp.recv(2048)
            except socket.timeout:
                continue
            t = now_ns()
            if self.rx:
                data = self.rx.unprotect(data)
                if data is None:
                    self.failed += 1
                    continue
            self.stream += data[12:]
            while True:
                i = self.stream.find(SIP_SYNC)
                if i < 0 or len(self.stream) < i + 12:
                    self.stream = self.stream[-11:] if i < 0 else self.stream[i:]
                    break
                d = self.stream[i + 8:i + 12]
                if all(0xC0 <= b <= 0xCF for b in d):
                    seq = sum((b & 0xF) << s for b, s in zip(d, (12, 8, 4, 0)))
                    if seq in self.sent:
                        self.latency.append(t - self.sent[seq])
                self.stream = self.stream[i + 12:]


def run_sip(args, tmp):
    """The plain call, then the encrypted one, each with a tmx-sip of its own."""
    result = run_sip_call(args, tmp, srtp=False)
    encrypted = run_sip_call(args, tmp, srtp=True)
    for key, value in encrypted.items():
        if key.startswith("sip_") and key != "sip_cpu_idle_percent":
            result["sip_srtp_" + key[4:]] = value
    result["sip_srtp_peak_rss_kb"] = encrypted["peak_rss_kb"]
    return result


def run_sip_call(args, tmp, srtp):
    sip_bin = os.path.join(args.build, "sip", "tmx-sip")
    if not os.access(sip_bin, os.X_OK):
        raise SystemExit(f"bench: {sip_bin} is missing; build first (./dev bench does)")
    # The idle figure is the plain run's; the encrypted one waits just long
    # enough for the daemon.
    idle = 5.0 if srtp else max(5.0, args.seconds)
    name = "sip-srtp" if srtp else "sip"
    pty_file = os.path.join(tmp, name + ".pty")
    scn = os.path.join(tmp, name + ".scn")
    with open(scn, "w") as f:
        f.write(f"idle {idle + 4:g}s\ncall 123 from 3\nwait pickup 60s\n")
    conf = os.path.join(tmp, name + ".conf")
    with open(conf, "w") as f:
        f.write(f"listen 127.0.0.1:5060\napartment 123 sip:bench@{SIP_PHONE[0]}:{SIP_PHONE[1]}\n"
                f"daemon {args.driver} -ic 102\n" + ("srtp mandatory\n" if srtp else ""))
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "-s", scn], pty_file)
    phone = SipPhone(srtp)
    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    sip = subprocess.Popen([sip_bin, "--config", conf], env=env, stderr=open(os.path.join(tmp, name + ".err"), "w"))
    answering = threading.Thread(target=phone.answer, daemon=True)
    answering.start()

    time.sleep(3.0)  # the daemon's banner
    t0 = now_ns()
    c0 = cpu_seconds(sip.pid)
    time.sleep(idle)
    cpu_idle = (cpu_seconds(sip.pid) - c0) / ((now_ns() - t0) / 1e9)

    if not phone.established.wait(60):
        raise SystemExit("bench: tmx-sip did not call")
    t0 = now_ns()
    c0 = cpu_seconds(sip.pid)
    sent = phone.play(args.seconds)
    cpu_call = (cpu_seconds(sip.pid) - c0) / ((now_ns() - t0) / 1e9)
    rss = peak_rss_kb(sip.pid)
    phone.hang_up()
    sip.terminate()
    sip.wait()
    sim.kill()
    sim.wait()
    phone.sip.close()
    phone.rtp.close()
    lat = phone.latency
    if os.environ.get("BENCH_SIP_LOG"):  # tmx-sip's own lines, to see what it did
        with open(os.path.join(tmp, name + ".err")) as f:
            sys.stderr.write(f.read())
    return {
        "condition": "sip", "seconds": args.seconds,
        "sip_packets_sent": sent, "sip_packets_back": len(lat),
        "sip_rtt_ms_p50": ms(percentile(lat, 50)), "sip_rtt_ms_p99": ms(percentile(lat, 99)),
        "sip_rtt_ms_max": ms(max(lat) if lat else None),
        "sip_cpu_idle_percent": round(100.0 * cpu_idle, 2),
        "sip_cpu_call_percent": round(100.0 * cpu_call, 2),
        "sip_failed_authentication": phone.failed if srtp else None,
        "peak_rss_kb": rss,
    }


SIP_ROWS = [
    ("SIP: RTP packets sent", "sip_packets_sent"),
    ("SIP: numbered packets found back", "sip_packets_back"),
    ("SIP: round trip p50 (ms)", "sip_rtt_ms_p50"),
    ("SIP: round trip p99 (ms)", "sip_rtt_ms_p99"),
    ("SIP: round trip max (ms)", "sip_rtt_ms_max"),
    ("SIP: tmx-sip CPU idle (%)", "sip_cpu_idle_percent"),
    ("SIP: tmx-sip CPU in a call (%)", "sip_cpu_call_percent"),
    ("SIP, SRTP: RTP packets sent", "sip_srtp_packets_sent"),
    ("SIP, SRTP: numbered packets found back", "sip_srtp_packets_back"),
    ("SIP, SRTP: packets back failing authentication", "sip_srtp_failed_authentication"),
    ("SIP, SRTP: round trip p50 (ms)", "sip_srtp_rtt_ms_p50"),
    ("SIP, SRTP: round trip p99 (ms)", "sip_srtp_rtt_ms_p99"),
    ("SIP, SRTP: round trip max (ms)", "sip_srtp_rtt_ms_max"),
    ("SIP, SRTP: tmx-sip CPU in a call (%)", "sip_srtp_cpu_call_percent"),
    ("SIP, SRTP: tmx-sip peak RSS (kB)", "sip_srtp_peak_rss_kb"),
]


ROWS = [
    ("SPI transfers", "transfers"),
    ("SPI period mean (ms)", "period_ms_mean"),
    ("|period-16ms| p50 (ms)", "dev_ms_p50"),
    ("|period-16ms| p99 (ms)", "dev_ms_p99"),
    ("|period-16ms| max (ms)", "dev_ms_max"),
    ("missed ticks", "missed_ticks"),
    ("audio frames sent", "sent"),
    ("audio frames returned", "returned"),
    ("lost", "lost"),
    ("duplicated", "duplicated"),
    ("reordered", "reordered"),
    ("corrupted", "corrupted"),
    ("audio latency p50 (ms)", "latency_ms_p50"),
    ("audio latency p99 (ms)", "latency_ms_p99"),
    ("audio latency max (ms)", "latency_ms_max"),
    ("queue depth per 5 s (frames)", "queue_depth_frames_per_5s"),
    ("events measured", "events"),
    ("event latency p50 (ms)", "event_latency_ms_p50"),
    ("event latency max (ms)", "event_latency_ms_max"),
    ("poll period mean (ms)", "poll_period_ms_mean"),
    ("poll period max (ms)", "poll_period_ms_max"),
    ("log datagrams", "log_datagrams"),
    ("CPU (% of one core)", "cpu_percent_of_core"),
    ("peak RSS (kB)", "peak_rss_kb"),
] + SIP_ROWS


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, list):
        if len(v) > 8:
            return f"max {max(v)} over {len(v)} windows" if v else "-"
        return " ".join(str(x) for x in v)
    return str(v)


def print_table(results):
    names = [r["condition"] for r in results]
    width = max(len(label) for label, _ in ROWS)
    print(f"{'':{width}}  " + "  ".join(f"{n:>14}" for n in names))
    for label, key in ROWS:
        print(f"{label:{width}}  " + "  ".join(f"{fmt(r.get(key)):>14}" for r in results))


# --- noisy: stray packets and a babbling line ------------------------------

NOISY_CYCLE_S = 11   # about how long one call of the noisy scenario takes
NOISY_BURST = "2s"   # a short babble between two calls


def noisy_scenario(cycles, flood_s):
    steps = ["idle", "wait polls 5"]   # the daemon is up and measured
    for _ in range(cycles):
        steps += ["call 123 from 3",
                  "wait polls 1", "sleep 100ms", "raw 00",           # a noise byte between polls
                  "wait pickup 10s",
                  "wait polls 1", "sleep 100ms", "raw 7e 7e 7e",     # a noise burst
                  "wait open 10s", "wait drop 10s", "hangup", "idle 1s",
                  "wait polls 1", "sleep 100ms",
                  "raw fa 01 02 00 01 00 00 00 00 00 f5",            # an unasked idle frame
                  f"babble {NOISY_BURST}", "idle 2s"]
    steps += [f"babble {flood_s}s", "idle 1s"]
    return "\n".join(steps) + "\n"


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def log_lag_ms(datagram, arrived):
    """Arrival minus the line's own time stamp, for debug lines."""
    if not datagram.startswith(b"[Debug][") or len(datagram) < 21:
        return None
    try:
        h, m, rest = datagram[8:20].decode().split(":")
        sec, milli = rest.split(".")
        stamp = ((int(h) * 60 + int(m)) * 60 + int(sec)) * 1000 + int(milli)
    except ValueError:
        return None
    now = arrived.hour * 3600000 + arrived.minute * 60000 + arrived.second * 1000 + arrived.microsecond // 1000
    return (now - stamp) % 86400000


def run_noisy(args, tmp):
    import datetime
    import re
    flood_s = int(args.seconds)
    cycles = max(1, round(args.seconds / NOISY_CYCLE_S))
    pty_file = os.path.join(tmp, "noisy.pty")
    sim_trace = os.path.join(tmp, "noisy.sim")
    scn = os.path.join(tmp, "noisy.scn")
    with open(scn, "w") as f:
        f.write(noisy_scenario(cycles, flood_s))
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "--trace", sim_trace, "-s", scn], pty_file)

    log_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    log_sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    log_sock.bind(LOG_PORT)
    log_sock.setblocking(False)
    err_path = os.path.join(tmp, "noisy.err")
    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    with open(err_path, "w") as err:
        daemon, tel = start_daemon(args, env, err)
    time.sleep(1.0)
    # Lines from the start-up, held back by the banner, are no lag of a flood.
    while select.select([log_sock], [], [], 0)[0]:
        log_sock.recv(65536)

    t_from = now_ns()
    cpu_from = cpu_seconds(daemon.pid)
    rss = [(t_from, rss_kb(daemon.pid))]
    lags = []   # (monotonic ns, lag ms)
    end = time.time() + args.seconds * 2 + 120
    next_sample = time.time() + 1.0
    done = False
    while time.time() < end and not done:
        r, _, _ = select.select([log_sock], [], [], 0.2)
        while r:
            try:
                data = log_sock.recv(65536)
            except BlockingIOError:
                break
            lag = log_lag_ms(data, datetime.datetime.now())
            if lag is not None:
                lags.append((now_ns(), lag))
        if time.time() >= next_sample:
            next_sample += 1.0
            rss.append((now_ns(), rss_kb(daemon.pid)))
            with open(sim_trace) as f:
                done = " scenario-end" in f.read()
    t_to = now_ns()
    cpu = cpu_seconds(daemon.pid) - cpu_from
    tel.stop = True
    daemon.kill()
    daemon.wait()
    sim.kill()
    sim.wait()
    log_sock.close()

    events = read_sim_trace(sim_trace)
    babbles = [ts for ts, kind, _ in events if kind == "tx-babble"]
    flood_from = babbles[-1] if babbles else t_to
    lines = [(t, text) for t, text in tel.lines if t_from <= t <= flood_from]
    sources = event_sources([e for e in events if e[0] <= flood_from])
    latency = []   # (line time, latency ns)
    for t, text in lines:
        before = [x for x in sources.get(text.split(" ")[0], []) if x <= t]
        if before:
            latency.append((t, t - before[-1]))
    lat = [l for _, l in latency]
    slices = {}
    for t, l in latency:
        slices.setdefault(int((t - t_from) / 10e9), []).append(l)
    with open(err_path) as f:
        dropped = sum(int(n) for n in re.findall(r"^log: .* dropped (\d+) ", f.read(), re.M))

    def rss_at(t):
        return min(rss, key=lambda s: abs(s[0] - t))[1]

    return {
        "condition": "noisy",
        "seconds": round((t_to - t_from) / 1e9, 1),
        "events": len(lat),
        "event_latency_ms_p50": ms(percentile(lat, 50)),
        "event_latency_ms_p99": ms(percentile(lat, 99)),
        "event_latency_ms_max": ms(max(lat) if lat else None),
        "event_latency_ms_p99_per_10s": [ms(percentile(slices[k], 99)) for k in sorted(slices)],
        "stray_packets": sum(1 for ts, kind, _ in events if kind == "tx-raw" and ts <= flood_from),
        "babble_bytes": sum(int(f.get("bytes", 0)) for _, kind, f in events if kind == "babble-end"),
        "flood_seconds": round((t_to - flood_from) / 1e9, 1),
        "log_lag_ms_max_calls": max([l for t, l in lags if t < flood_from], default=None),
        "log_lag_ms_max_flood": max([l for t, l in lags if t >= flood_from], default=None),
        "log_lines_dropped": dropped,
        "rss_kb_start": rss[0][1],
        "rss_kb_flood_start": rss_at(flood_from),
        "rss_kb_end": rss[-1][1],
        "rss_growth_kb": rss[-1][1] - rss[0][1],
        "cpu_percent_of_core": round(100.0 * cpu / ((t_to - t_from) / 1e9), 2),
    }


ROWS.extend([
    ("event latency p99 (ms)", "event_latency_ms_p99"),
    ("event latency p99 per 10 s (ms)", "event_latency_ms_p99_per_10s"),
    ("stray packets", "stray_packets"),
    ("babbled bytes", "babble_bytes"),
    ("continuous babble (s)", "flood_seconds"),
    ("log lag max, calls (ms)", "log_lag_ms_max_calls"),
    ("log lag max, babble (ms)", "log_lag_ms_max_flood"),
    ("log lines dropped", "log_lines_dropped"),
    ("RSS start (kB)", "rss_kb_start"),
    ("RSS at babble start (kB)", "rss_kb_flood_start"),
    ("RSS end (kB)", "rss_kb_end"),
    ("RSS growth (kB)", "rss_growth_kb"),
])


# ---------------------------------------------------------------------------
# Audio delay: how the telephony application's sending pattern shows in the
# delay and the losses of its audio on the way to the shield. Each condition
# runs the daemon on an idle simulated line, stand-in in loopback, one sender:
#
#   audio-fast    one frame per datagram, 1 % fast (63.125 frames/s)
#   audio-slow    one frame per datagram, 1 % slow (61.875 frames/s)
#   audio-pause   62.5 frames/s; every 10 s a 160 ms pause, then the ten frames
#                 held back sent at once (one datagram each), then on schedule
#   audio-burst   one datagram of ten frames every 160 ms
#   audio-jitter  62.5 frames/s, each datagram up to 8 ms early or late
#                 (uniform), never out of order
#
# (`--only audio` names all five.) Figures cover the last 50 s of a 60 s run
# (all but the first sixth of a shorter one):
#
#   added delay   a frame's arrival back on 20002 minus its due time, minus one
#                 exchange (16 ms). A frame is due when its datagram is sent,
#                 frame k of a datagram k * 16 ms later: the sender packed
#                 those frames, nobody can play them sooner.
#   dropped       frames sent that never came back
#   forced        the fewest frames that any first-in-first-out queue, fed the
#                 same datagrams and drained at the traced SPI ticks, must drop
#                 so that no frame's added delay exceeds 64 ms
#   bursts cut    datagrams of ten frames of which any frame was dropped
#   reported      frames the daemon reported dropped (its udp: lines, whole run)
#   unexplained   frames not returned over the whole run beyond those reported
#
# --today runs each also with TMX_AUDIO_TARGET=16: every frame kept up to the
# 16-frame bound, as the daemon did before its delay controller.

AUDIO_CONDITIONS = ("audio-fast", "audio-slow", "audio-pause", "audio-burst", "audio-jitter")
LATE_NS = 64_000_000


# shield-sim's audio peer sends the pattern (see its --audio-* options).
AUDIO_PATTERNS = {
    "audio-fast": audio_options(rate=63.125),
    "audio-slow": audio_options(rate=61.875),
    "audio-pause": audio_options(hiccup="160/10"),
    "audio-burst": audio_options(burst=10),
    "audio-jitter": audio_options(jitter_ms=8),
}


def spi_ticks(path):
    with open(path) as f:
        return [int(p[1]) for p in (line.split() for line in f) if len(p) == 4 and p[0] == "xfer"]


def forced_drops(datagrams, ticks, in_window):
    """Drops a FIFO must make to keep every frame within LATE_NS added delay."""
    queue = collections.deque()   # (due_ns, seq)
    forced = 0
    d = 0
    for tick in ticks:
        while d < len(datagrams) and datagrams[d][0] < tick:
            t, first, count = datagrams[d]
            queue.extend((t + k * TICK_NS, first + k) for k in range(count))
            d += 1
        while queue and tick - queue[0][0] - TICK_NS > LATE_NS:
            forced += in_window(queue.popleft()[1])
        if queue:
            queue.popleft()
    return forced


def run_audio_condition(name, target, args, tmp):
    tag = f"{name}@{target}" if target else name
    pty_file = os.path.join(tmp, f"{tag}.pty")
    sim_trace = os.path.join(tmp, f"{tag}.sim")
    spi_trace = os.path.join(tmp, f"{tag}.spi")
    err_path = os.path.join(tmp, f"{tag}.err")
    # The peer starts with the daemon's first frame and stops when the
    # measurement does, so that every frame it sent has time to come back.
    sim, pty = start_sim([args.sim, "-q", "--pty-file", pty_file, "--trace", sim_trace]
                          + AUDIO_PATTERNS[name] + ["--audio-seconds", f"{args.seconds:g}"], pty_file)

    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI_TRACE=spi_trace, LORENTAK_SPI="loopback")
    if target:
        env["TMX_AUDIO_TARGET"] = str(target)
    with open(err_path, "w") as err:
        daemon, tel = start_daemon(args, env, err)
    t_start = now_ns()
    settle = min(10.0, args.seconds / 6)
    time.sleep(args.seconds)
    t_to = now_ns()
    t_from = t_start + int(settle * 1e9)
    time.sleep(2.0)   # the last frames come back and the last drop report is out
    tel.stop = True
    daemon.kill()
    daemon.wait()
    sim.kill()
    sim.wait()

    events = read_sim_trace(sim_trace)
    datagrams, returned, peer = read_audio(events)
    window = {}
    for t, first, count in datagrams:
        if t_from <= t <= t_to:
            for k in range(count):
                window[first + k] = t + k * TICK_NS
    added = sorted(returned[s] - due - TICK_NS for s, due in window.items() if s in returned)
    sent_total = sum(count for _, _, count in datagrams)
    back_total = sum(1 for _, first, count in datagrams for k in range(count) if first + k in returned)
    reported = 0
    with open(err_path, errors="replace") as f:
        for line in f:
            if line.startswith("udp: ") and " dropped " in line:
                reported += int(line.split(" dropped ")[1].split()[0])
    result = {"condition": tag, "seconds": args.seconds, "window_s": round((t_to - t_from) / 1e9, 1)}
    result.update({
        "frames_sent": len(window),
        "added_ms_p50": ms(percentile(added, 50)),
        "added_ms_p99": ms(percentile(added, 99)),
        "added_ms_max": ms(added[-1] if added else None),
        "dropped": sum(1 for s in window if s not in returned),
        "forced": forced_drops(datagrams, spi_ticks(spi_trace), lambda s: s in window),
        "bursts_cut": sum(1 for t, first, count in datagrams
                          if count == 10 and first in window
                          and any(first + k not in returned for k in range(count))),
        "reported": reported,
        "unexplained": sent_total - back_total - reported,
        "duplicated": peer["duplicated"],
        "reordered": peer["reordered"],
        "corrupted": peer["corrupted"],
    })
    result.update(read_spi_trace(spi_trace, t_from, t_to))
    return result


AUDIO_ROWS = [
    ("frames sent", "frames_sent"),
    ("added delay p50 (ms)", "added_ms_p50"),
    ("added delay p99 (ms)", "added_ms_p99"),
    ("added delay max (ms)", "added_ms_max"),
    ("dropped", "dropped"),
    ("forced (64 ms)", "forced"),
    ("ten-frame bursts cut", "bursts_cut"),
    ("reported by daemon", "reported"),
    ("unexplained losses", "unexplained"),
    ("duplicated", "duplicated"),
    ("reordered", "reordered"),
    ("corrupted", "corrupted"),
    ("SPI period mean (ms)", "period_ms_mean"),
    ("missed ticks", "missed_ticks"),
]


def run_audio_conditions(names, args, tmp):
    results = []
    for name in names:
        for target in ([None, 16] if args.today else [None]):
            tag = f"{name}@{target}" if target else name
            print(f"bench: {tag} for {args.seconds:g} s ...", file=sys.stderr)
            results.append(run_audio_condition(name, target, args, tmp))
    names = [r["condition"] for r in results]
    width = max(len(label) for label, _ in AUDIO_ROWS)
    print(f"{'':{width}}  " + "  ".join(f"{n:>15}" for n in names))
    for label, key in AUDIO_ROWS:
        print(f"{label:{width}}  " + "  ".join(f"{fmt(r.get(key)):>15}" for r in results))
    return results


# --- flood: INVITEs from a caller not allowed ------------------------------
# tmx-sip (with the daemon on shield-sim's idle line) lets sip:legit@ call in;
# 10,000 INVITEs from sip:intruder@ arrive in 10 s (each ACKed once refused),
# and sip:legit@ calls in once a second meanwhile: the time to its 200 OK,
# then ACK and BYE. RSS of tmx-sip before, at the end of and 10 s after the
# flood. Then the daemon is killed (the time until tmx-sip says it started it
# again) and tmx-sip gets SIGTERM (the time until it has exited).

SIP_TMX = ("127.0.0.1", 5060)
FLOOD_INVITES = 10000
FLOOD_SECONDS = 10.0


def sip_request(method, uri, user, port, branch, tag, call_id, cseq, to_tag="", extra="", body=""):
    return (f"{method} {uri} SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:{port};branch=z9hG4bK{branch}\r\n"
            f"Max-Forwards: 70\r\nFrom: <sip:{user}@127.0.0.1:{port}>;tag={tag}\r\n"
            f"To: <sip:intercom@127.0.0.1:5060>{';tag=' + to_tag if to_tag else ''}\r\n"
            f"Call-ID: {call_id}\r\nCSeq: {cseq} {method}\r\nContact: <sip:{user}@127.0.0.1:{port}>\r\n{extra}"
            f"Content-Length: {len(body)}\r\n\r\n{body}").encode()


def sdp_offer(rtp_port):
    body = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            f"m=audio {rtp_port} RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n")
    return "Content-Type: application/sdp\r\n", body


def sip_status(data):
    first = data.split(b"\r\n", 1)[0]
    return int(first.split()[1]) if first.startswith(b"SIP/2.0 ") else None


def sip_header(data, name):
    for line in data.split(b"\r\n"):
        k, _, v = line.partition(b":")
        if k.strip().lower() == name:
            return v.strip().decode(errors="replace")
    return ""


LEGIT_PASSWORD = "legit-secret"


def digest_answer(challenge, user, password, uri, method="INVITE"):
    """An Authorization value answering a WWW-Authenticate challenge (qop=auth)."""
    import hashlib
    import re

    def param(name):
        m = re.search(name + r'="([^"]*)"', challenge)
        return m.group(1) if m else ""

    def md5(text):
        return hashlib.md5(text.encode()).hexdigest()

    realm, nonce = param("realm"), param("nonce")
    ha1 = md5(f"{user}:{realm}:{password}")
    ha2 = md5(f"{method}:{uri}")
    response = md5(f"{ha1}:{nonce}:00000001:4a7c:auth:{ha2}")
    return (f'Digest username="{user}", realm="{realm}", nonce="{nonce}", uri="{uri}", '
            f'response="{response}", algorithm=MD5, qop=auth, nc=00000001, cnonce="4a7c"')


class Intruder:
    """Sends the flood and ACKs each refusal, from 127.0.0.1:5090. As a
    spoofer it writes the allowed caller's name in From and answers the
    latest challenge it got with a guessed password."""

    def __init__(self, user="intruder", spoof=False):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.bind(("127.0.0.1", 5090))
        self.sock.settimeout(0.2)
        self.user = user
        self.spoof = spoof
        self.challenge = None
        self.sent = 0
        self.replies = {}
        self.running = True

    def receive(self):
        while self.running:
            try:
                data = self.sock.recv(65535)
            except socket.timeout:
                continue
            code = sip_status(data)
            self.replies[code] = self.replies.get(code, 0) + 1
            if code == 401:
                self.challenge = sip_header(data, b"www-authenticate")
            if code and code >= 300:
                n = sip_header(data, b"call-id").split("-")[-1]
                to_tag = sip_header(data, b"to").partition(";tag=")[2]
                self.sock.sendto(sip_request("ACK", "sip:intercom@127.0.0.1:5060", self.user, 5090, f"f{n}",
                                             f"t{n}", f"flood-{n}", 1, to_tag), SIP_TMX)

    def flood(self):
        extra, body = sdp_offer(40000)
        uri = "sip:intercom@127.0.0.1:5060"
        t0 = time.monotonic()
        for n in range(FLOOD_INVITES):
            due = t0 + n * FLOOD_SECONDS / FLOOD_INVITES
            wait = due - time.monotonic()
            if wait > 0.001:
                time.sleep(wait)
            auth = ""
            if self.spoof and self.challenge:
                auth = f"Authorization: {digest_answer(self.challenge, self.user, f'guess{n}', uri)}\r\n"
            self.sock.sendto(sip_request("INVITE", uri, self.user, 5090, f"f{n}",
                                         f"t{n}", f"flood-{n}", 1, extra=extra + auth, body=body), SIP_TMX)
            self.sent += 1
        return time.monotonic() - t0


def legit_call(sock, n):
    """One call in from the allowed caller, who answers the challenge with
    its password: ms from its first INVITE to the 200 OK, or None."""
    extra, body = sdp_offer(40002)
    uri = "sip:intercom@127.0.0.1:5060"
    t0 = now_ns()
    cseq = 1
    sock.sendto(sip_request("INVITE", uri, "legit", 5091, f"l{n}", f"l{n}",
                            f"legit-{n}", cseq, extra=extra, body=body), SIP_TMX)
    ok = None
    deadline = time.time() + 5
    while time.time() < deadline:
        try:
            data = sock.recv(65535)
        except socket.timeout:
            continue
        if sip_header(data, b"call-id") != f"legit-{n}" or sip_header(data, b"cseq") != f"{cseq} INVITE":
            continue
        code = sip_status(data)
        if code == 401 and cseq == 1:
            cseq = 2
            auth = digest_answer(sip_header(data, b"www-authenticate"), "legit", LEGIT_PASSWORD, uri)
            sock.sendto(sip_request("INVITE", uri, "legit", 5091, f"l{n}b", f"l{n}", f"legit-{n}", cseq,
                                    extra=extra + f"Authorization: {auth}\r\n", body=body), SIP_TMX)
            continue
        if code and code >= 200:
            ok = data if code == 200 else None
            took = now_ns() - t0
            break
    if ok is None:
        return None
    to_tag = sip_header(ok, b"to").partition(";tag=")[2]
    contact = sip_header(ok, b"contact").strip("<>").split(";")[0].split(">")[0]
    sock.sendto(sip_request("ACK", contact, "legit", 5091, f"la{n}", f"l{n}", f"legit-{n}", cseq, to_tag), SIP_TMX)
    sock.sendto(sip_request("BYE", contact, "legit", 5091, f"lb{n}", f"l{n}", f"legit-{n}", cseq + 1, to_tag),
                SIP_TMX)
    deadline = time.time() + 5
    while time.time() < deadline:
        try:
            data = sock.recv(65535)
        except socket.timeout:
            continue
        if sip_header(data, b"call-id") == f"legit-{n}" and sip_header(data, b"cseq").endswith("BYE"):
            break
    return took


def flood_phase(sip_pid, legit, first_call, intruder):
    """One flood with the allowed caller calling in each second meanwhile and
    once 10 s after: what the flood got, the allowed calls, CPU and RSS."""
    rx = threading.Thread(target=intruder.receive, daemon=True)
    rx.start()
    answers = []
    flooding = threading.Thread(target=lambda: answers.append(intruder.flood()), daemon=True)
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
    intruder.running = False
    rx.join()
    after = legit_call(legit, n)
    intruder.sock.close()
    return {
        "sent": intruder.sent, "seconds": answers[0] if answers else None, "replies": dict(intruder.replies),
        "during": during, "after": after, "cpu": cpu, "rss_before": rss_before, "rss_end": rss_end,
        "rss_after": rss_kb(sip_pid), "next_call": n + 1,
    }


def run_flood(args, tmp):
    import re
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

    def said(text):
        with open(err_path) as f:
            return f.read().count(text)

    env = dict(os.environ, LORENTAK_USART_PORT=pty, LORENTAK_SPI="loopback")
    sip = subprocess.Popen([sip_bin, "--config", conf], env=env, stderr=open(err_path, "w"))
    deadline = time.time() + 30
    while not said("masks loaded"):
        if time.time() > deadline:
            raise SystemExit("bench: tmx-sip did not load the daemon's masks")
        time.sleep(0.05)

    legit = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    legit.bind(("127.0.0.1", 5091))
    legit.settimeout(0.2)
    quiet = [legit_call(legit, 0)]
    stranger = flood_phase(sip.pid, legit, 1, Intruder())
    spoofer = flood_phase(sip.pid, legit, stranger["next_call"], Intruder("legit", spoof=True))
    hwm = peak_rss_kb(sip.pid)
    with open(err_path) as f:
        log = f.read()
    # Calls of the flood that reached PIN entry (none should).
    flood_at_pin = len(re.findall(r"incoming call flood-\d+ from .*waiting for the PIN", log))
    legit_at_pin = len(re.findall(r"incoming call legit-\d+ from .*waiting for the PIN", log))

    with open(err_path) as f:
        pid = re.findall(r"pid (\d+)", f.read())[-1]
    t0 = now_ns()
    os.kill(int(pid), 9)
    restarted = None
    deadline = time.time() + 30
    while time.time() < deadline:
        if said("daemon started again"):
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
            f"{key}_invites": phase["sent"],
            f"{key}_seconds": round(phase["seconds"], 1) if phase["seconds"] else None,
            f"{key}_refused_401": phase["replies"].get(401, 0),
            f"{key}_other_replies": sum(v for k, v in phase["replies"].items() if k != 401),
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


ROWS.extend([
    ("SIP flood: allowed caller's answer, quiet (ms)", "flood_legit_ms_quiet"),
])
for _key, _what in (("stranger", "not allowed"), ("spoof", "allowed name, guessed password")):
    ROWS.extend([
        (f"SIP flood, {_what}: INVITEs sent", f"{_key}_invites"),
        (f"SIP flood, {_what}: seconds", f"{_key}_seconds"),
        (f"SIP flood, {_what}: refused with 401", f"{_key}_refused_401"),
        (f"SIP flood, {_what}: other answers", f"{_key}_other_replies"),
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


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--build", default=os.path.join(root, "build"))
    p.add_argument("--json", default=os.path.join(root, "build", "bench-results.json"))
    p.add_argument("--only", default="idle,loaded,drift,noisy,sip,flood,audio")
    p.add_argument("--today", action="store_true",
                   help="run the audio conditions also as the daemon was before its delay controller")
    args = p.parse_args()
    args.driver = os.path.join(args.build, "src", "tmx-driver")
    args.sim = os.path.join(args.build, "shield-sim", "shield-sim")
    for path in (args.driver, args.sim):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"bench: {path} is missing; build first (./dev bench does)")

    results = []
    names = [m for n in args.only.split(",") for m in (AUDIO_CONDITIONS if n == "audio" else [n])]
    runners = {"noisy": run_noisy, "sip": run_sip, "flood": run_flood}
    with tempfile.TemporaryDirectory(prefix="tmx-bench-") as tmp:
        for name in [n for n in names if n not in AUDIO_CONDITIONS]:
            print(f"bench: {name} for {args.seconds:g} s ...", file=sys.stderr)
            runner = runners.get(name)
            results.append(runner(args, tmp) if runner else run_condition(name, args, tmp))
        if results:
            print_table(results)
        results += run_audio_conditions([n for n in names if n in AUDIO_CONDITIONS], args, tmp)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)
    print(f"bench: figures written to {args.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
