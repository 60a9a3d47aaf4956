"""audio-*: how the telephony application's sending pattern shows in the
delay and the losses of its audio on the way to the shield."""

import collections
import os
import sys
import time

from .measure import TICK_NS, ms, now_ns, percentile
from .processes import audio_options, start_daemon, start_sim, stop_daemon_and_sim
from .traces import read_audio, read_sim_trace, read_spi_trace, spi_ticks

# Each condition runs the daemon on an idle simulated line, stand-in in loopback, one sender:
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
# --legacy-queue runs each also with TMX_AUDIO_TARGET=16: every frame kept up
# to the 16-frame bound, as the daemon did before its delay controller.

AUDIO_CONDITIONS = ("audio-fast", "audio-slow", "audio-pause", "audio-burst", "audio-jitter")
LATE_NS = 64_000_000
LEGACY_QUEUE_TARGET = 16


# shield-sim's audio peer sends the pattern (see its --audio-* options).
AUDIO_PATTERNS = {
    "audio-fast": audio_options(rate=63.125),
    "audio-slow": audio_options(rate=61.875),
    "audio-pause": audio_options(hiccup="160/10"),
    "audio-burst": audio_options(burst=10),
    "audio-jitter": audio_options(jitter_ms=8),
}


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
    stop_daemon_and_sim(tel, daemon, sim)

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


ROWS = [
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
        for target in ([None, LEGACY_QUEUE_TARGET] if args.legacy_queue else [None]):
            tag = f"{name}@{target}" if target else name
            print(f"bench: {tag} for {args.seconds:g} s ...", file=sys.stderr)
            results.append(run_audio_condition(name, target, args, tmp))
    return results
