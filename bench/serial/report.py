#!/usr/bin/env python3
"""Turns the serial benchmark's result lines and profiles into
bench/serial/report.md (on standard output) and the data files that plots.gp
draws."""
import argparse
import collections
import datetime
import os
import platform
import re
import subprocess

BACKENDS = [("keel", "Keel"), ("sp-read", "libserialport, blocking read"),
            ("sp-wait", "libserialport, sp_wait loop")]
PEERS = ["sp-read", "sp-wait"]


def parse(path):
    """[fields] of every run, and {backend: why it was skipped}."""
    runs, skipped = [], {}
    for line in open(path):
        fields = {k: v.strip('"') for k, v in re.findall(r'([\w-]+)=("[^"]*"|\S+)', line)}
        if "skipped" in fields and "mode" not in fields:
            skipped[fields["backend"]] = fields["skipped"]
        elif "mode" in fields:
            if "secs" in fields and float(fields["secs"]) > 0:  # how busy the reader was, in % of a core
                fields["busy_pct"] = f'{float(fields["cpu_ms"]) / float(fields["secs"]) / 10:.1f}'
            runs.append(fields)
    return runs, skipped


class Figures:
    """The best round of each figure, and what every round lost."""

    def __init__(self, runs):
        self.runs = runs

    def rounds(self, backend, mode, ports):
        return [r for r in self.runs if r["backend"] == backend and r["mode"] == mode
                and int(r["ports"]) == ports]

    def good(self, backend, mode, ports):
        return [r for r in self.rounds(backend, mode, ports) if "error" not in r]

    def best(self, backend, mode, ports, key, higher):
        """The best value over the rounds, or a text saying why there is none."""
        rounds = self.rounds(backend, mode, ports)
        if not rounds:
            return "-"
        vals = [float(r[key]) for r in self.good(backend, mode, ports) if key in r]
        if not vals:
            return "failed: " + rounds[0].get("error", "no figure")
        return max(vals) if higher else min(vals)

    def spread(self, backend, mode, ports, key):
        vals = sorted(float(r[key]) for r in self.good(backend, mode, ports) if key in r)
        return (vals[0], vals[-1]) if vals else None

    def best_latency_run(self, backend, ports):
        rounds = [r for r in self.good(backend, "latency", ports) if "p50_us" in r]
        return min(rounds, key=lambda r: float(r["p50_us"])) if rounds else None

    def losses(self, backend):
        """(bytes checked, bytes lost, bad reads, extra bytes, failed runs) over every run."""
        rs = [r for r in self.runs if r["backend"] == backend]
        total = lambda k: sum(int(r.get(k, 0)) for r in rs)
        failed = sum(1 for r in rs if "error" in r)
        return total("bytes"), total("lost"), total("bad"), total("extra"), failed


def fmt(v):
    if isinstance(v, str):
        return v
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def machine():
    cpu = "?"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                cpu = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return os.cpu_count(), cpu, platform.release()


# (label, mode, ports, key, higher is better)
ROWS = [
    ("throughput, 1 port: MiB/s", "throughput", 1, "mib_per_s", True),
    ("CPU per MiB, 1 port: ms", "throughput", 1, "cpu_ms_per_mib", False),
    ("context switches per MiB, 1 port", "throughput", 1, "switches_per_mib", False),
    ("reader's CPU in the fastest round, 1 port: % of a core", "throughput", 1, "busy_pct", False),
    ("latency, 1 port: p50 µs", "latency", 1, "p50_us", False),
    ("latency, 1 port: p99 µs (of the best p50's round)", "latency", 1, "p99_us", False),
    ("CPU per message, 1 port: µs", "latency", 1, "cpu_us_per_msg", False),
    ("context switches per message, 1 port", "latency", 1, "switches_per_msg", False),
    ("throughput, 8 ports: MiB/s", "throughput", 8, "mib_per_s", True),
    ("CPU per MiB, 8 ports: ms", "throughput", 8, "cpu_ms_per_mib", False),
    ("context switches per MiB, 8 ports", "throughput", 8, "switches_per_mib", False),
    ("reader's CPU in the fastest round, 8 ports: % of a core", "throughput", 8, "busy_pct", False),
    ("latency, 8 ports: p50 µs", "latency", 8, "p50_us", False),
    ("latency, 8 ports: p99 µs (of the best p50's round)", "latency", 8, "p99_us", False),
    ("CPU per message, 8 ports: µs", "latency", 8, "cpu_us_per_msg", False),
    ("context switches per message, 8 ports", "latency", 8, "switches_per_msg", False),
]
# (label, mode, ports, key, higher is better, goal as a ratio Keel ÷ best peer)
GOALS = [
    ("throughput, 1 port", "throughput", 1, "mib_per_s", True, 1.0),
    ("CPU per MiB, 1 port", "throughput", 1, "cpu_ms_per_mib", False, 1.0),
    ("latency p50, 1 port", "latency", 1, "p50_us", False, 1.2),
    ("throughput, 8 ports", "throughput", 8, "mib_per_s", True, 1.0),
    ("CPU per MiB, 8 ports", "throughput", 8, "cpu_ms_per_mib", False, 1.0),
    ("latency p50, 8 ports", "latency", 8, "p50_us", False, 1.2),
]


