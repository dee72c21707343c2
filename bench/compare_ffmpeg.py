#!/usr/bin/env python3
"""Our frame path against ffmpeg's single-threaded x11grab + mjpeg, on one private Xvfb.

Starts Xvfb at 1920x1080, paints the desktop of bench_frame_path on it, runs ffmpeg
(-threads 1 -f x11grab ... -c:v mjpeg) on that display with the qscale whose frames come
closest in size to ours at quality 60, then runs our WholeFrame benchmark on the same display,
and prints both CPU times per frame and their ratio.

    bench/compare_ffmpeg.py [build-dir]        (default: build)
"""
import json
import os
import resource
import subprocess
import sys

FRAMES = 240
RATE = 60


def start_xvfb():
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_fd, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(read_fd)
    return proc, ":" + number.decode().strip()


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def ffmpeg(display, qscale, frames, output="-", fmt="null"):
    """Runs ffmpeg; returns (CPU seconds, bytes written when output is a pipe)."""
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1",
           "-f", "x11grab", "-framerate", str(RATE), "-video_size", "1920x1080",
           "-draw_mouse", "1", "-i", display, "-frames:v", str(frames),
           "-threads", "1", "-c:v", "mjpeg", "-q:v", str(qscale), "-pix_fmt", "yuvj420p",
           "-f", fmt, output]
    before = children_cpu()
    done = subprocess.run(cmd, stdout=subprocess.PIPE, check=True)
    return children_cpu() - before, len(done.stdout)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    bench = os.path.join(build, "bin", "bench_frame_path")
    xvfb, display = start_xvfb()
    try:
        env = dict(os.environ, CVL_BENCH_DISPLAY=display)
        subprocess.run([bench, "--paint-only"], env=env, check=True)

        ours = json.loads(subprocess.run(
            [bench, "--benchmark_filter=BM_WholeFrame", "--benchmark_format=json",
             "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
            env=env, check=True, stdout=subprocess.PIPE).stdout)
        results = {}
        for b in ours["benchmarks"]:
            if b.get("aggregate_name") == "median":
                results[b["run_name"]] = b

        full = results["BM_WholeFrame/0/process_time"]
        our_ms = full["cpu_time"]  # reported in ms
        our_bytes = full["jpegBytes"]

        # The qscale whose frames are closest in size to ours at quality 60.
        sizes = {}
        for q in range(2, 13):
            _, size = ffmpeg(display, q, 10, output="-", fmt="mjpeg")
            sizes[q] = size / 10
        qscale = min(sizes, key=lambda q: abs(sizes[q] - our_bytes))

        start_cpu, _ = ffmpeg(display, qscale, 1)
        total_cpu, _ = ffmpeg(display, qscale, FRAMES)
        ff_ms = (total_cpu - start_cpu) / (FRAMES - 1) * 1000

        print(f"display {display}, 1920x1080 desktop")
        for name, b in sorted(results.items()):
            print(f"  ours  {name:34s} {b['cpu_time']:.2f} ms CPU/frame, "
                  f"{b['jpegBytes'] / 1000:.0f} kB")
        print(f"  ffmpeg x11grab + mjpeg -q:v {qscale} (-threads 1)   "
              f"{ff_ms:.2f} ms CPU/frame, {sizes[qscale] / 1000:.0f} kB")
        print(f"ratio ours/ffmpeg at 1920x1080: {our_ms / ff_ms:.2f} "
              f"(ffmpeg takes {ff_ms / our_ms:.1f}x our CPU)")
    finally:
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    main()
