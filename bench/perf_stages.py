#!/usr/bin/env python3
"""Splits a perf profile of cvlhost (recorded with --call-graph dwarf) into the stages of the
frame path, and each stage into what the CPU was doing there (its own work, copying, filling,
the allocator, page faults and unmapping in the kernel, ...).

    perf record -F 1999 --call-graph dwarf,16384 -p $(pgrep -n cvlhost) -o host.perf -- sleep 10
    bench/perf_stages.py host.perf

A sample belongs to the stage of the innermost frame on its stack that names one; the kind
comes from the sample's leaf (and, in the kernel, from the kernel frames).
"""
import collections
import re
import subprocess
import sys

# (stage, pattern) in the order they are tried for each frame, innermost frame first.
STAGES = [
    ("cursor", r"drawCursor|XFixesGetCursorImage"),
    ("change detection", r"FrameComparer|ChangeDetector|markRows|XDamage"),
    ("scale", r"scaleInto|scaleRowsInto|scaleMarkedRows|ARGBScale|ScaleARGB|ScaleRowDown|ScaleFilter"),
    ("colour conversion", r"convertToJpegYuv420|ARGBToJ420|ARGBTo(UV|Y)JRow"),
    ("encode", r"tjCompress|libturbojpeg|RowJpegEncoder|findRestartSegments|libjpeg\.so"),
    ("grab", r"XShmGetImage|XShmStreamSource|XGetImage"),
    ("base64", r"Base64::"),
    ("seal (AES-GCM)", r"aesGcmSeal|Channel::seal|libcrypto|EVP_"),
    ("frame assembly per viewer", r"sealAndSendNow|sealAndSendFrame|writeSealedRelayFrame|sendFrame|sendShared"),
    ("JSON / frame message", r"broadcastFrame|offerFrame|writeFramePlaintext|writeFrame|nlohmann"),
    ("WebSocket write", r"beast|BeastConnection|websocket|reactive_socket|socket_ops"),
    ("frame loop other", r"HostEngine::tick|HostEngine::produceFrame|ScreenCapturer::grab"),
]
KERNEL_KINDS = [
    ("kernel: page faults", r"page_fault|handle_mm_fault|do_anonymous_page|clear_page"),
    ("kernel: unmap / madvise", r"madvise|munmap|unmap|zap_|free_pages|tlb"),
    ("kernel: network", r"tcp_|sock_|sendmsg|recvmsg|__sys_send|skb|inet_|ip_"),
    ("kernel: shared-memory image", r"shm|ipc"),
]


def kind_of(frames):
    leaf_sym, leaf_dso = frames[0]
    if "kernel" in leaf_dso:
        names = " ".join(sym for sym, dso in frames if "kernel" in dso)
        for kind, pattern in KERNEL_KINDS:
            if re.search(pattern, names):
                return kind
        return "kernel: other"
    if re.search(r"memmove|memcpy", leaf_sym):
        return "memmove/memcpy"
    if re.search(r"memset", leaf_sym):
        return "memset"
    if re.search(r"malloc|_int_free|cfree|free|_int_malloc|operator new|operator delete|tcache",
                 leaf_sym):
        return "allocator"
    return "own work"


def stage_of(frames):
    for sym, dso in frames:
        text = f"{sym} {dso}"
        for stage, pattern in STAGES:
            if re.search(pattern, text):
                return stage
    return "other (queues, timers, input, relay link)"


def samples(path):
    out = subprocess.run(["perf", "script", "-i", path, "-F", "comm,tid,ip,sym,dso"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    frames = []
    for raw in out.decode(errors="replace").splitlines() + [""]:
        line = raw.strip()
        if not line:
            if frames:
                yield frames
            frames = []
            continue
        if not raw.startswith("\t") and not raw.startswith(" "):
            continue  # the sample's header line
        m = re.match(r"[0-9a-f]+\s+(.*?)\s+\(([^)]*)\)$", line)
        if m:
            frames.append((m.group(1), m.group(2)))


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "perf.data"
    table = collections.defaultdict(collections.Counter)
    total = 0
    for frames in samples(path):
        table[stage_of(frames)][kind_of(frames)] += 1
        total += 1
    if not total:
        raise SystemExit("no samples")
    kinds = sorted({k for row in table.values() for k in row},
                   key=lambda k: -sum(row[k] for row in table.values()))
    print(f"{total} samples; percent of the host's CPU time")
    print("| stage | total | " + " | ".join(kinds) + " |")
    print("| --- | --- | " + " | ".join("---" for _ in kinds) + " |")
    for stage, row in sorted(table.items(), key=lambda item: -sum(item[1].values())):
        cells = [f"{row[k] * 100 / total:.1f}" if row[k] else "" for k in kinds]
        print(f"| {stage} | {sum(row.values()) * 100 / total:.1f} | " + " | ".join(cells) + " |")
    sums = [sum(row[k] for row in table.values()) * 100 / total for k in kinds]
    print("| all | 100 | " + " | ".join(f"{s:.1f}" for s in sums) + " |")


if __name__ == "__main__":
    main()