def value(f, backend, mode, ports, key, higher):
    """The figure of a row, the best of its rounds; p99 comes from the round
    with the best p50, the one the plot shows."""
    if key == "busy_pct":  # from the run that moved the most, as its CPU goes with its speed
        rounds = [r for r in f.good(backend, mode, ports) if key in r]
        return float(max(rounds, key=lambda r: float(r["mib_per_s"]))[key]) if rounds else "-"
    if key == "p99_us":
        run = f.best_latency_run(backend, ports)
        return float(run[key]) if run and key in run else f.best(backend, mode, ports, key, higher)
    return f.best(backend, mode, ports, key, higher)


def best_peer(f, mode, ports, key, higher):
    vals = [(value(f, p, mode, ports, key, higher), p) for p in PEERS]
    vals = [(v, p) for v, p in vals if isinstance(v, float)]
    if not vals:
        return None, None
    return (max if higher else min)(vals)


# ---- profiles --------------------------------------------------------------

def read_profiles(path):
    """{(backend, mode): {"line": result fields, "syscalls": {name: count}, "samples": file}}."""
    prof = collections.defaultdict(dict)
    if not path or not os.path.exists(path):
        return prof
    cur = None
    for line in open(path):
        line = line.rstrip("\n")
        m = re.match(r"=== (\w+) backend=(\S+) mode=(\S+)\s*(.*)", line)
        if m:
            kind, backend, mode, rest = m.groups()
            cur = prof[(backend, mode)]
            fields = {k: v for k, v in re.findall(r"([\w-]+)=(\S+)", rest)}
            if kind == "samples":
                cur["samples"] = rest.strip()
            elif kind == "profile":
                cur["line"] = fields
            elif kind == "syscalls":
                cur["stat_line"] = fields
                cur["syscalls"] = {}
            cur["_kind"] = kind
            continue
        if cur is not None and cur.get("_kind") == "syscalls" and "," in line:
            count, event = line.split(",", 1)
            try:
                cur["syscalls"][event.replace("syscalls:sys_enter_", "")] = int(count)
            except ValueError:
                pass
    return prof


# Where a sample of the reading process falls, from the kernel functions on
# its call chain (ch) and its innermost frame (top: symbol, library); the
# first match wins.
CATEGORIES = [
    ("waiting in read for the terminal's receive work (__flush_work in n_tty_read)",
     lambda ch, top: "__flush_work" in ch and "n_tty_read" in ch),
    ("waiting in poll for the terminal's receive work (__flush_work in n_tty_poll)",
     lambda ch, top: "__flush_work" in ch),
    ("read: waking the writer and restarting the receive work (__wake_up, queue_work_on)",
     lambda ch, top: "n_tty_read" in ch and ("__wake_up" in ch or "queue_work_on" in ch)),
    ("read: copying out of the terminal (n_tty_read, the rest)", lambda ch, top: "n_tty_read" in ch),
    ("read: system call entry and the rest", lambda ch, top: "ksys_read" in ch),
    ("ioctl FIONREAD (n_tty_ioctl, with the terminal's settings lock)", lambda ch, top: "__x64_sys_ioctl" in ch),
    ("wait in ppoll (the rest: poll, sleep, wake-up)", lambda ch, top: "__x64_sys_ppoll" in ch),
    ("wait in pselect6 (the rest: select, sleep, wake-up)", lambda ch, top: "__x64_sys_pselect6" in ch),
    ("wait in poll, sp_wait (the rest)", lambda ch, top: "__x64_sys_poll" in ch),
    ("futex (locks, the end of the run)", lambda ch, top: "__x64_sys_futex" in ch),
    ("preempted on the way out of a system call", lambda ch, top: "exit_to_user_mode_loop" in ch),
    ("other system calls", lambda ch, top: "do_syscall_64" in ch),
    ("kernel, outside system calls (interrupts, scheduling)", lambda ch, top: top[1] == KERNEL),
    ("the benchmark's check of every byte (memcmp) and clock",
     lambda ch, top: any(w in top[0] for w in ("memcmp", "clock_gettime", "consume"))),
    ("Keel's code (libkeel)", lambda ch, top: "libkeel" in top[1]),
    ("libserialport's code", lambda ch, top: "libserialport" in top[1]),
    ("C library (mutex, memcpy, memmove, system call stubs)", lambda ch, top: "libc" in top[1]),
    ("other user code", lambda ch, top: True),
]
KERNEL = "[kernel.kallsyms]"


