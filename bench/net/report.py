#!/usr/bin/env python3
"""Turns the load generator's result lines into bench/net/report.md (on
standard output) and the data files that plots.gp draws."""
import argparse
import datetime
import os
import platform
import re
import subprocess

SERVERS = [("epoll", "raw epoll"), ("uv", "libuv"), ("event", "libevent"), ("keel", "Keel")]


def work(fields):
    return -1 if "error" in fields else float(fields.get("mbps" if fields["mode"] == "pump" else "rate", 0))


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
            # Repeated cases (REPEAT=n): keep the least disturbed run, the one
            # that moved the most, with all its figures.
            if key not in runs or work(fields) > work(runs[key]):
                runs[key] = fields
    return runs, skipped


class Table:
    def __init__(self, runs, skipped):
        self.runs, self.skipped = runs, skipped

    def value(self, server, mode, conns, key):
        """The figure as a number, or a text saying why there is none."""
        run = self.runs.get((server, mode, conns))
        if run is None:
            return "not run" if server not in self.skipped else "-"
        if "error" in run:
            return "failed: " + run["error"]
        if key == "mem_per_conn":
            return (float(run["rss_kb"]) - float(run["rss0_kb"])) * 1024 / conns
        return float(run[key])

    def errors(self, server, mode, conns):
        run = self.runs.get((server, mode, conns), {})
        return int(run.get("errors", 0))


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
    return os.cpu_count(), cpu, platform.release()


