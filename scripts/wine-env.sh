# Sourced by the scripts: the project's Wine prefix and a quiet Wine.
: "${VELSOR_BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX=$VELSOR_BUILD_DIR/wineprefix
export WINEDEBUG=-all
# Starts the Wine server detached from the caller's pipes, so that its helper
# processes cannot hold a test runner's output open.
# A server that is already running (left by an earlier wine command) is fine.
wine_start() {
  wineserver -p 2>/dev/null || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
wine_stop() {
  wineserver -k 2>/dev/null || true
}
