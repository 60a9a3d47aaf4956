"""idle, loaded, drift: the daemon on the simulator's line, idle or with calls
in progress, numbered audio frames at 62.5/s (1 % fast for drift), a console
line every 10 ms and the serial trace flowing to 20004."""

import os
import select
import socket
import subprocess
import time

from .measure import cpu_seconds, now_ns, peak_rss_kb
from .processes import LOG_PORT, audio_options, start_daemon, start_sim, stop_daemon_and_sim
from .traces import audio_figures, event_latency, poll_period, read_sim_trace, read_spi_trace

CONDITIONS = ("idle", "loaded", "drift")


def call_loop_scenario(calls):
    steps = ["idle 1s"]
    for _ in range(calls):
        steps += ["call 123 from 3", "wait pickup 10s", "wait open 10s",
                  "wait drop 10s", "hangup", "idle 2s"]
    return "\n".join(steps) + "\n"


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
    stop_daemon_and_sim(tel, daemon, sim)
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

