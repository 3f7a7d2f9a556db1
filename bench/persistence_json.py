"""General-purpose JSON parsers on the model file of bench_persistence, for
comparison with kemb's reader: Python's json.loads and, when installed,
orjson.loads. Medians of interleaved runs.

    python bench/persistence_json.py [file] [runs]
"""

import json
import statistics
import sys
import time


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/kemb-bench-model.json"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with open(path, "rb") as f:
        data = f.read()
    parsers = {"json.loads": json.loads}
    try:
        import orjson
        parsers["orjson.loads"] = orjson.loads
    except ImportError:
        print("orjson not installed")
    times = {name: [] for name in parsers}
    for _ in range(runs):
        for name, loads in parsers.items():
            start = time.perf_counter()
            loads(data)
            times[name].append(time.perf_counter() - start)
    mb = len(data) / 1e6
    print(f"file {path}: {mb:.1f} MB, median of {runs} runs")
    for name, t in times.items():
        seconds = statistics.median(t)
        print(f"{name:34} {seconds:9.3f} {mb / seconds:9.1f} MB/s")


if __name__ == "__main__":
    main()
