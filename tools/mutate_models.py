#!/usr/bin/python3
"""Damages the example models byte by byte and checks that the serving program
never dies by a signal.

Each mutant is a copy of one example resource directory whose plain model file
has either a few bytes changed or its tail cut off. The serving program is
started on it (loopback, a port free a moment ago, HOME in a scratch folder):
it must either end with its start-up failure code or serve, and when it
serves, one POSTed picture must be answered and the program must still be
alive afterwards. A signal, a hang or a lost program counts as a failure.

    tools/mutate_models.py --serving build/release/serving/norvane_serving --count 2000

Standard library only. Exit status 0 when every mutant behaved.
"""

import argparse
import concurrent.futures
import http.client
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = os.path.join(ROOT, "models")
# Plain models only: the enciphered ones are guarded by their authentication tag.
PLAIN_MODELS = ["color_classifier", "red_detector", "red_detector_101", "instance_segmenter"]
INIT_FAILED = 1000000 % 256  # the exit status of a start-up that ended with 1000000
BIND_FAILED = 8000002 % 256
# Well above the runtime's bound on its damaged-model check (10 s plus a second
# per MiB of model), past which the checker is stopped and the model refused.
START_TIMEOUT_S = 90


def bmp(width, height):
    """A 24-bit BMP: gray with a red disc and a green square."""
    row_bytes = (width * 3 + 3) & ~3
    pixels = bytearray()
    cx, cy, r = width // 3, height // 2, min(width, height) // 6
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(width):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                row += b"\x00\x00\xff"
            elif 2 * width // 3 <= x < 2 * width // 3 + r and height // 3 <= y < height // 3 + r:
                row += b"\x00\xff\x00"
            else:
                row += b"\x80\x80\x80"
        pixels += row + b"\x00" * (row_bytes - len(row))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def mutate(data, rng):
    """Returns (description, damaged bytes)."""
    data = bytearray(data)
    if rng.random() < 0.25:
        cut = rng.randrange(1, len(data))
        return "truncated to %d" % cut, bytes(data[:cut])
    changes = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        offset = rng.randrange(len(data))
        value = rng.randrange(256)
        if value == data[offset]:
            value ^= 0xFF
        data[offset] = value
        changes.append("%d=0x%02x" % (offset, value))
    return "bytes " + ",".join(changes), bytes(data)


def request(port, method, path, body=None, timeout=30):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body=body)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def run_one(serving, model_dir, home, picture):
    """'init-failed', 'served' or a failure text."""
    for _ in range(5):  # another program may take the port between probe and bind
        port = free_port()
        env = dict(os.environ, HOME=home)
        proc = subprocess.Popen([serving, model_dir, "127.0.0.1", str(port)], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + START_TIMEOUT_S
            while time.monotonic() < deadline:
                code = proc.poll()
                if code is not None:
                    if code == BIND_FAILED:
                        break
                    if code == INIT_FAILED:
                        return "init-failed"
                    if code < 0:
                        return "killed by signal %d during start-up" % -code
                    return "start-up ended with status %d" % code
                try:
                    status, _ = request(port, "GET", "/api/info", timeout=2)
                except OSError:
                    time.sleep(0.01)
                    continue
                if status != 200:
                    return "GET /api/info answered %d" % status
                try:
                    status, _ = request(port, "POST", "/", body=picture)
                except OSError as e:
                    code = proc.poll()
                    if code is not None and code < 0:
                        return "killed by signal %d during inference" % -code
                    return "inference request failed: %s" % e
                if status != 200:
                    return "POST / answered %d" % status
                time.sleep(0.01)
                code = proc.poll()
                if code is not None:
                    return "program ended after an inference with status %d" % code
                return "served"
            else:
                return "no answer within %d s" % START_TIMEOUT_S
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
    return "no free port"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serving", required=True, help="path of norvane_serving")
    parser.add_argument("--count", type=int, default=2000, help="number of mutants, spread over the models")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    picture = bmp(800, 600)
    scratch = tempfile.mkdtemp(prefix="norvane_mutants_")
    counts = {}
    failures = []
    try:
        jobs = []
        for i in range(args.count):
            name = PLAIN_MODELS[i % len(PLAIN_MODELS)]
            with open(os.path.join(MODELS, name, "model"), "rb") as f:
                what, damaged = mutate(f.read(), rng)
            d = os.path.join(scratch, "m%d" % i)
            shutil.copytree(os.path.join(MODELS, name), d)
            with open(os.path.join(d, "model"), "wb") as f:
                f.write(damaged)
            home = os.path.join(d, "home")
            os.mkdir(home)
            jobs.append((name, what, d, home))
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = {pool.submit(run_one, args.serving, d, home, picture): (name, what, d)
                       for name, what, d, home in jobs}
            for future in concurrent.futures.as_completed(futures):
                name, what, d = futures[future]
                outcome = future.result()
                if outcome in ("init-failed", "served"):
                    counts[outcome] = counts.get(outcome, 0) + 1
                    shutil.rmtree(d, ignore_errors=True)
                else:
                    failures.append("%s (%s): %s" % (name, what, outcome))
    finally:
        if not failures:
            shutil.rmtree(scratch, ignore_errors=True)
    for line in failures:
        print("FAIL", line)
    if failures:
        print("damaged directories kept under", scratch)
    print("%d mutants: %d refused at start-up, %d served, %d failures (signals, hangs, other)" %
          (args.count, counts.get("init-failed", 0), counts.get("served", 0), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
