"""Reading the traces: the simulator's (events, audio frames, polls) and the
stand-in board library's SPI transfers; the daemon's log datagrams."""

import statistics
from urllib.parse import unquote

from .measure import TICK_NS, ms, percentile


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


def spi_ticks(path):
    with open(path) as f:
        return [int(p[1]) for p in (line.split() for line in f) if len(p) == 4 and p[0] == "xfer"]


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

