#!/usr/bin/env python3
"""The figures of a running device, each beside its yardstick in the same run.

Real processes on a temporary device image: the transport (`tarnvex-device
run`, send delay 2000 ms), Tarnvex on Qt's offscreen platform with 512 rules
that cover none of the messages, and for each latency message a headless
compose window (`tarnvex-device messaging --store SMS --headless`) that the
hold closes.

  hold latency   from the commit of the save to the commit of the message's
                 move into Outbox\\Tarnvex, as an observer polling the service
                 file every 0.5 ms sees them (a hold quicker than one poll
                 counts as one poll); and from the start of the save (the
                 service stamps the message's delivery time) to the move (it
                 stamps its time in the folder), which adds the save itself.
                 64 B and 8 MiB bodies; p50 and p99 against the send delay.
  one new hold   with N messages held already: CPU time of Tarnvex and the
                 transport from the save until its walk of the held folder is
                 over, less what they spend idle over the same time; Tarnvex's
                 memory (resident, and its peak).
  idle           Tarnvex's wake-ups a second (voluntary context switches of
                 all its threads) and its CPU, over 10 s with nothing to do.

Usage: bench/hold_figures.py [--bin build/bench/bin] [--latency 100]
       [--large 20] [--held 1000]
Build first: make bench (or cmake --build build/bench --target Tarnvex
tarnvex-device).
"""
import argparse
import glob
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

SEND_DELAY_MS = 2000
RULES = 512
RULES_SQL = ("CREATE TABLE Rules (Id INT UNIQUE, Sender TEXT, Recipients TEXT, "
             "Message TEXT, Tokens TEXT, Certainty INT);")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, len(values) * p // 100)]


def run_ns(pid):
    """CPU time of every thread of a process, in ns."""
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def wakeups(pid):
    """Voluntary context switches of each thread, by thread id."""
    counts = {}
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        counts[status.split("/")[4]] = int(line.split()[1])
        except OSError:
            pass
    return counts


def wakeups_between(before, after):
    """Wake-ups of the threads alive at both readings, plus those of threads
    that started in between."""
    return sum(n - before.get(tid, 0) for tid, n in after.items())


