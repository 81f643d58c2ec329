# Sourced by the dist checks: skips the check (exit 77) when one of the named
# tools is missing.
require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (kestrelon.sh installs it)"
      exit 77
    fi
  done
}
