# Sourced by the check scripts: install_missing PKG... installs the Debian
# packages named (those the caller found missing) when running as root with
# apt-get, and otherwise stops the script with status 2 and the command to run.
install_missing() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
  else
    echo "missing: $* (apt-get install $*)" >&2
    exit 2
  fi
}