# (label, mode, conns, key, higher is better)
ROWS = [
    ("ping-pong, 1 connection: requests/s", "pingpong", 1, "rate", True),
    ("ping-pong, 1 connection: p50 round trip (µs)", "pingpong", 1, "p50_us", False),
    ("ping-pong, 1 connection: p99 round trip (µs)", "pingpong", 1, "p99_us", False),
    ("ping-pong, 100 connections: requests/s", "pingpong", 100, "rate", True),
    ("ping-pong, 100 connections: p50 round trip (µs)", "pingpong", 100, "p50_us", False),
    ("ping-pong, 100 connections: p99 round trip (µs)", "pingpong", 100, "p99_us", False),
    ("ping-pong, 1,000 connections: requests/s", "pingpong", 1000, "rate", True),
    ("ping-pong, 1,000 connections: p50 round trip (µs)", "pingpong", 1000, "p50_us", False),
    ("ping-pong, 1,000 connections: p99 round trip (µs)", "pingpong", 1000, "p99_us", False),
    ("pump, 1 connection: MB/s", "pump", 1, "mbps", True),
    ("pump, 100 connections: MB/s", "pump", 100, "mbps", True),
    ("scale, 10 connections: server CPU per event (µs)", "scale", 10, "cpu_us_per_event", False),
    ("scale, 1,000 connections: server CPU per event (µs)", "scale", 1000, "cpu_us_per_event", False),
    ("scale, 10,000 connections: server CPU per event (µs)", "scale", 10000, "cpu_us_per_event", False),
    ("scale, 10,000 connections: server memory per connection (bytes)", "scale", 10000, "mem_per_conn", False),
    ("connect rate, one echo each: connections/s", "connect", None, "rate", True),  # None: the slots
    ("connection per request: server CPU per connection (µs)", "connect", None, "cpu_us_per_event", False),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--perf")
    ap.add_argument("--data", required=True, help="where the plot data files go")
    ap.add_argument("--load-at-start", default="?")
    ap.add_argument("--command", default="`make bench-net`")
    ap.add_argument("--scale-rate", type=int, default=20000)
    ap.add_argument("--connect-slots", type=int, default=64)
    args = ap.parse_args()

    runs, skipped = parse(args.results)
    t = Table(runs, skipped)
    slots = args.connect_slots
    ncpu, cpu, kernel = machine()
    out = []
    p = out.append

    p("# Network benchmarks: Keel next to libuv, libevent and raw epoll\n")
    p(f"Written by `bench/net/run.sh` on {datetime.date.today().isoformat()}. One load generator "
      "(`loadgen.c`, a single-threaded epoll client) drives four echo servers on 127.0.0.1, one "
      "fresh server process per case, the servers in turn case by case. Figures only: nothing here passes or fails.\n")
    p(f"- Machine: {ncpu} cores, {cpu}, Linux {kernel}; load average when the run began: "
      f"{args.load_at_start}.")
    p("- Server pinned to core 0, load generator to core 1 (`taskset`), when there are two cores.")
    p(f"- Command: {args.command}.")
    for server, why in sorted(skipped.items()):
        name = dict(SERVERS).get(server, server)
        missing = why.split(" lacks ", 1)
        if len(missing) == 2:  # name the first missing call only
            calls = missing[1].split()
            why = f"{missing[0]} lacks {calls[0]}" + (f" and {len(calls) - 1} more calls" if len(calls) > 1 else "")
        p(f"- **Not measured: {name}**: {why}.")
    try:
        load = float(args.load_at_start.split()[0])
    except (ValueError, IndexError):
        load = 0
    if load > 0.5:
        p(f"- The machine was not quiet (load {load:.2f} at the start): other work shared these two "
          "cores, so read the figures as rough; take figures to compare on a quiet machine.")
    p("")

    p("## Figures\n")
    p("| figure | better | " + " | ".join(n for _, n in SERVERS) + " | Keel ÷ libuv | Keel ÷ raw epoll |")
    p("|---|---|" + "---:|" * (len(SERVERS) + 2))
    for label, mode, conns, key, higher in ROWS:
        c = conns if conns is not None else slots
        vals = [t.value(s, mode, c, key) for s, _ in SERVERS]
        cells = []
        for (s, _), v in zip(SERVERS, vals):
            e = t.errors(s, mode, c)
            cells.append(fmt(v) + (f" ({e} errors)" if e and not isinstance(v, str) else ""))
        keel = vals[-1]
        r_uv, r_ep = ratio(keel, vals[1]), ratio(keel, vals[0])
        p(f"| {label} | {'higher' if higher else 'lower'} | " + " | ".join(cells) +
          f" | {f'{r_uv:.2f}×' if r_uv else '-'} | {f'{r_ep:.2f}×' if r_ep else '-'} |")
    tick = "-" if "keel" in skipped else t.value("keel-tick", "connect", slots, "rate")
    p(f"| connect rate, Keel accepting on the one-second tick: connections/s | higher | | | | {fmt(tick)} | | |")
    quiet = "-" if "keel" in skipped else t.value("keel-quiet", "connect", slots, "cpu_us_per_event")
    q_uv = ratio(quiet, t.value("uv", "connect", slots, "cpu_us_per_event"))
    q_ep = ratio(quiet, t.value("epoll", "connect", slots, "cpu_us_per_event"))
    p(f"| connection per request, Keel with its reports off: server CPU per connection (µs) | lower | | | | "
      f"{fmt(quiet)} | {f'{q_uv:.2f}×' if q_uv else '-'} | {f'{q_ep:.2f}×' if q_ep else '-'} |")
    p("")

    p("## Goals\n")
    keel_ran = any(s == "keel" for s, _, _ in runs)
    if not keel_ran:
        p("Not judged: Keel was not measured in this run.\n")
    else:
        for label, mode, conns in [("ping-pong, 1", "pingpong", 1), ("ping-pong, 100", "pingpong", 100),
                                   ("ping-pong, 1,000", "pingpong", 1000), ("pump, 1", "pump", 1),
                                   ("pump, 100", "pump", 100)]:
            key = "mbps" if mode == "pump" else "rate"
            k = t.value("keel", mode, conns, key)
            r_uv, r_ep = ratio(k, t.value("uv", mode, conns, key)), ratio(k, t.value("epoll", mode, conns, key))
            verdict = lambda r, goal: "-" if r is None else f"{r:.2f}× ({'met' if r >= goal else 'missed'})"
            p(f"- {label}: Keel ≥ 1.0× libuv: {verdict(r_uv, 1.0)}; ≥ 0.9× raw epoll: {verdict(r_ep, 0.9)}.")
        growth = ratio(t.value("keel", "scale", 10000, "cpu_us_per_event"),
                       t.value("keel", "scale", 10, "cpu_us_per_event"))
        p(f"- Per-event cost at 10,000 connections ≤ 1.2× that at 10: "
          f"{'-' if growth is None else f'{growth:.2f}× (' + ('met' if growth <= 1.2 else 'missed') + ')'}.")
        mem = t.value("keel", "scale", 10000, "mem_per_conn")
        p(f"- Memory per idle connection under 2 KiB above the kernel's own: "
          f"{fmt(mem) if isinstance(mem, str) else f'{mem:.0f} bytes (' + ('met' if mem < 2048 else 'missed') + ')'}.")
        uv_cpu = t.value("uv", "connect", slots, "cpu_us_per_event")
        cpr = ratio(t.value("keel", "connect", slots, "cpu_us_per_event"), uv_cpu)
        cpr_quiet = ratio(t.value("keel-quiet", "connect", slots, "cpu_us_per_event"), uv_cpu)
        at_most = lambda r: "-" if r is None else f"{r:.2f}× ({'met' if r <= 1.0 else 'missed'})"
        p(f"- Connection per request: Keel's CPU per connection ≤ 1.0× libuv: {at_most(cpr)}; "
          f"with its reports off: {at_most(cpr_quiet)}.")
        p("\nWhere a goal is missed, the profile below shows where Keel's time goes.\n")

    p("## Plots\n")
    p("![requests per second against connections](rps.png)\n")
    p("![server CPU per event against connections](cost.png)\n")

    p("## How each figure is taken\n")
    p("- **ping-pong**: each connection sends 64 bytes, waits for all 64 to come back, and sends again. "
      "Requests per second over all connections; round trip from the send to the last byte of the echo.")
    p("- **pump**: each connection writes 8 KiB chunks while fewer than 64 KiB are unechoed, and reads "
      "whatever comes back; MB/s of echoed bytes (10^6 bytes). The window keeps a server that queues "
      "what it cannot send at once from being flooded. None of the servers turns Nagle's algorithm "
      "off (Keel gives no way to), so when an echo leaves no room for another chunk the generator "
      "acknowledges at once instead of letting a delayed ack stall the stream.")
    p(f"- **scale**: the connections share one schedule of {args.scale_rate:,} requests per second in all "
      "(each connection sends a ping-pong request in its turn, so at 10,000 connections each one sends "
      "every half second). A connection still waiting for its echo when its turn comes skips the turn, "
      "so a server that falls behind echoes fewer. Server CPU per event = the server's CPU time "
      "(utime + stime of `/proc/PID/stat`, all its threads, 10 ms resolution) over the measured window "
      "divided by the requests echoed in it. Memory per connection = the growth of the server's "
      "`VmRSS` from before the first connection to the end of the window, divided by the connections: "
      "the user-space memory a connection costs, above the kernel's own socket buffers (which are not "
      "in RSS).")
    p(f"- **connect rate** and **connection per request**: {slots} connections at a time, each connecting, "
      "completing one 64-byte echo and closing (the client closes first, after the echo, with every "
      "server); connections per second, and the server's CPU time over the window divided by the "
      "connections completed in it. Keel accepts at once here and writes one report per connection (its "
      "peer's end, a level-4 line) to its log file; the row with its reports off is the same load with "
      "only fatal reports written (`ECHO_KEEL_QUIET`). With accepts on the one-second tick a connection "
      f"waits up to a second to be accepted, so that mode accepts about {slots} per second here: as many "
      "as wait.")
    p("- Every connection completes one echo before the clock starts, so all are accepted; then a "
      "warm-up, then the measured window. With `REPEAT=n` each case runs n times and the table keeps "
      "the run that echoed the most, with all its figures. The servers: `echo_epoll.c` (edge-triggered epoll, reads "
      "until a short read, queues only what a send did not take), `echo_uv.c` (`uv_listen`, "
      "`uv_read_start`, `uv_write` of a copy of each read), `echo_event.c` (a `bufferevent` per "
      "connection, input moved to output) and `echo_keel.c` (echo in the read callback; what a send "
      "did not take is kept and sent from the write callback). Keel's server writes the library's "
      "reports (one per closed connection) to a log file in `build-bench/net/`.")
    p("")

    p("## Where Keel's time goes\n")
    prof = open(args.perf).read() if args.perf and os.path.exists(args.perf) else ""
    if prof.strip():
        p("`perf record -g` of the Keel server (all its threads) under ping-pong with 100 connections; "
          "self time by library, then by symbol (1% and more):\n")
        p("```")
        text = "\n".join(l.rstrip() for l in prof.splitlines() if not l.startswith("#"))
        p(re.sub(r"\n{3,}", "\n\n", text).strip("\n"))
        p("```")
    else:
        p("No profile in this run (Keel not measured, or `perf` unavailable).")
    print("\n".join(out))

    write_dat(os.path.join(args.data, "rps.dat"), t, "pingpong", [1, 100, 1000], "rate")
    write_dat(os.path.join(args.data, "cost.dat"), t, "scale", [10, 1000, 10000], "cpu_us_per_event")


def write_dat(path, t, mode, conns_list, key):
    """Columns: connections, then one per server that has any figure."""
    cols = [(s, n) for s, n in SERVERS
            if any(isinstance(t.value(s, mode, c, key), float) for c in conns_list)]
    with open(path, "w") as f:
        f.write("connections " + " ".join(f'"{n}"' for _, n in cols) + "\n")
        for c in conns_list:
            vals = [t.value(s, mode, c, key) for s, _ in cols]
            f.write(f"{c} " + " ".join(f"{v:g}" if isinstance(v, float) else "?" for v in vals) + "\n")


if __name__ == "__main__":
    main()