def read_samples(path, pid):
    """Counts per group, self counts per symbol, and the number of samples, over
    every thread of process pid (the device process has another)."""
    cats, syms, n = collections.Counter(), collections.Counter(), 0
    if not path or not os.path.exists(path) or pid is None:
        return cats, syms, 0
    chain, owner = [], None

    def flush():
        nonlocal n
        if owner != pid or not chain:
            return
        n += 1
        ch = {s for s, d in chain if d == KERNEL}
        top = chain[0]
        cats[next(label for label, test in CATEGORIES if test(ch, top))] += 1
        syms[f"{top[0]} ({os.path.basename(top[1]).strip('[]')})"] += 1

    for line in open(path, errors="replace"):
        m = re.match(r"^\s*(\d+)/(\d+)\s*$", line)
        if m:
            flush()
            owner, chain = m.group(1), []
            continue
        m = re.match(r"^\s+[0-9a-f]+ (.+) \((.*)\)$", line)
        if m:
            chain.append((m.group(1), m.group(2)))
    flush()
    return cats, syms, n


def pace(f):
    """Whether the readers set the pace of the throughput cases."""
    busy = [(value(f, b, "throughput", n, "busy_pct", False), name, n) for b, name in BACKENDS for n in (1, 8)]
    busy = [x for x in busy if isinstance(x[0], float)]
    if not busy:
        return ""
    full = [f"{name} at {n} port{'s' if n > 1 else ''} ({v:.0f}%)" for v, name, n in busy if v >= 70]
    text = ("The reader mostly does not set the pace: in the fastest rounds its process used "
            f"{min(v for v, _, _ in busy):.0f}–{max(v for v, _, _ in busy):.0f}% of a core (the *reader's "
            "CPU* rows); the rate is what the device process and the terminals' receive work, sharing "
            "the two cores with it, let through, so throughput tells the readers apart less than CPU "
            "per MiB does.")
    if full:
        text += (" Near a whole core, where the reader's cost per MiB starts to set the rate: "
                 + ", ".join(full) + ".")
    return text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--profile")
    ap.add_argument("--data", required=True, help="where the plot data files go")
    ap.add_argument("--load-at-start", default="?")
    ap.add_argument("--load-at-end", default="?")
    ap.add_argument("--command", default="`make bench-serial`")
    args = ap.parse_args()

    runs, skipped = parse(args.results)
    f = Figures(runs)
    ncpu, cpu, kernel = machine()
    rounds = max((int(r.get("round", 1)) for r in runs), default=0)
    out = []
    p = out.append

    p("# Serial benchmarks: Keel next to libserialport\n")
    p(f"Written by `bench/serial/run.sh` on {datetime.date.today().isoformat()}. Each case opens fresh "
      "pseudo-terminal pairs (`openpty`); a forked device process writes into the masters and the "
      "measured process reads the slaves, through Keel or through libserialport 0.1.1 (Debian's "
      "`libserialport-dev`, linked into its own program only). The backends take turns case by case, "
      f"{rounds} round{'s' if rounds != 1 else ''}; each figure below is the best of its rounds.\n")
    p(f"- Machine: {ncpu} cores, {cpu}, Linux {kernel}; load average when the run began: "
      f"{args.load_at_start}, when it ended: {args.load_at_end}.")
    p("- Reader pinned to core 0 (`taskset`, so all its threads share it), device process to core 1, "
      "when there are two cores. The terminals' own receive work (the kernel worker that moves bytes "
      "from the master into the slave's buffer) runs wherever the kernel puts it and is counted for "
      "no one.")
    p(f"- Command: {args.command}.")
    for backend, why in sorted(skipped.items()):
        p(f"- **Not measured: {dict(BACKENDS).get(backend, backend)}**: {why}.")
    try:
        load = float(args.load_at_start.split()[0])
    except (ValueError, IndexError):
        load = 0
    if load > 0.5:
        p(f"- The machine was not quiet (load {load:.2f} at the start): other work shared these two "
          "cores, so single rounds vary by tens of percent (see the spread below); read ratios near "
          "1.0 as a tie, and take figures to compare on a quiet machine.")
    p("")

    p("## Figures\n")
    p("| figure | better | " + " | ".join(n for _, n in BACKENDS) + " | Keel ÷ best libserialport |")
    p("|---|---|" + "---:|" * (len(BACKENDS) + 1))
    for label, mode, ports, key, higher in ROWS:
        vals = [value(f, b, mode, ports, key, higher) for b, _ in BACKENDS]
        peer, _ = best_peer(f, mode, ports, key, higher)
        r = vals[0] / peer if isinstance(vals[0], float) and peer else None
        p(f"| {label} | {'higher' if higher else 'lower'} | " + " | ".join(fmt(v) for v in vals) +
          f" | {f'{r:.2f}×' if r else '-'} |")
    cells = []
    for b, _ in BACKENDS:
        checked, lost, bad, extra, failed = f.losses(b)
        if checked == 0 and failed == 0:
            cells.append("-")
            continue
        ok = lost == 0 and bad == 0 and extra == 0 and failed == 0
        cells.append(("0 of " if ok else f"**{lost:,} lost, {bad} bad reads, {extra} extra, {failed} failed runs** of ")
                     + f"{checked / 1048576:,.0f} MiB")
    p("| bytes lost or out of order, every run | fewer | " + " | ".join(cells) + " | |")
    p("")
    p("Spread over the rounds (lowest – highest), which shows how much the machine moved the figures:\n")
    p("| figure | " + " | ".join(n for _, n in BACKENDS) + " |")
    p("|---|" + "---:|" * len(BACKENDS))
    for label, mode, ports, key, higher in ROWS:
        if key in ("cpu_us_per_msg", "switches_per_msg", "switches_per_mib", "busy_pct"):
            continue
        if key == "p99_us":
            label = label.replace(" (of the best p50's round)", "")
        cells = []
        for b, _ in BACKENDS:
            s = f.spread(b, mode, ports, key)
            cells.append(f"{fmt(s[0])} – {fmt(s[1])}" if s else "-")
        p(f"| {label} | " + " | ".join(cells) + " |")
    p("")

    p("## Goals\n")
    missed = []
    if not f.good("keel", "throughput", 1) and not f.good("keel", "latency", 1):
        p("Not judged: Keel was not measured in this run.\n")
    else:
        p("Against the better of the two libserialport loops, figure by figure:\n")
        for label, mode, ports, key, higher, goal in GOALS:
            k = value(f, "keel", mode, ports, key, higher)
            peer, who = best_peer(f, mode, ports, key, higher)
            if not isinstance(k, float) or peer is None:
                p(f"- {label}: not judged (a side has no figure).")
                continue
            r = k / peer
            ok = r >= goal if higher else r <= goal
            want = f"≥ {goal:.1f}×" if higher else f"≤ {goal:.1f}×"
            note = ""
            ks, ps = f.spread("keel", mode, ports, key), f.spread(who, mode, ports, key)
            if not ok and ks and ps and ks[0] <= ps[1] and ps[0] <= ks[1]:
                note = " (the two sides' rounds overlap: a small margin on this machine)"
            shown = f"{r:.2f}"
            if float(shown) == goal:  # so that a miss never reads as exactly the goal
                shown = f"{r:.3f}"
            p(f"- {label}: Keel {fmt(k)} against {fmt(peer)} ({dict(BACKENDS)[who]}): {shown}×, goal {want}: "
              f"**{'met' if ok else 'missed'}**{note}.")
            if not ok:
                missed.append((label, mode))
        checked, lost, bad, extra, failed = f.losses("keel")
        ok = lost == 0 and bad == 0 and extra == 0 and failed == 0 and checked > 0
        p(f"- 0 bytes lost, every byte in order, in every run: {checked / 1048576:,.0f} MiB checked, "
          f"{lost:,} lost, {bad} reads out of order, {failed} failed runs: **{'met' if ok else 'missed'}**.")
        if not ok:
            missed.append(("bytes lost", "throughput"))
        p("")
        if missed:
            p("Missed: " + "; ".join(m for m, _ in missed) + ". The profiles below show where Keel's time goes.\n")
        else:
            p("All goals met. The profiles below show where the time goes all the same.\n")

    p("## Plot\n")
    p("![latency distribution, 1 port and 8 ports](latency.png)\n")

    p("## How each figure is taken\n")
    p("- **The terminals**: the same for every backend. Each pair comes from `openpty`; the slave is "
      "put in raw mode at 115200 baud (which a pseudo-terminal does not enforce) before the library "
      "opens it, and the library then sets the same (8 data bits, no parity, 1 stop bit, no flow "
      "control). The measured process keeps its own descriptor of each slave open, so no backend "
      "can hang a pair up.")
    p("- **Keel**: `os_comm_client_create_dev(path, 115200, 8, 'N', 1)`, `os_comm_client_bind_read`, "
      "`os_comm_client_open`; the read callback, on the port's I/O thread, calls "
      "`os_comm_client_read` into a 4,096-byte buffer until it returns 0.")
    p("- **libserialport, blocking read**: `sp_get_port_by_name`, `sp_open`, the same settings; one "
      "thread per port loops on `sp_blocking_read_next(port, buf, 4096, 0)` (wait without a limit, "
      "return what is there). **sp_wait loop**: one thread for all ports loops on `sp_wait` of an "
      "event set with every port's `SP_EVENT_RX_READY`, then `sp_nonblocking_read` of each port "
      "until it returns 0. The better of the two is the reference for each goal. libserialport "
      "0.1.1 refuses a pseudo-terminal twice over: `sp_get_port_by_name` wants an entry under "
      "`/sys/class/tty` with a `device` link, and `sp_open` fails on the modem-line requests "
      "(`TIOCMGET`, `TIOCMBIC`), which a pseudo-terminal does not have. Its program therefore runs "
      "in a mount namespace of its own with a small tmpfs over `/sys/class/tty` holding such an "
      "entry, and answers those four modem-line requests itself as a port with every line low; "
      "reading and waiting go to the system untouched.")
    p("- **Throughput**: the device process writes 4,096-byte pieces of one pseudo-random stream "
      "into every master as fast as they take them (non-blocking, `poll`), for the set time. "
      "MiB/s = bytes received over the time from the start signal to the last byte read (all "
      "ports together). CPU per MiB = the measured process's user + system time (`getrusage`, "
      "all its threads) over the same window, per MiB received. " + pace(f) + " Context switches: "
      "the process's voluntary and involuntary switches (`getrusage`), which count its sleeps.")
    p("- **Latency**: the device writes one 16-byte message to each port, then pauses (the "
      "`PAUSE_US` of the command), many times over; for each message, the time from just before "
      "its `write` on the master to the moment the reader holds its last byte (Keel: in the read "
      "callback; libserialport: when its read returns), on the monotonic clock the two processes "
      "share. p50 and p99 over all messages of all ports; the round with the best p50 is kept, "
      "with its p99. CPU per message = the measured process's CPU time over the messages.")
    p("- **Bytes lost**: every read is compared, in order, with the stream the device wrote (which "
      "repeats only every 65,521 bytes, a prime, so no lost buffer's worth can line up again), and "
      "the count received with the count written. A run fails when bytes are missing, out of "
      "order or more than were written.")
    p("")

    prof = read_profiles(args.profile)
    p("## Where the time goes\n")
    if not prof:
        p("No profile in this run (`perf` unavailable, or Keel not measured).")
    else:
        p("`perf record -g` (the machine's `cpu-clock` at 999 Hz) of one extra one-port run per "
          "backend and mode, samples of the measured process only (all its threads; not the device "
          "process), each sample put in the first matching group by its kernel call chain; and "
          "`perf stat` of the system calls in one more run.\n")
        groups = [(b, m) for m in ("throughput", "latency") for b, _ in BACKENDS if (b, m) in prof]
        shares = {}
        for b, m in groups:
            entry = prof[(b, m)]
            pid = entry.get("line", {}).get("pid")
            shares[(b, m)] = read_samples(entry.get("samples"), pid)
        for mode in ("throughput", "latency"):
            cols = [(b, n) for b, n in BACKENDS if (b, mode) in shares and shares[(b, mode)][2] > 0]
            if not cols:
                continue
            per = "MiB" if mode == "throughput" else "message"
            p(f"### {'Throughput' if mode == 'throughput' else 'Latency'}, 1 port\n")
            p("| share of the reading process's samples | " + " | ".join(n for _, n in cols) + " |")
            p("|---|" + "---:|" * len(cols))
            labels = [lab for lab, _ in CATEGORIES]
            for lab in labels:
                vals = [shares[(b, mode)][0][lab] / shares[(b, mode)][2] for b, _ in cols]
                if max(vals) < 0.005:
                    continue
                p(f"| {lab} | " + " | ".join(f"{v * 100:.1f}%" for v in vals) + " |")
            p("| samples | " + " | ".join(str(shares[(b, mode)][2]) for b, _ in cols) + " |")
            # System calls per unit of work.
            names = ["read", "ioctl", "ppoll", "pselect6", "futex"]
            rows = []
            for b, _ in cols:
                e = prof[(b, mode)]
                line = e.get("stat_line", {})
                if mode == "throughput":
                    unit = float(line.get("bytes", 0)) / 1048576
                else:
                    unit = float(line.get("samples", 0))
                rows.append({s: e.get("syscalls", {}).get(s, 0) / unit if unit else None for s in names})
            p(f"| system calls per {per}: " + ", ".join(names) + " | " + " | ".join(
                ", ".join("-" if r[s] is None else (f"{r[s]:,.0f}" if mode == "throughput" else f"{r[s]:.2f}")
                          for s in names) for r in rows) + " |")
            if mode == "throughput":
                rd = [(b, r.get("read")) for (b, _), r in zip(cols, rows)]
                p("| bytes per read call | " + " | ".join(
                    "-" if not v else f"{1048576 / v:,.0f}" for _, v in rd) + " |")
            p("")
            k = shares.get(("keel", mode))
            if k and k[2]:
                p(f"Keel's heaviest symbols in this case (self time, share of its samples):\n")
                p("```")
                for sym, c in k[1].most_common(14):
                    p(f"{c / k[2] * 100:6.2f}%  {sym}")
                p("```\n")
        analysis(f, prof, shares, p)
    print("\n".join(out))
    write_cdfs(args.data, f)


