"""Time of `tessera analyze` on the bundled example with and without the report.

    python benchmarks/bench_cli.py [--repeat 3] [-- OPTIONS ...]

Each run is a fresh interpreter, as from the shell (imports included),
writing into a temporary folder; the options after -- go to `tessera
analyze` (e.g. -- --impute downshift); --serial renders every figure in the main
process. Runs with the report (what the
command does) alternate with runs without it (the tables and the three
figures of the test only: analysis.analyze(report=False)); printed are the
best wall and processor times of each, what the report adds, and the phases
of the best run with the report. The quality-control figures render in a
second process beside the figures of the test, so on two free cores their
time mostly overlaps; "processor" counts both processes.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time


def child(options, report, serial):
    """One run in this interpreter; prints its timings as JSON."""
    start = time.perf_counter()
    import contextlib
    import io

    import tessera.cli as cli
    from tessera.cli import analysis, render

    if serial:
        render.can_fork = lambda: False

    timings = {"imports": time.perf_counter() - start}

    def timed(run, progress, **kwargs):
        return analysis.analyze(run, progress, timings=timings, report=report, **kwargs)

    cli.analyze = timed
    with contextlib.redirect_stdout(io.StringIO()):
        status = cli.main(["analyze", *options])
    timings["total"] = time.perf_counter() - start
    print(json.dumps({"status": status, "timings": timings}))


def one_run(options, folder, report, serial):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    flags = ([] if report else ["--without-report"]) + (["--serial"] if serial else [])
    done = subprocess.run([sys.executable, __file__, "--child", *flags, "--", *options,
                           "--out", f"{folder}/ex"],
                          capture_output=True, text=True, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    if result["status"] != 0:
        sys.exit(f"the run failed: {done.stdout}{done.stderr}")
    processor = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return result["timings"], processor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--without-report", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--serial", action="store_true",
                        help="render every figure in one process, one after the other")
    args, options = parser.parse_known_args()
    options = [o for o in options if o != "--"]
    if args.child:
        child(options, report=not args.without_report, serial=args.serial)
        return 0

    runs = {True: [], False: []}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.repeat):
            for report in (True, False):
                runs[report].append(one_run(options, folder, report, args.serial))
    best = {report: (min(t["total"] for t, _ in done), min(p for _, p in done))
            for report, done in runs.items()}
    phases = min(runs[True], key=lambda run: run[0]["total"])[0]
    how = "one after the other" if args.serial else "the QC figures in a second process"
    print(f"tessera analyze {' '.join(options)} on the bundled example, each run in a fresh "
          f"interpreter; best of {args.repeat} ({os.cpu_count()} processors here; figures "
          f"{how})")
    print(f"{'':<24}{'wall':>9}{'processor':>12}")
    for report, label in ((False, "without the report"), (True, "with the report")):
        wall, cpu = best[report]
        print(f"{label:<24}{wall * 1000:6.0f} ms{cpu * 1000:9.0f} ms")
    added = best[True][0] - best[False][0]
    print(f"{'added by the report':<24}{added * 1000:6.0f} ms"
          f"{(best[True][1] - best[False][1]) * 1000:9.0f} ms")
    print("phases of the fastest run with the report (figures: each one's own time; "
          "the QC figures in the second process):")
    for name, seconds in phases.items():
        if name != "total":
            print(f"  {name:<22}{seconds * 1000:7.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
