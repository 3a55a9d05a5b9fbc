#!/usr/bin/env python3
"""Turns tls_loadgen's result lines into bench/net/tls_report.md (on standard
output); with --missed, lists instead the cases where Keel missed a goal, one
"mode connections" line each, for tls_run.sh to profile."""
import argparse
import datetime
import glob
import os
import platform
import re
import subprocess

SERVERS = [("epoll", "raw epoll + OpenSSL"), ("event", "libevent"), ("keel", "Keel")]
GOAL_PEER, GOAL_RAW = 1.0, 0.9  # Keel against libevent, against the raw server


QUIET = 15  # percent of all processors busy before a run, below which it began quiet


def work(fields):
    return -1 if "error" in fields else float(fields.get("mbps" if fields["mode"] == "pump" else "rate", 0))


def crowded(fields):
    return int(fields.get("busy_before", 0)) >= QUIET


def parse(path):
    """{(server, mode, conns): fields}, and {server: why it was skipped}."""
    runs, skipped = {}, {}
    for line in open(path):
        fields = dict(re.findall(r'(\w+)=("[^"]*"|\S+)', line))
        fields = {k: v.strip('"') for k, v in fields.items()}
        if "skipped" in fields and "mode" not in fields:
            skipped[fields["server"]] = fields["skipped"]
        elif "mode" in fields:
            key = (fields["server"], fields["mode"], int(fields["conns"]))
            # REPEAT=n: keep the run that moved the most, with all its
            # figures; one that began on a quiet machine before any other.
            old = runs.get(key)
            if old is None or (crowded(old), -work(old)) > (crowded(fields), -work(fields)):
                runs[key] = fields
    return runs, skipped


def value(runs, skipped, server, mode, conns, key):
    """The figure as a number, or a text saying why there is none."""
    run = runs.get((server, mode, conns))
    if run is None:
        return "-" if server in skipped else "not run"
    if "error" in run:
        return "failed: " + run["error"]
    if key == "cpu_ms_per_mb":  # server CPU per megabyte echoed
        mb = float(run["mbps"]) * float(run["secs"])
        return float(run["cpu_s"]) * 1e3 / mb if mb > 0 else "-"
    return float(run[key])


def fmt(v):
    if isinstance(v, str):
        return v
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def ratio(a, b):
    if isinstance(a, float) and isinstance(b, float) and b > 0:
        return a / b
    return None


def machine():
    cpu = "?"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                cpu = line.split(":", 1)[1].strip()
    except OSError:
        pass
    ssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout.strip()
    return os.cpu_count(), cpu, platform.release(), ssl


def rows(slots):
    """(label, mode, conns, key, higher is better, judged against the goals)"""
    return [
        ("ping-pong, 1 connection: requests/s", "pingpong", 1, "rate", True, True),
        ("ping-pong, 1 connection: p50 round trip (µs)", "pingpong", 1, "p50_us", False, False),
        ("ping-pong, 1 connection: p99 round trip (µs)", "pingpong", 1, "p99_us", False, False),
        ("ping-pong, 1 connection: server CPU per request (µs)", "pingpong", 1, "cpu_us_per_event", False, False),
        ("ping-pong, 100 connections: requests/s", "pingpong", 100, "rate", True, True),
        ("ping-pong, 100 connections: p50 round trip (µs)", "pingpong", 100, "p50_us", False, False),
        ("ping-pong, 100 connections: p99 round trip (µs)", "pingpong", 100, "p99_us", False, False),
        ("ping-pong, 100 connections: server CPU per request (µs)", "pingpong", 100, "cpu_us_per_event", False, False),
        ("pump, 1 connection: MB/s", "pump", 1, "mbps", True, True),
        ("pump, 1 connection: server CPU per MB (ms)", "pump", 1, "cpu_ms_per_mb", False, False),
        ("pump, 100 connections: MB/s", "pump", 100, "mbps", True, True),
        ("pump, 100 connections: server CPU per MB (ms)", "pump", 100, "cpu_ms_per_mb", False, False),
        (f"handshakes, {slots} at a time: handshakes/s", "handshake", slots, "rate", True, True),
        (f"handshakes, {slots} at a time: p50 connect to echo (µs)", "handshake", slots, "p50_us", False, False),
        (f"handshakes, {slots} at a time: server CPU per handshake (µs)", "handshake", slots, "cpu_us_per_event",
         False, False),
    ]


