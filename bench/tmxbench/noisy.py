"""noisy: repeated calls with a stray packet every few seconds and short
bursts of a babbling line (10 bytes every 0.8 ms), then the same babble
without a pause for as long again: event latency per 10 s, the lag of the
serial trace on 20004, RSS at start and end."""

import datetime
import os
import re
import select
import socket
import time

from .measure import cpu_seconds, ms, now_ns, percentile, rss_kb
from .processes import LOG_PORT, start_daemon, start_sim, stop_daemon_and_sim
from .traces import event_sources, log_lag_ms, read_sim_trace

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


def run_noisy(args, tmp):
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
    stop_daemon_and_sim(tel, daemon, sim)
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


ROWS = [
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
]
