"""What a profile spent on the calling thread alone: the serial steps.

With two or more threads, the calling thread runs every step that is not on
the pool; the workers run only parallel slices. Per function, the samples of
the busiest thread (the caller) less those of all others are time the pool
could not share.

    perf record -g -o perf.data .venv/bin/python bench/peers.py --case '["quarvel.mesh", "sphere", 9, 2]'
    python bench/one_thread.py perf.data 30
"""

import collections
import subprocess
import sys


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "perf.data"
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    script = subprocess.run(["perf", "script", "-i", path, "-F", "tid,ip,sym", "-G"],
                            capture_output=True, text=True, check=True).stdout
    by_symbol: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    by_thread: collections.Counter[str] = collections.Counter()
    for line in script.splitlines():
        parts = line.split(None, 2)
        if len(parts) < 3:
            continue
        tid, symbol = parts[0], parts[2][:100]
        by_thread[tid] += 1
        by_symbol[symbol][tid] += 1
    if not by_thread:
        sys.exit("no samples")
    caller = by_thread.most_common(1)[0][0]
    others = sum(n for tid, n in by_thread.items() if tid != caller)
    print(f"samples: calling thread {by_thread[caller]}, the others {others} "
          f"({len(by_thread) - 1} threads)")
    excess = sorted(((counts[caller] - sum(n for tid, n in counts.items() if tid != caller), symbol)
                     for symbol, counts in by_symbol.items()), reverse=True)
    print(" alone  function")
    for n, symbol in excess[:rows]:
        print(f"{n:6d}  {symbol}")


if __name__ == "__main__":
    main()
