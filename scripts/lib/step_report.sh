# Sourced by the project's scripts: how a failed step is reported.
# shellcheck shell=bash

# step_report <step> <status> <command> [<log file>]: names the step, its exit
# status and command, then the last lines of its log, on standard error.
step_report() {
  local name=$1 status=$2 command=$3 log=${4:-}
  {
    echo "${0##*/}: step \"$name\" failed (exit $status): $command"
    if [[ -n $log && -s $log ]]; then
      echo "${0##*/}: the last lines of $log:"
      tail -n 25 "$log" | sed 's/^/    /'
    fi
  } >&2
}
