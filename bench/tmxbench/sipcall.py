"""sip: a call through tmx-sip to a phone played here, then one more with
encrypted audio (srtp mandatory).

tmx-sip runs the daemon (shield-sim's pty, stand-in SPI in loopback) and
calls a small phone here, which answers with SDP for PCMU and sends numbered
RTP packets: each payload starts with a sync pattern and the packet's number
in G.711 codes that survive decoding and encoding unchanged. The daemon's
loopback sends the audio back, tmx-sip packs it into its own packets, and
the phone finds the numbers in what comes back: the round trip that tmx-sip
and the daemon add. CPU of tmx-sip alone (not the daemon): idle before the
call, and in the call.
"""

import os
import subprocess
import sys
import threading
import time

from .measure import cpu_seconds, ms, now_ns, peak_rss_kb, percentile
from .phone import SIP_PHONE, SipPhone
from .processes import start_sim


def run_sip(args, tmp):
    """The plain call, then the encrypted one, each with a tmx-sip of its own."""
    result = run_sip_call(args, tmp, srtp=False)
    result["sip_phone_clock"] = args.phone_clock
    if args.sip_plain:
        return result
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
    # The idle figure is the plain run's; the encrypted one, and the plain
    # one run alone for its round trip, wait just long enough for the daemon.
    idle = 5.0 if srtp or args.sip_plain else max(5.0, args.seconds)
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
    phone = SipPhone(srtp, args.phone_clock)
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


ROWS = [
    ("SIP: the phone's clock against ours", "sip_phone_clock"),
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

