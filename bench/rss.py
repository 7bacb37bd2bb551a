"""Peak memory of processes, from /proc, for the benchmarks: private (RssAnon) or all of it,
mapped file pages included (VmRSS)."""
import subprocess
import sys
import time


def rss_anon_mb(pid, field="RssAnon"):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(f"{field}:"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_while(pid, running, field="RssAnon"):
    """The peak RssAnon (or another field of /proc/PID/status, such as VmRSS) of process `pid`,
    sampled every 5 ms while `running()` is true."""
    peak = 0.0
    while running():
        try:
            peak = max(peak, rss_anon_mb(pid, field))
        except OSError:
            break
        time.sleep(0.005)
    return peak


def peak_of(command):
    """Runs `command` to its end; returns its peak RssAnon in MB and its seconds. A failure ends
    the benchmark with the command's standard error."""
    started = time.perf_counter()
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as process:
        peak = peak_while(process.pid, lambda: process.poll() is None)
        if process.returncode:
            sys.exit(process.stderr.read().decode())
    return peak, time.perf_counter() - started
