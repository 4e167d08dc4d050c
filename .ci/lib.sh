# What the scripts in .ci share; sourced by them (after setting $ci_name and $logs), never run.

ci_started=$SECONDS
ci_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

log() { printf '[%s %4ds] %s\n' "$ci_name" $((SECONDS - ci_started)) "$*"; }

as_root() { if [[ $(id -u) == 0 ]]; then "$@"; else sudo "$@"; fi; }

# Installs the Debian packages named that are missing, updating apt's lists only if needed.
apt_install() {
    local deb missing=()
    for deb; do
        dpkg-query -W -f='${Status}' "$deb" 2>/dev/null | grep -q "ok installed" || missing+=("$deb")
    done
    ((${#missing[@]})) || return 0
    log "apt: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    {
        as_root apt-get install -y -q --no-install-recommends "${missing[@]}" ||
            { as_root apt-get update -q && as_root apt-get install -y -q --no-install-recommends \
                "${missing[@]}"; }
    } >>"$logs/apt.log" 2>&1
}

# test_run NAME PYTHON MARKS [PYTEST-ARGS...]
# The test suite with PYTHON from the current directory, reports in $logs/NAME.*. MARKS is a
# marker expression ("" for all). With WORKERS=2 the tests are spread over two processes, but
# those marked alone run afterwards in one, so that no two of them ever meet. Leaves the summary
# (.ci/junit's columns), the seconds, the peak memory in MB (of all the processes together) and
# the CPU seconds in $logs/NAME.summary, .seconds, .peak and .cpu, and a row in $CI_RUNS when CI
# names that file.
# Returns pytest's status; no test left for the second pass (status 5) is no failure.
test_run() {
    local name=$1 python=$2 marks=$3 t0=$SECONDS status=0 peak=0 cpu=0 reports=()
    shift 3
    local -a passes=("$marks")
    if ((${WORKERS:-1} > 1)); then
        passes=("${marks:+($marks) and }not alone" "${marks:+($marks) and }alone")
    fi
    local i s p suffix args
    for i in "${!passes[@]}"; do
        suffix= args=()
        if ((i)); then suffix=.alone; elif ((${WORKERS:-1} > 1)); then args+=(-n "$WORKERS"); fi
        [[ -n ${passes[$i]} ]] && args+=(-m "${passes[$i]}")
        reports+=("$logs/$name$suffix.xml")
        s=0
        "$ci_dir/peak" "$logs/$name$suffix.peak" "$python" -m pytest -p no:cacheprovider -q \
            --junitxml="${JUNIT_PREFIX:-}$logs/$name$suffix.xml" "${args[@]}" "$@" || s=$?
        ((s == 5 && i > 0)) && s=0
        ((status)) || status=$s
        p=$(cat "$logs/$name$suffix.peak" 2>/dev/null || echo 0)
        ((p > peak)) && peak=$p
        cpu=$((cpu + $(cat "$logs/$name$suffix.peak.cpu" 2>/dev/null || echo 0)))
    done
    python3 "$ci_dir/junit" "${reports[@]}" >"$logs/$name.summary"
    echo "$peak" >"$logs/$name.peak"
    echo "$cpu" >"$logs/$name.cpu"
    echo $((SECONDS - t0)) >"$logs/$name.seconds"
    if [[ -n ${CI_RUNS:-} ]]; then
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "${CI_STAGE:-$ci_name}" "$name" $((SECONDS - t0)) \
            "$cpu" "$peak" "$(cut -f1,2 "$logs/$name.summary")" >>"$CI_RUNS"
    fi
    return $status
}