def memory_kib(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmRSS", "VmHWM")):
                key, value = line.split(":")
                out[key] = int(value.split()[0])
    return out


class Device:
    def __init__(self, bin_dir):
        self.bin = bin_dir
        self.dev = os.path.join(bin_dir, "tarnvex-device")
        self.root = tempfile.mkdtemp(prefix="tarnvex-figures-")
        self.env = dict(os.environ, TARNVEX_DEVICE=self.root, QT_QPA_PLATFORM="offscreen")
        self.env.pop("TARNVEX_DEBUG", None)
        self.procs = []
        self.tool("init")
        self.tool("install", "--from", bin_dir)
        dba = os.path.join(self.root, "Program Files", "Tarnvex", "dba")
        os.makedirs(dba, exist_ok=True)
        open(os.path.join(dba, "Tarnvex_0.db"), "w").close()
        rules = sqlite3.connect(os.path.join(dba, "Rules_0.db"))
        rules.execute(RULES_SQL)
        rules.executemany("INSERT INTO Rules VALUES (?, '', ?, '', '', 90)",
                          [(i, "+49 170 55%04d" % i) for i in range(1, RULES + 1)])
        rules.commit()
        rules.close()
        self.service = os.path.join(self.root, ".device", "messages.db")
        self.store_db = os.path.join(dba, "SMS.db")
        self.transport = self.start(self.dev, "run", "--send-delay-ms", str(SEND_DELAY_MS),
                                    "--no-submission")
        program = os.path.join(self.root, "Program Files", "Tarnvex", "Tarnvex.exe")
        self.tarnvex = self.start(program)
        self.wait_listening()

    def tool(self, *args, stdin=None):
        return subprocess.run([self.dev, *args], env=self.env, check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True).stdout

    def start(self, *args):
        proc = subprocess.Popen(list(args), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        return proc

    def wait_listening(self):
        record = os.path.join(self.root, ".device", "run", "listeners", str(self.tarnvex.pid))
        for _ in range(300):
            try:
                with open(record) as f:
                    if " ready" in f.read():
                        return
            except OSError:
                pass
            time.sleep(0.05)
        sys.exit("Tarnvex does not listen on the device")

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def send(self, body_file, to="5550199"):  # returns the new message's id
        out = self.tool("send", "--store", "SMS", "--to", to, "--subject", "figures",
                        "--body-file", body_file)
        return int(re.match(r"Saved message (\d+) in ", out).group(1))

    def observe_hold(self, args, timeout=10):
        """Runs a save and watches the service file: (ms from the commit to
        the move as seen, ms from the delivery stamp to the move stamp)."""
        db = sqlite3.connect(self.service, timeout=5)
        try:
            last = db.execute("SELECT IFNULL(MAX(id), 0) FROM messages").fetchone()[0]
            saver = subprocess.Popen([self.dev, *args], env=self.env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            seen = None
            deadline = time.time() + timeout
            poll = 0.0005
            while time.time() < deadline:
                row = db.execute(
                    "SELECT m.id, f.name, m.delivery_time, m.in_folder_since FROM messages m "
                    "JOIN folders f ON f.id = m.folder WHERE m.id > ? ORDER BY m.id LIMIT 1",
                    (last,)).fetchone()
                now = time.perf_counter()
                if row is not None:
                    if seen is None:
                        seen = now
                    if row[1] == "Tarnvex":
                        saver.wait()
                        return max((now - seen) * 1000, poll * 1000), row[3] - row[2]
                time.sleep(poll)
            saver.wait()
            return None
        finally:
            db.close()

    def records(self):
        try:
            db = sqlite3.connect(self.store_db, timeout=5)
            try:
                return db.execute("SELECT COUNT(*) FROM Msg").fetchone()[0]
            finally:
                db.close()
        except sqlite3.Error:
            return 0


def body_file(directory, size):
    path = os.path.join(directory, "body-%d" % size)
    line = b"A message no rule covers, written for the figures. "
    with open(path, "wb") as f:
        f.write((line * (size // len(line) + 1))[:size])
    return path


def latency(device, body, count, label):
    if count <= 0:
        return
    from_commit, from_start, closed = [], [], 0
    for i in range(count):
        compose = device.start(device.dev, "messaging", "--store", "SMS", "--headless")
        time.sleep(0.3)  # the window registers itself
        seen = device.observe_hold(["send", "--store", "SMS", "--to", "555%04d" % i,
                                    "--subject", "figures", "--body-file", body])
        if seen is not None:
            from_commit.append(seen[0])
            from_start.append(seen[1])
        try:
            compose.wait(timeout=3)
            closed += 1
        except subprocess.TimeoutExpired:
            compose.kill()
    if not from_commit:
        print("%-22s no message was held" % label)
        return
    print("%-22s from the commit: p50 %6.1f ms  p99 %6.1f ms; from the start of the save: "
          "p50 %4d ms  p99 %4d ms  (send delay %d ms; %d/%d held, %d compose windows closed)" %
          (label, percentile(from_commit, 50), percentile(from_commit, 99),
           percentile(from_start, 50), percentile(from_start, 99), SEND_DELAY_MS,
           len(from_commit), count, closed))


def idle(device, seconds=10):
    pids = [device.tarnvex.pid, device.transport.pid]
    w0, c0 = wakeups(device.tarnvex.pid), [run_ns(p) for p in pids]
    time.sleep(seconds)
    w1, c1 = wakeups(device.tarnvex.pid), [run_ns(p) for p in pids]
    return (wakeups_between(w0, w1) / seconds, (c1[0] - c0[0]) / 1e6 / seconds,
            (c1[1] - c0[1]) / 1e6 / seconds)


def held_volume(bin_dir, work, held, size):
    device = Device(bin_dir)
    try:
        body = body_file(work, size)
        for i in range(held):
            device.send(body, to="556%04d" % i)
        deadline = time.time() + 600
        while device.records() < held and time.time() < deadline:
            time.sleep(1)
        # Let the last walks end: a walk pauses 10 ms a row.
        time.sleep(held * 0.012 + 3)
        wake, tarnvex_idle, transport_idle = idle(device)
        pids = [device.tarnvex.pid, device.transport.pid]
        before = [run_ns(p) for p in pids]
        start = time.time()
        device.send(body, to="5579999")
        while device.records() < held + 1 and time.time() - start < 60:
            time.sleep(0.05)
        time.sleep(held * 0.012 + 2)
        after = [run_ns(p) for p in pids]
        elapsed = time.time() - start
        tarnvex = (after[0] - before[0]) / 1e6 - tarnvex_idle * elapsed
        transport = (after[1] - before[1]) / 1e6 - transport_idle * elapsed
        spent = sum(after) / 1e6 - sum(before) / 1e6
        cost = tarnvex + transport
        mem = memory_kib(device.tarnvex.pid)
        print("%d held x %-8s one new hold: %6.1f ms CPU (Tarnvex %.1f, transport %.1f; "
              "%.1f ms measured over %.1f s less idle %.2f ms/s); Tarnvex resident %.1f MiB, "
              "peak %.1f MiB" %
              (held, "%d B" % size if size < 1024 else "%d KiB" % (size // 1024), cost,
               tarnvex, transport, spent, elapsed, tarnvex_idle + transport_idle,
               mem["VmRSS"] / 1024, mem["VmHWM"] / 1024))
        return wake, tarnvex_idle
    finally:
        device.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default="build/bench/bin")
    parser.add_argument("--latency", type=int, default=100)
    parser.add_argument("--large", type=int, default=20)
    parser.add_argument("--held", type=int, default=1000)
    parser.add_argument("--small-only", action="store_true",
                        help="hold volume with 64 B bodies only")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)
    work = tempfile.mkdtemp(prefix="tarnvex-bodies-")
    try:
        device = Device(bin_dir)
        try:
            time.sleep(5)  # the first pass over every store ends
            wake, cpu, transport_cpu = idle(device)
            print("idle Tarnvex            %.1f wake-ups/s (at most 1.5), %.3f ms CPU/s; "
                  "transport %.3f ms CPU/s" % (wake, cpu, transport_cpu))
            latency(device, body_file(work, 64), args.latency, "hold latency, 64 B")
            latency(device, body_file(work, 8 << 20), args.large, "hold latency, 8 MiB")
        finally:
            device.close()
        if args.held > 0:
            wake, cpu = held_volume(bin_dir, work, args.held, 64)
            print("idle Tarnvex, %d held   %.1f wake-ups/s, %.3f ms CPU/s" % (args.held, wake, cpu))
            if not args.small_only:
                held_volume(bin_dir, work, args.held, 64 * 1024)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
