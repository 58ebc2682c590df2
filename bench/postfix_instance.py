"""A private Postfix instance for the benchmarks (bench/gateway,
bench/mail_vs_postfix): its own main.cf and master.cf, queue and data
folders under a temporary folder, smtpd on loopback ports picked here,
relayhost a sink on another (Sink: Postfix's smtp-sink, counting what
arrives). The system's instance (/etc/postfix) is never read, changed,
started or stopped; the private one runs as root (its master) with its
daemons as the postfix user, so it needs root and Debian's postfix.

Standard library only.
"""

import os
import re
import shutil
import smtplib
import socket
import subprocess
import threading
import time

POSTFIX = "/usr/sbin/postfix"
POSTSUPER = "/usr/sbin/postsuper"
POSTQUEUE = "/usr/sbin/postqueue"
SMTP_SINK = "/usr/sbin/smtp-sink"
DAEMON_DIRECTORY = "/usr/lib/postfix/sbin"
MASTER = os.path.join(DAEMON_DIRECTORY, "master")

# The services besides the smtpd ports, as Debian's master.cf has them.
SERVICES = [
    "pickup unix n - n 60 1 pickup",
    "cleanup unix n - n - 0 cleanup",
    "qmgr unix n - n 300 1 qmgr",
    "rewrite unix - - n - - trivial-rewrite",
    "bounce unix - - n - 0 bounce",
    "defer unix - - n - 0 bounce",
    "trace unix - - n - 0 bounce",
    "verify unix - - n - 1 verify",
    "flush unix n - n 1000? 0 flush",
    "proxymap unix - - n - - proxymap",
    "smtp unix - - n - - smtp",
    "relay unix - - n - - smtp",
    "showq unix n - n - - showq",
    "error unix - - n - - error",
    "retry unix - - n - - error",
    "discard unix - - n - - discard",
    "anvil unix - - n - 1 anvil",
    "scache unix - - n - 1 scache",
    "postlog unix-dgram n - n - 1 postlogd",
]


def missing(need_sink=False):
    """Why a private Postfix cannot run here ("" when it can)."""
    if os.geteuid() != 0:
        return "the private Postfix needs root"
    for path in [POSTFIX, MASTER, POSTSUPER, POSTQUEUE] + (
            [SMTP_SINK] if need_sink else []):
        if not os.access(path, os.X_OK):
            return f"Postfix is not installed ({path} missing; Debian package postfix)"
    return ""


def free_port():
    """A port on 127.0.0.1 that nobody listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_smtp(port, timeout=10.0):
    """Waits until an SMTP server answers on 127.0.0.1:port."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            smtplib.SMTP("127.0.0.1", port, timeout=5).quit()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def proc_stat(pid):
    """(ppid, utime + stime, cutime + cstime) of a process in clock ticks,
    or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    # fields[0] is field 3 (state): ppid is field 4, utime..cstime 14..17.
    return (int(fields[1]), int(fields[11]) + int(fields[12]),
            int(fields[13]) + int(fields[14]))


def proc_io(pid):
    """A process's /proc/PID/io as a dict (empty when it is gone)."""
    out = {}
    try:
        with open(f"/proc/{pid}/io") as f:
            for line in f:
                key, value = line.split(":")
                out[key] = int(value)
    except OSError:
        pass
    return out


