# A pcscd of our own beside whatever the machine runs: the calling script is
# run again in private mount and network namespaces, with a tmpfs of its own
# on /run (pcscd's socket and pid file) and its own loopback (vpcd's ports).
# The machine's own pcscd, if any, is never seen or touched.
# Sourced.

# enter_private_pcscd SCRIPT ARGS...: re-runs SCRIPT in the namespaces (once)
# and sets them up there. Returns 77 where they cannot be made (not root).
enter_private_pcscd() {
  if [ -z "${CARD_PCSC_PRIVATE:-}" ]; then
    unshare -m -n true 2> /dev/null || return 77
    CARD_PCSC_PRIVATE=1 exec unshare -m -n bash "$@"
  fi
  mount --make-rprivate / &&
    mount -t tmpfs -o mode=755 tmpfs /run &&
    mkdir -p /run/pcscd &&
    ip link set lo up
}

# start_private_pcscd CONF_DIR LOG: pcscd in the foreground on the reader
# configuration in CONF_DIR, in the background; its PID in PCSCD_PID.
start_private_pcscd() {
  local options=()
  # Newer pcscd asks polkit whether a client may connect; nothing runs one here.
  pcscd --help 2>&1 | grep -q -- --disable-polkit && options+=(--disable-polkit)
  pcscd -f -c "$1" "${options[@]}" > "$2" 2>&1 &
  PCSCD_PID=$!
}
