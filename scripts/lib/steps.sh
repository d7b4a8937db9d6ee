# Sourced by the project's scripts: names each step, so that a failure says
# which step failed, the command, and the end of the step's log, then exits
# with the command's status. Under set -e, nothing fails without a word.
# shellcheck shell=bash

step_name="start"
step_log=""

# step <name> [<log file>]: what runs from here on, and where its output goes.
step() {
  step_name=$1
  step_log=${2:-}
}

step_failed() {
  local status=$1 command=$2
  {
    echo "${0##*/}: step \"$step_name\" failed (exit $status): $command"
    if [[ -n $step_log && -s $step_log ]]; then
      echo "${0##*/}: the last lines of $step_log:"
      tail -n 25 "$step_log" | sed 's/^/    /'
    fi
  } >&2
  exit "$status"
}

set -eEuo pipefail
trap 'step_failed $? "$BASH_COMMAND"' ERR
