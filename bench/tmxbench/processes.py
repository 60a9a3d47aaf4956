"""The processes a condition runs: shield-sim on its pty, and the daemon with
the telephony side played on its standard streams."""

import os
import subprocess
import threading
import time

from .measure import now_ns

LOG_PORT = ("127.0.0.1", 20004)


def audio_options(rate=62.5, burst=1, jitter_ms=0, hiccup=None, seconds=0):
    """shield-sim's options for its audio peer, which plays the telephony side."""
    opts = ["--audio", "--audio-rate", f"{rate:g}", "--audio-burst", str(burst),
            "--audio-jitter", str(jitter_ms), "--audio-seconds", f"{seconds:g}"]
    if hiccup:
        opts += ["--audio-hiccup", hiccup]
    return opts


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


def stop_daemon_and_sim(tel, daemon, sim):
    """Ends a condition that ran the daemon itself on the simulator: the
    trace reader stops, then both processes."""
    tel.stop = True
    for proc in (daemon, sim):
        proc.kill()
        proc.wait()