def verdicts(runs, skipped, slots):
    """(label, mode, conns, ratio to libevent, ratio to raw) of the judged rows."""
    out = []
    for label, mode, conns, key, _, judged in rows(slots):
        if not judged:
            continue
        k = value(runs, skipped, "keel", mode, conns, key)
        out.append((label, mode, conns, ratio(k, value(runs, skipped, "event", mode, conns, key)),
                    ratio(k, value(runs, skipped, "epoll", mode, conns, key))))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--profiles", help="the directory of perf-MODE-CONNS.txt")
    ap.add_argument("--load-at-start", default="?")
    ap.add_argument("--load-at-end", default="?")
    ap.add_argument("--busy-at-start", default="")
    ap.add_argument("--waited", default="?", help="seconds the run waited for other work to pause")
    ap.add_argument("--command", default="`make bench-tls`")
    ap.add_argument("--handshake-slots", type=int, default=64)
    ap.add_argument("--missed", action="store_true")
    args = ap.parse_args()

    runs, skipped = parse(args.results)
    slots = args.handshake_slots
    judged = verdicts(runs, skipped, slots)
    if args.missed:
        for _, mode, conns, r_ev, r_ep in judged:
            if (r_ev is not None and r_ev < GOAL_PEER) or (r_ep is not None and r_ep < GOAL_RAW):
                print(mode, conns)
        return

    ncpu, cpu, kernel, ssl = machine()
    out = []
    p = out.append
    p("# TLS benchmarks: Keel next to libevent and raw epoll with OpenSSL\n")
    p(f"Written by `bench/net/tls_run.sh` on {datetime.date.today().isoformat()}. One load generator "
      "(`tls_loadgen.c`, a single-threaded epoll client on OpenSSL) drives three TLS 1.3 echo servers on "
      "127.0.0.1, one fresh server process per case, the servers in turn case by case. Figures only: "
      "nothing here passes or fails.\n")
    p(f"- Machine: {ncpu} cores, {cpu}, Linux {kernel}, {ssl}; load average when the run began: "
      f"{args.load_at_start}, when the measurements ended: {args.load_at_end}.")
    if args.busy_at_start:
        p(f"- Other processes busy when the run began: {args.busy_at_start}.")
    n_crowded = sum(1 for r in runs.values() if crowded(r))
    p(f"- Before each case the script waits for other work to pause (processors under {QUIET}% busy over "
      f"half a second, {args.waited} s of waiting in all); {n_crowded} of the {len(runs)} runs kept "
      "began on a busier machine. Other work may still start during a case: the last table shows how "
      "busy each side was.")
    p("- Server pinned to core 0, load generator to core 1 (`taskset`), when there are two cores.")
    p(f"- Command: {args.command}.")
    for server, why in sorted(skipped.items()):
        p(f"- **Not measured: {dict(SERVERS).get(server, server)}**: {why}.")
    try:
        load = float(args.load_at_start.split()[0])
    except (ValueError, IndexError):
        load = 0
    if load > 0.5:
        p(f"- The machine was not quiet (load {load:.2f} at the start): other work shared these two "
          "cores, so read the figures as rough; take figures to compare on a quiet machine.")
    p("")

    p("## Figures\n")
    p("| figure | better | " + " | ".join(n for _, n in SERVERS) + " | Keel ÷ libevent | Keel ÷ raw epoll |")
    p("|---|---|" + "---:|" * (len(SERVERS) + 2))
    for label, mode, conns, key, higher, _ in rows(slots):
        vals = [value(runs, skipped, s, mode, conns, key) for s, _ in SERVERS]
        cells = []
        for (s, _), v in zip(SERVERS, vals):
            run = runs.get((s, mode, conns), {})
            bad = [f"{run[k]} {k}" for k in ("errors", "wrong") if int(run.get(k, 0))]
            mark = " †" if run and crowded(run) and not isinstance(v, str) else ""
            cells.append(fmt(v) + mark + (f" ({', '.join(bad)})" if bad and not isinstance(v, str) else ""))
        r_ev, r_ep = ratio(vals[2], vals[1]), ratio(vals[2], vals[0])
        p(f"| {label} | {'higher' if higher else 'lower'} | " + " | ".join(cells) +
          f" | {f'{r_ev:.2f}×' if r_ev else '-'} | {f'{r_ep:.2f}×' if r_ep else '-'} |")
    p("")
    if any(crowded(r) for r in runs.values()):
        p(f"† Every run of this case for this server began with other work on the machine (processors "
          f"{QUIET}% busy or more): the figure is less than the server can do, and so is a ratio with it.\n")

    p("## Who set the pace\n")
    p("Share of its core that the server and the load generator used in the measured window of the run "
      "kept, and how busy the machine was just before it (all processors, before the server started). "
      "A side near 100% set the pace; with neither near it, other work on the machine (which took turns "
      "on both cores) or the wait for the peer did.\n")
    p("| case | " + " | ".join(f"{n}: server / load / before" for _, n in SERVERS) + " |")
    p("|---|" + "---:|" * len(SERVERS))
    cases = []
    for _, mode, conns, _, _, _ in rows(slots):
        if (mode, conns) not in cases:
            cases.append((mode, conns))
    for mode, conns in cases:
        cells = []
        for s, _ in SERVERS:
            run = runs.get((s, mode, conns))
            if run is None or "error" in run or "load_cpu_s" not in run:
                cells.append("-")
                continue
            w = float(run["secs"])
            cells.append(f"{float(run['cpu_s']) / w * 100:.0f}% / {float(run['load_cpu_s']) / w * 100:.0f}% / "
                         f"{run.get('busy_before', '?')}%")
        p(f"| {mode}, {conns} | " + " | ".join(cells) + " |")
    p("")

    p("## Goals\n")
    if not any(s == "keel" for s, _, _ in runs):
        p("Not judged: Keel was not measured in this run.\n")
    else:
        def verdict(r, goal, peer, mode, conns):
            if r is None:
                return "-"
            busy = [n for s, n in SERVERS if s in ("keel", peer) and crowded(runs.get((s, mode, conns), {}))]
            note = f", {' and '.join(busy)} crowded †" if busy else ""
            return f"{r:.2f}× ({'met' if r >= goal else 'missed'}{note})"
        for label, mode, conns, r_ev, r_ep in judged:
            p(f"- {label}: Keel ≥ {GOAL_PEER:.1f}× libevent: {verdict(r_ev, GOAL_PEER, 'event', mode, conns)}; "
              f"≥ {GOAL_RAW:.1f}× raw epoll: {verdict(r_ep, GOAL_RAW, 'epoll', mode, conns)}.")
        p("")

    p("## How each figure is taken\n")
    p("- Every server uses the same certificate and key (EC P-256, self-signed, made by the script with "
      "`openssl req`), TLS 1.3 only (the load generator offers nothing else), OpenSSL's default cipher "
      "(AES-256-GCM) and key exchange (X25519), and OpenSSL's default of two session tickets after each "
      "handshake. The load generator keeps no session, so every handshake is a full one; it does not "
      "check the certificate chain (the server's figure is wanted, not the client's), though TLS 1.3 "
      "still has it verify the handshake signature.")
    p("- **ping-pong**: each connection sends 64 bytes in one record, waits for all 64 to come back, and "
      "sends again. Requests per second over all connections; round trip from the send to the last byte "
      "of the echo.")
    p("- **pump**: each connection writes 8 KiB records while fewer than 64 KiB are unechoed, and reads "
      "whatever comes back; MB/s of echoed plaintext (10^6 bytes). As in `loadgen.c`, an echo that leaves "
      "no room for another record is acknowledged at once, so that the servers' Nagle does not wait "
      "for a delayed ack.")
    p(f"- **handshakes**: {slots} connections at a time, each connecting, completing a full handshake and "
      "one 64-byte echo, sending its close_notify and closing; handshakes per second, and the time from "
      "the connect to the end of the echo.")
    p("- Every echoed byte is checked against what was sent; a connection whose echo differs would be "
      "closed and counted as wrong next to the figure. Server CPU = utime + stime of `/proc/PID/stat` "
      "(all its threads, 10 ms resolution) over the measured window, divided by what was echoed in it.")
    p("- Every connection completes one echo (and so its handshake) before the clock starts; then a "
      "warm-up, then the measured window. With `REPEAT=n` each case runs n times (the servers in turn, "
      "round by round) and the table keeps the run that moved the most, with all its figures, among "
      "those that began on a quiet machine when there are any.")
    p("- The servers: `tls_echo_epoll.c` (edge-triggered epoll, `SSL_read` and `SSL_write` straight on "
      "the socket with read-ahead, so one socket read takes what waits; it stops reading when a socket "
      "read comes back short and OpenSSL holds nothing, and queues only what a write did not take), "
      "`tls_echo_event.c` (`bufferevent_openssl_socket_new` with `BUFFEREVENT_SSL_ACCEPTING`, input moved "
      "to output) and `echo_keel.c` given a certificate and key (`os_tcp_server_set_tls`: echo in the read "
      "callback, what a send did not take kept for the write callback). Keel reads ahead as the raw "
      "server does; libevent uses OpenSSL as set up by default, without read-ahead. Keel's server writes the library's reports (two per "
      "closed connection) to `build-bench/net/tls/keel.log`.")
    p("- The load generator needs as much work per echo as a server (it encrypts and decrypts the same "
      "bytes) and more per handshake (it verifies the signature the server makes, and parses the "
      "certificate). Where a server uses well under its whole core, the load generator, or other work on "
      "the machine, set the pace, and the ratio of the throughputs says little; the server's CPU per "
      "request, per MB or per handshake then compares the servers' own cost.")
    p("")

    p("## Where Keel's time goes\n")
    profs = sorted(glob.glob(os.path.join(args.profiles, "perf-*.txt"))) if args.profiles else []
    profs = [f for f in profs if open(f).read().strip()]
    if not profs:
        p("No profile in this run: Keel met every goal, or was not measured, or `perf` is unavailable.")
    for path in profs:
        mode, conns = re.match(r"perf-(\w+)-(\d+)\.txt", os.path.basename(path)).groups()
        p(f"`perf record -g` of the Keel server (all its threads) under {mode} with {conns} connections, "
          "where it missed a goal: self time by library, then by symbol (1% and more; Debian's OpenSSL "
          "names only its exported functions, so its internals spread thinly over addresses), then the "
          "time spent in and under each named user-space function (4% and more):\n")
        p("```")
        text = "\n".join(l.rstrip() for l in open(path).read().splitlines() if not l.startswith("#"))
        p(re.sub(r"\n{3,}", "\n\n", text).strip("\n"))
        p("```\n")
    print("\n".join(out))


if __name__ == "__main__":
    main()