def per_unit_calls(prof, backend, mode):
    """{system call: count per MiB (throughput) or per message (latency)}."""
    e = prof.get((backend, mode), {})
    line = e.get("stat_line", {})
    unit = float(line.get("bytes", 0)) / 1048576 if mode == "throughput" else float(line.get("samples", 0))
    return {k: v / unit for k, v in e.get("syscalls", {}).items()} if unit else {}


def share(shares, backend, mode, prefix):
    cats, _, n = shares.get((backend, mode), ({}, {}, 0))
    return sum(c for lab, c in cats.items() if lab.startswith(prefix)) / n * 100 if n else 0.0


def cpu_verdict(f):
    """One sentence on how Keel's CPU per MiB came out against each loop."""
    parts = []
    for ports in (1, 8):
        k = f.best("keel", "throughput", ports, "cpu_ms_per_mib", False)
        for b in PEERS:
            v = f.best(b, "throughput", ports, "cpu_ms_per_mib", False)
            if isinstance(k, float) and isinstance(v, float):
                parts.append(f"{k / v:.2f}× the {'blocking loop' if b == 'sp-read' else '`sp_wait` loop'}"
                             f"{'' if ports == 1 else ' at 8 ports'}")
    return (" In this run Keel's best CPU per MiB was " + ", ".join(parts) + ".") if parts else ""


