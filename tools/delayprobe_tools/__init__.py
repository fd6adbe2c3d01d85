"""The modules of delayprobe-bench, delayprobe-compare and delayprobe-history.

runfile, text, output and icount use the standard library alone, so that
delayprobe-bench runs on any measured host with Python 3.8 or later; stats,
verdicts, report and picture are delayprobe-compare's, with numpy and scipy;
store, changes, historyreport and historyplot are delayprobe-history's, the
store's add with numpy alone."""