class Postfix:
    """The instance: `smtpds` is a list of -o option lists, one smtpd port
    each (ports in self.ports, in that order); `main_extra` lines are added
    to main.cf."""

    def __init__(self, base, relay_port, smtpds, main_extra=()):
        self.base = base
        self.etc = os.path.join(base, "etc")
        self.spool = os.path.join(base, "spool")
        for d in ("etc", "spool", "data"):
            os.makedirs(os.path.join(base, d), exist_ok=True)
        os.chmod(base, 0o755)
        shutil.chown(os.path.join(base, "data"), user="postfix")
        self.ports = [free_port() for _ in smtpds]
        self.started = False
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(f"""compatibility_level = 3.6
queue_directory = {self.spool}
data_directory = {base}/data
meta_directory = /etc/postfix
command_directory = /usr/sbin
daemon_directory = {DAEMON_DIRECTORY}
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = bench.tarnvex.test
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
relayhost = [127.0.0.1]:{relay_port}
smtp_dns_support_level = disabled
maillog_file = {base}/maillog
maillog_file_prefixes = {base}
""")
            for line in main_extra:
                f.write(line + "\n")
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            for port, options in zip(self.ports, smtpds):
                f.write(f"127.0.0.1:{port} inet n - n - - smtpd\n")
                for option in options:
                    f.write(f"  -o {option}\n")
            for line in SERVICES:
                f.write(line + "\n")

    def start(self):
        subprocess.run([POSTFIX, "-c", self.etc, "start"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.started = True
        for port in self.ports:
            wait_for_smtp(port)

    def stop(self):
        """Stops the instance and waits for its master to end (postfix
        abort after 10 s)."""
        if not self.started:
            return
        master = self.master_pid()
        subprocess.run([POSTFIX, "-c", self.etc, "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while master and proc_stat(master) is not None:
            if time.monotonic() > deadline:
                subprocess.run([POSTFIX, "-c", self.etc, "abort"],
                               stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                break
            time.sleep(0.05)
        self.started = False

    def master_pid(self):
        try:
            with open(os.path.join(self.spool, "pid", "master.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return 0

    def processes(self):
        """The master and its children (the daemons: smtpd, cleanup, qmgr,
        trivial-rewrite, ...), by pid."""
        master = self.master_pid()
        if not master:
            return []
        out = [master]
        for name in os.listdir("/proc"):
            if name.isdigit():
                stat = proc_stat(int(name))
                if stat is not None and stat[0] == master:
                    out.append(int(name))
        return out

    def usage(self):
        """(CPU ticks, /proc io counters) of the whole instance: the master
        with every child it has reaped (Linux adds a reaped child's CPU time
        to cutime/cstime and its I/O to the parent's /proc/PID/io) plus the
        live children. A difference of two readings is what the instance
        did in between, daemons that ended meanwhile included."""
        ticks, io = 0, {}
        for pid in self.processes():
            stat = proc_stat(pid)
            if stat is None:
                continue
            ticks += stat[1] + stat[2]
            for key, value in proc_io(pid).items():
                io[key] = io.get(key, 0) + value
        return ticks, io

    def queue_files(self, queue):
        """The sizes of the files in one queue folder (hold, deferred, ...),
        hashed subfolders included."""
        sizes = []
        for folder, _, files in os.walk(os.path.join(self.spool, queue)):
            for name in files:
                try:
                    sizes.append(os.path.getsize(os.path.join(folder, name)))
                except OSError:
                    pass
        return sizes

    def postsuper(self, *args):
        subprocess.run([POSTSUPER, "-c", self.etc, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def postqueue(self, *args):
        subprocess.run([POSTQUEUE, "-c", self.etc, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Sink:
    """Postfix's smtp-sink on a free loopback port; its running count
    ("mesg=N", printed at each message's end) is read as it comes, with the
    time each count was reached."""

    def __init__(self, base, name, backlog):
        self.port = free_port()
        self.log = open(os.path.join(base, f"sink-{name}.out"), "wb")
        self.proc = subprocess.Popen(
            [SMTP_SINK, "-u", "postfix", "-c",
             f"127.0.0.1:{self.port}", str(max(backlog, 16))],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL)
        self.count = 0
        self.first = self.last = None
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        try:
            wait_for_smtp(self.port)
        except BaseException:
            self.close()
            raise

    def _read(self):
        pending = b""
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            if not chunk:
                return
            now = time.monotonic()
            self.log.write(chunk)
            pending += chunk
            *parts, pending = re.split(rb"[\r\n]", pending)
            for part in parts:
                found = re.search(rb"mesg=(\d+)", part)
                if found:
                    with self.changed:
                        n = int(found.group(1))
                        if n > self.count:
                            if self.count == 0:
                                self.first = now
                            self.count, self.last = n, now
                            self.changed.notify_all()

    def wait_for(self, n, timeout):
        """True once n messages arrived; False after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while self.count < n:
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    return False
                self.changed.wait(min(left, 1.0))
        return True

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(timeout=5)
        self.log.close()