def port_verdict(f):
    """How long after its own write each backend served the last port written."""
    cells = []
    for b, name in BACKENDS:
        run = f.best_latency_run(b, 8)
        if run and "p50_by_port_us" in run:
            ports = run["p50_by_port_us"].split(",")
            cells.append(f"{name} {ports[0]} µs for the first port written and {ports[-1]} µs for the last")
    if not cells:
        return ""
    text = " Each port's p50 (table above): " + "; ".join(cells) + "."
    k, r = f.best("keel", "latency", 8, "p50_us", False), f.best("sp-read", "latency", 8, "p50_us", False)
    if isinstance(k, float) and isinstance(r, float):
        text += (f" Against the blocking loop, which also has a thread per port, Keel's 8-port p50 was "
                 f"{k / r:.2f}×: the design sets the level, and what separates the two is each wake-up's "
                 "own path, where Keel makes the one extra system call described above.")
    return text


def analysis(f, prof, shares, p):
    """What the profiles say about Keel, with this run's numbers. The
    mechanics are those of serial/comm_io.cc and do not change from run to
    run; the numbers do."""
    p("### Latency, 8 ports: each port's own p50\n")
    p("The device writes the eight ports one after the other, a few microseconds apart; the round with "
      "the best p50 of each backend:\n")
    p("| backend | " + " | ".join(f"port {i + 1}" for i in range(8)) + " |")
    p("|---|" + "---:|" * 8)
    for b, name in BACKENDS:
        run = f.best_latency_run(b, 8)
        if run and "p50_by_port_us" in run:
            p(f"| {name} | " + " | ".join(run["p50_by_port_us"].split(",")) + " |")
    p("")
    p("### What it means for Keel\n")
    k, s = per_unit_calls(prof, "keel", "throughput"), per_unit_calls(prof, "sp-read", "throughput")
    if k and s:
        calls_k = k.get("read", 0) + k.get("ioctl", 0) + k.get("ppoll", 0)
        calls_s = s.get("read", 0) + s.get("pselect6", 0)
        p(f"- **Small reads, and a question per full buffer** (throughput). Keel made {k.get('read', 0):,.0f} "
          f"`read`, {k.get('ioctl', 0):,.0f} `ioctl` and {k.get('ppoll', 0):,.0f} `ppoll` calls per MiB "
          f"({calls_k:,.0f} in all, {1048576 / k['read']:,.0f} bytes per read); libserialport's blocking "
          f"loop {s.get('read', 0):,.0f} `read` and {s.get('pselect6', 0):,.0f} `pselect6` calls ({calls_s:,.0f}, "
          f"{1048576 / s['read']:,.0f} bytes per read). `comm_read_step` reads the port into the client's "
          "buffer of `MAX_READ_BUF_SIZE` (2,048 bytes), half of what the terminal holds (4,096) and of "
          "what the peer asks for, and reads again as soon as the callback has emptied it, so a read "
          "often takes only what arrived meanwhile. Every read that takes bytes out of the terminal "
          "wakes the writer waiting for room and restarts the terminal's receive work (`__wake_up` and "
          "`queue_work_on` inside `n_tty_read`): "
          f"{share(shares, 'keel', 'throughput', 'read: waking'):.1f}% of Keel's samples, so more, "
          "smaller reads pay that more often. Each full buffer also costs an `ioctl(FIONREAD)` in "
          "`comm_read_step` (does the port hold more before the callback is called?), which in "
          "`n_tty_ioctl` takes the terminal's settings lock for writing, against the receive work: "
          f"{share(shares, 'keel', 'throughput', 'ioctl'):.1f}%.")
        p("- **Sleeping less often** (throughput). The blocking loop sleeps before every read, in "
          "`pselect6`, and when the buffer is empty its poll first waits for the receive work "
          f"(`__flush_work` in `n_tty_poll`): {share(shares, 'sp-read', 'throughput', 'waiting in poll'):.1f}% "
          f"of its samples in that wait and {share(shares, 'sp-read', 'throughput', 'wait in pselect6'):.1f}% "
          f"in the rest of `pselect6`. Keel sleeps in `ppoll` only {k.get('ppoll', 0):,.0f} times per MiB "
          f"({share(shares, 'keel', 'throughput', 'wait in ppoll'):.1f}%), but it reads again at once after "
          "each read, and a read that finds the terminal's buffer empty waits in `__flush_work` for the "
          "receive work in flight before it returns what that brought, or `EAGAIN` "
          f"({share(shares, 'keel', 'throughput', 'waiting in read'):.1f}% of Keel's samples in `n_tty_read`, "
          f"{share(shares, 'keel', 'throughput', 'waiting in poll'):.1f}% in `n_tty_poll`). What Keel saves in sleeps it spends in these waits and its extra calls. "
          "The `sp_wait` loop reads "
          "until nothing is left, as Keel does, but 4,096 bytes at a time, without the `ioctl` and "
          "without a lock of its own." + cpu_verdict(f))
    kl, sl = per_unit_calls(prof, "keel", "latency"), per_unit_calls(prof, "sp-read", "latency")
    p("- **The empty read before the callback** (latency). `comm_read_step` reads until `EAGAIN` and "
      "only then calls the callback, so every wake-up ends with a read that finds nothing"
      + (f" ({kl.get('read', 0):.2f} reads per message against the blocking loop's {sl.get('read', 0):.2f}"
         + ("; fewer than one where the profile's shorter pause let two messages arrive together"
            if sl.get("read", 1) < 0.98 else "") + ")" if kl and sl else "")
      + ". That read sits between the message's arrival and the callback: one system call more than "
      "the peer makes before its read returns, and on a terminal an empty read may also wait for the "
      "receive work still finishing (`__flush_work`: "
      f"{share(shares, 'keel', 'latency', 'waiting in read'):.1f}% of Keel's samples in this case).")
    sw = [value(f, b, "latency", 8, "switches_per_msg", False) for b in ("keel", "sp-wait")]
    p("- **One thread per port** (8 ports). Every port has its own I/O thread, so a burst that touches "
      "eight ports wakes eight threads, one context switch each, on the one core the reader has; "
      "libserialport's `sp_wait` loop wakes one thread and reads all eight ports in that one wake-up"
      + (f" ({fmt(sw[0])} against {fmt(sw[1])} context switches per message)" if all(isinstance(v, float) for v in sw)
         else "") + "." + port_verdict(f))
    p(f"- **Keel's own code and locks** (`comm_io_thread`, `comm_read_step`, `os_comm_client_read`, "
      "the client's mutex taken for every read of the port and of the buffer): "
      f"{share(shares, 'keel', 'throughput', 'Keel') + share(shares, 'keel', 'throughput', 'C library'):.1f}% "
      "of Keel's samples at full speed (libkeel plus the C library's mutex and copy calls), "
      f"{share(shares, 'keel', 'latency', 'Keel') + share(shares, 'keel', 'latency', 'C library'):.1f}% "
      "in the latency case. The time is in the kernel, in the calls Keel chooses to make.")
    p("")


