# Sourced by the idle benches: context switches of a process's threads from /proc.

# Context switches (voluntary and involuntary) of every thread of $1, one line per thread:
# "tid name count".
switches() {
  local pid=$1 task
  for task in /proc/"$pid"/task/*; do
    awk -v tid="${task##*/}" -v name="$(cat "$task/comm" 2>/dev/null)" \
      '/voluntary_ctxt_switches/ {n += $2} END {print tid, name, n}' "$task/status" 2>/dev/null || true
  done
}

# The difference between two sorted switches() outputs ($1 before, $2 after) over $3 seconds, per
# thread and in all.
report_switches() {
  join "$1" "$2" 2>/dev/null | awk -v s="$3" '
    { d = $NF - $3; total += d; printf "   thread %-8s %-16s %6d  (%.2f/s)\n", $1, $2, d, d / s }
    END { printf "   all threads            %6d  (%.2f/s)\n", total, total / s }' || true
}
