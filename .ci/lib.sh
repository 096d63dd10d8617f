# Shared helpers for the CI steps; source it.
# needs GROUP...: installs the Debian packages of these groups of
# packages.txt that are missing (./dev install).
needs() {
  ./dev install "$@"
}

fail() {
  echo "$(basename "$0" .sh): $*" >&2
  exit 1
}

# The README's set-up block: the first sh block after the "## Set-up" heading.
readme_setup_block() {
  awk '/^## Set-up/ { section = 1; next }
       /^## / { section = 0 }
       section && /^```sh$/ { block = 1; next }
       block && /^```$/ { exit }
       block && NF { print }' README.md
}
