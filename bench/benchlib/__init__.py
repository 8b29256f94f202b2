"""The measuring side of `make bench`.

bench/run_bench.sh builds; this package runs the measurements, does their
arithmetic and writes bench/REPORT.md (`python3 -m benchlib --help`). One
module per measure (benchmarks, instructions, line_limit, bus_rate,
bus_cost, dead_meter, footprint), and shared helpers: settings (what to
measure, from the environment), processes (running and marking commands,
the simulator), rtu_line (the line's arithmetic), stats (medians, spreads,
fits) and report (the Markdown: report_data holds the targets and the
results, report_format the number and table formatting, report_module and
report_bus the sections).
"""
