"""Cost of ``import quelmo`` in a fresh interpreter: the wall time of the
import statement, the wall time of the whole process, and the largest
cumulative entries of ``python -X importtime``.

Run from the repository root:  python benchmarks/import_time.py [--repeat 7]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import time

import common

CODE = ("import time; t = time.perf_counter(); import quelmo; "
        "print(time.perf_counter() - t); "
        "import sys; print(int('quelmo.estimator' in sys.modules), int('scipy' in sys.modules))")


ESTIMATOR = ("import time; t = time.perf_counter(); import quelmo; quelmo.UMAP; "
             "print(time.perf_counter() - t)")


def measure(repeat: int) -> dict[str, object]:
    statement, process, estimator = [], [], []
    lazy = True
    for _ in range(repeat):
        start = time.perf_counter()
        out = subprocess.run([common.python(), "-c", CODE], capture_output=True, text=True,
                             check=True).stdout.split()
        process.append(time.perf_counter() - start)
        statement.append(float(out[0]))
        lazy = lazy and out[1] == "0" and out[2] == "0"
        estimator.append(float(subprocess.run([common.python(), "-c", ESTIMATOR],
                                              capture_output=True, text=True,
                                              check=True).stdout))
    trace = subprocess.run([common.python(), "-X", "importtime", "-c", "import quelmo"],
                           capture_output=True, text=True, check=True).stderr
    entries = []
    for line in trace.splitlines():
        fields = line.removeprefix("import time:").split("|")
        if len(fields) == 3 and fields[1].strip().isdigit():
            entries.append((int(fields[1]), fields[2].strip()))
    top = sorted(entries, reverse=True)[:8]
    return {"statement_s_median": statistics.median(statement), "statement_s_min": min(statement),
            "process_s_median": statistics.median(process), "repeat": repeat,
            "estimator_s_median": statistics.median(estimator),
            "estimator_and_scipy_loaded": not lazy,
            "top_cumulative_us": [{"module": name, "us": us} for us, name in top],
            "load": round(common.load_average(), 2), "date": time.strftime("%Y-%m-%d %H:%M")}


def table(result: dict) -> str:
    lines = [f"`import quelmo`: {result['statement_s_median'] * 1000:.0f} ms median "
             f"(min {result['statement_s_min'] * 1000:.0f} ms) for the statement, "
             f"{result['process_s_median'] * 1000:.0f} ms for the whole `python -c` process, "
             f"{result['repeat']} fresh processes; SciPy and the estimator "
             f"{'are' if result['estimator_and_scipy_loaded'] else 'are not'} loaded; "
             f"first access to `quelmo.UMAP` (NumPy, SciPy and the estimator) brings the "
             f"statement to {result['estimator_s_median'] * 1000:.0f} ms.", "",
             "| module (-X importtime, cumulative) | ms |", "|---|---:|"]
    for entry in result["top_cumulative_us"]:
        lines.append(f"| `{entry['module'].strip()}` | {entry['us'] / 1000:.1f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    opts = parser.parse_args()
    result = measure(opts.repeat)
    out = common.RESULTS / "import_time.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=1))
    print(table(result))


if __name__ == "__main__":
    main()
