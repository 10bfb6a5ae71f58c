#!/usr/bin/env python3
"""Turns the benchmark's JSON into one table: ours, baseline, ratio, target."""
import json
import sys

results = {}
with open(sys.argv[1]) as f:
    for b in json.load(f)["benchmarks"]:
        if b.get("error_occurred"):
            results[b["name"]] = None
            continue
        results[b["name"].split("/")[0]] = b

def ns(name):
    b = results.get(name)
    if not b:
        return None
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["real_time"] * scale

def counter(name, key):
    b = results.get(name)
    return b.get(key) if b else None

def fmt_time(v):
    if v is None:
        return "n/a"
    for unit, div in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if v >= div:
            return f"{v / div:.3g} {unit}"
    return f"{v:.3g} ns"

rows = []  # (operation, ours, baseline, ratio, target, met)

def add_time(op, ours, base, target):
    a, b = ns(ours), ns(base)
    ratio = a / b if a and b else None
    rows.append((op, fmt_time(a), fmt_time(b), ratio, f"<= {target}x", ratio is not None and ratio <= target))

def add_rate(op, ours, base, key, unit, target=None, higher=True):
    a, b = counter(ours, key), counter(base, key)
    ratio = a / b if a and b else None
    tgt = "" if target is None else (f">= {target}x" if higher else f"<= {target}x")
    met = None if target is None else (ratio is not None and (ratio >= target if higher else ratio <= target))
    rows.append((op, f"{a:,.0f} {unit}" if a else "n/a", f"{b:,.0f} {unit}" if b else "n/a", ratio, tgt, met))

add_time("shared-mode hit (Lookup, through the snapshot) vs plain hash find + copy", "BM_SharedHit_Library", "BM_Hit_PlainHash", 1.2)
add_time("private-mode hit (Lookup) vs plain hash find + copy", "BM_PrivateHit_Library", "BM_Hit_PlainHash", 1.5)
add_time("private-mode miss, present vs exact query (open+close)", "BM_PrivateMissPresent_Library", "BM_ExactQueryPresent_SQLite", 2)
add_time("private-mode miss, absent vs exact query (open+close)", "BM_PrivateMissAbsent_Library", "BM_ExactQueryAbsent_SQLite", 2)
add_time("private-mode miss, present vs kept-open prepared query", "BM_PrivateMissPresent_Library", "BM_KeptOpenQueryPresent_SQLite", 1.5)
add_time("private-mode miss, absent vs kept-open prepared query", "BM_PrivateMissAbsent_Library", "BM_KeptOpenQueryAbsent_SQLite", 1.5)
add_time("fastload time vs sorted query + plain hash index", "BM_Fastload_Library", "BM_Fastload_PlainIndex", 1.5)
add_rate("fastload memory per row vs plain hash index", "BM_Fastload_Library", "BM_Fastload_PlainIndex", "bytes_per_row", "B/row", 1.2, higher=False)
add_time("fastload mapping an existing snapshot vs in-heap fastload", "BM_Fastload_MapsSnapshot", "BM_Fastload_Library", 0.01)
add_time("first fastload, streaming the snapshot, vs in-heap fastload", "BM_Fastload_WritesSnapshot", "BM_Fastload_Library", 1.2)
add_rate("first fastload's peak RSS (streaming) vs in-heap fastload's", "BM_PeakRss_StreamedLoad", "BM_PeakRss_InHeapLoad", "peak_rss_mib", "MiB", 0.5, higher=False)
add_rate("Pss of 4 processes (load + 10,000 lookups): snapshot vs in-heap", "BM_FourProcesses_Snapshot", "BM_FourProcesses_InHeap", "pss_mib", "MiB", 0.1, higher=False)
snap = counter("BM_Fastload_WritesSnapshot", "snapshot_bytes_per_row")
rows.append(("snapshot size per row",
             f"{snap:.0f} B/row" if snap else "n/a", "", None, "<= 100 B",
             snap is not None and snap <= 100))
add_rate("rebuild vs plain path (formatted, 999/commit)", "BM_Rebuild_Library", "BM_Rebuild_PlainSQLite", "rows_per_s", "rows/s", 2)
add_rate("rebuild vs prepared inserts, one transaction", "BM_Rebuild_Library", "BM_Rebuild_PreparedOneTxn", "rows_per_s", "rows/s")
add_rate("LDIF import vs tab-separated import (file to table)", "BM_Import_Ldif", "BM_Import_Tsv", "rows_per_s", "rows/s", 0.5)
add_time("download + verify + install vs curl (same file)", "BM_Download_Library", "BM_Download_Curl", 2)
add_time("refresh of an unchanged file (304) vs full download", "BM_ConditionalRefresh_Library", "BM_Download_Library", 0.02)
mb = counter("BM_Download_Library", "MB")

print(f"rows: {sys.argv[2]}" + (f", database file {mb:.0f} MB" if mb else ""))
w = max(len(r[0]) for r in rows)
print(f"{'operation':<{w}}  {'ours':>14}  {'baseline':>14}  {'ratio':>7}  {'target':>8}  met")
for op, a, b, ratio, tgt, met in rows:
    r = f"{ratio:.2f}" if ratio is not None else "n/a"
    m = "" if met is None else ("yes" if met else "NO")
    print(f"{op:<{w}}  {a:>14}  {b:>14}  {r:>7}  {tgt:>8}  {m}")
