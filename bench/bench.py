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
          encrypted audio (srtp mandatory); --phone-clock 1.001 makes the
          phone 0.1 % fast, --sip-plain leaves out the encrypted call;
  flood   10,000 INVITEs in 10 s at tmx-sip from a caller not allowed, then
          10,000 that write the allowed caller's name in From and answer
          challenges with guessed passwords (both sent by SIPp), with the
          allowed caller (who knows its password) calling in each second
          meanwhile; then the daemon killed and tmx-sip stopped;
  mqtt    tmx-sip on a mosquitto broker started here: door call to MQTT ring
          event, open button to the poll with the opening, idle CPU with and
          without MQTT, and a broker outage of half of --seconds with a door
          call in it;
  soak    whole door calls in a row through tmx-sip (a SIPp phone answers,
          keys # and hangs up), with calls in (right and wrong PINs),
          refused INVITEs and MQTT open buttons between them: the RSS of
          tmx-sip and the daemon every 100 calls, the calls not complete;
          2,000 calls with --only soak alone, else one per 0.3 s of --seconds.

Prints one table and writes the same figures as JSON. Each condition has its
module in tmxbench/ (the audio-* ones, --only audio for all five, in
tmxbench/audio.py).

    bench/bench.py [--seconds 60] [--build build] [--json bench-results.json]
                   [--only idle,loaded,drift,noisy,sip,flood,mqtt,soak,audio] [--legacy-queue]
                   [--phone-clock 1.0] [--sip-plain]
"""


import argparse
import json
import os
import sys
import tempfile

from tmxbench import audio, flood, line, mqtt, noisy, report, sipcall, soak


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=None)
    p.add_argument("--build", default=os.path.join(root, "build"))
    p.add_argument("--json", default=os.path.join(root, "build", "bench-results.json"))
    p.add_argument("--only", default="idle,loaded,drift,noisy,sip,flood,mqtt,soak,audio")
    p.add_argument("--phone-clock", type=float, default=1.0,
                   help="sip: the phone's clock against ours, e.g. 1.001 for a phone 0.1 %% fast")
    p.add_argument("--sip-plain", action="store_true", help="sip: the plain call only, not the encrypted one")
    p.add_argument("--legacy-queue", action="store_true",
                   help="run the audio conditions also with the daemon's queue as it was before its delay"
                        f" controller (every frame kept up to the {audio.LEGACY_QUEUE_TARGET}-frame bound)")
    args = p.parse_args()
    args.seconds_given = args.seconds is not None
    if args.seconds is None:
        args.seconds = 60.0
    args.driver = os.path.join(args.build, "src", "tmx-driver")
    args.sim = os.path.join(args.build, "shield-sim", "shield-sim")
    for path in (args.driver, args.sim):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"bench: {path} is missing; build first (./dev bench does)")

    results = []
    names = [m for n in args.only.split(",") for m in (audio.AUDIO_CONDITIONS if n == "audio" else [n])]
    runners = {"noisy": noisy.run_noisy, "sip": sipcall.run_sip, "flood": flood.run_flood, "mqtt": mqtt.run_mqtt,
               "soak": soak.run_soak}
    runners.update((name, lambda a, t, name=name: line.run_condition(name, a, t)) for name in line.CONDITIONS)
    unknown = [n for n in names if n not in runners and n not in audio.AUDIO_CONDITIONS]
    if unknown:
        p.error(f"unknown condition {', '.join(unknown)}")
    with tempfile.TemporaryDirectory(prefix="tmx-bench-") as tmp:
        for name in [n for n in names if n not in audio.AUDIO_CONDITIONS]:
            print(f"bench: {name} for {args.seconds:g} s ...", file=sys.stderr)
            results.append(runners[name](args, tmp))
        if results:
            report.print_table(results)
        audio_results = audio.run_audio_conditions([n for n in names if n in audio.AUDIO_CONDITIONS], args, tmp)
        if audio_results:
            report.print_audio_table(audio_results)
        results += audio_results
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)
    print(f"bench: figures written to {args.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
