# Sourced by the Wine checks. run_in_wine_namespace WORK runs WORK/body.sh in
# network and mount namespaces of its own: no network but loopback, a Wine
# prefix in WORK and a wineserver of its own, stopped at the end. The body runs
# in WORK with `set -e`; it records failures in `status` (0 at the start),
# which is the result.
run_in_wine_namespace() {
  cat > "$1/inside.sh" <<INSIDE
set -e
mkdir -p /tmp/.wine-\$(id -u) && mount -t tmpfs none /tmp/.wine-\$(id -u)
ip link set lo up
export WINEPREFIX="$1/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
/usr/lib/wine/wine64 wineboot >/dev/null 2>&1 || true
cd "$1"
status=0
. ./body.sh
/usr/lib/wine/wineserver -k || true
exit \$status
INSIDE
  unshare --net --mount bash "$1/inside.sh"
}
