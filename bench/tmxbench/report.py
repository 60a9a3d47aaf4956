"""The tables the benchmark prints: one row per figure, one column per
condition."""

from . import flood, mqtt, noisy, sipcall, soak
from . import audio

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
] + sipcall.ROWS + noisy.ROWS + flood.ROWS + mqtt.ROWS + soak.ROWS


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


def print_audio_table(results):
    names = [r["condition"] for r in results]
    width = max(len(label) for label, _ in audio.ROWS)
    print(f"{'':{width}}  " + "  ".join(f"{n:>15}" for n in names))
    for label, key in audio.ROWS:
        print(f"{label:{width}}  " + "  ".join(f"{fmt(r.get(key)):>15}" for r in results))
