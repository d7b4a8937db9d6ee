# Sourced by the project's scripts: names each step, so that a failure says
# which step failed, the command, and the end of the step's log, then exits
# with the command's status. Under set -e, nothing fails without a word.
# shellcheck shell=bash
# shellcheck source=scripts/lib/step_report.sh
. "${BASH_SOURCE[0]%/*}/step_report.sh"

step_name="start"
step_log=""

# step <name> [<log file>]: what runs from here on, and where its output goes.
step() {
  step_name=$1
  step_log=${2:-}
}

step_failed() {
  step_report "$step_name" "$1" "$2" "$step_log"
  exit "$1"
}

set -eEuo pipefail
trap 'step_failed $? "$BASH_COMMAND"' ERR
