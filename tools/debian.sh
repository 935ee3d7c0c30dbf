# Sourced by the test and hardening scripts: logging, and installing the
# Debian packages a run needs when the machine lacks them.

log() { printf '== %s\n' "$*" >&2; }

# Installs the Debian packages named in "$@" that are missing (needs root, as in CI).
need_debs() {
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    log "installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