def write_cdfs(data, f):
    """One file per backend and port count: latency (µs), fraction at or below,
    from the round with the best p50; at most 400 points."""
    index = []
    for ports in (1, 8):
        for b, name in BACKENDS:
            run = f.best_latency_run(b, ports)
            if run is None:
                continue
            src = os.path.join(data, f"lat-{b}-{ports}-{run.get('round', 1)}.txt")
            if not os.path.exists(src):
                continue
            lat = [float(x) for x in open(src) if x.strip()]
            if not lat:
                continue
            dst = os.path.join(data, f"cdf-{b}-{ports}.dat")
            step = max(1, len(lat) // 400)
            with open(dst, "w") as out:
                for i in list(range(0, len(lat), step)) + [len(lat) - 1]:
                    out.write(f"{lat[i]:.2f} {(i + 1) / len(lat):.4f}\n")
            index.append((ports, dst, name))
    # The plot commands themselves, for plots.gp to load: gnuplot cannot
    # easily skip a backend whose file is missing.
    with open(os.path.join(data, "cdf.plot"), "w") as out:
        for ports in (1, 8):
            series = [i for i in index if i[0] == ports]
            out.write(f'set title "{ports} port{"s" if ports > 1 else ""}: time from the write to the reader"\n')
            out.write("plot " + ", ".join(f"'{d}' using 1:2 with lines lw 2 title '{n}'" for _, d, n in series)
                      + "\n" if series else "clear\n")


if __name__ == "__main__":
    main()
