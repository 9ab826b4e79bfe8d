#!/usr/bin/env bash
# The MIDI stacks a Linux desktop runs, inside the kernel MIDI VM, from
# Debian's packages (scripts/deps.sh installs them on the host, whose root
# the VM runs on):
#
#   scripts/sound-servers.sh STACK   start one, in the background, and return
#                                    once it sits on the amplifier's ports:
#     none            nothing
#     pipewire-idle   PipeWire + WirePlumber; the MIDI bridge is there but
#                     suspended (nobody links to a MIDI port)
#     pipewire-woken  the same with two bridge ports linked: the bridge runs
#                     and subscribes to every port both ways
#     pipewire-woken-later
#                     idle, for a test to wake in the middle of a block
#     a2jmidid        jackd on its dummy driver and a2jmidid -e
#     jackd-raw       jackd with its raw MIDI driver: every raw MIDI device
#                     not open yet is held by jackd
#   scripts/sound-servers.sh wake    link two bridge ports (PipeWire running)
#   scripts/sound-servers.sh bridged PORT
#                                    whether the running stack still reaches
#                                    the sequencer port PORT
#   scripts/sound-servers.sh restart the same stack again (jackd takes the raw
#                                    devices plugged in since)
#   scripts/sound-servers.sh stop    end what was started
#
# Sockets cannot live on the 9p root, so the runtime folder, the session bus
# and JACK's files are on the VM's own /dev/shm; /run stays as it is (a
# tmpfs over it hides what WirePlumber needs).
set -euo pipefail
state=/dev/shm/kolva-sound
export XDG_RUNTIME_DIR=$state/run XDG_STATE_HOME=$state/state XDG_CONFIG_HOME=$state/config
export DBUS_SESSION_BUS_ADDRESS=unix:path=$state/bus
export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
export PIPEWIRE_LOG_SYSTEMD=false DISPLAY=

say() { echo "sound-servers: $*" >&2; }
# Until "$@" holds, for at most $limit tenths of a second.
wait_for() {
  local what="$1" limit="$2" i=0
  shift 2
  until "$@" >/dev/null 2>&1; do
    i=$((i + 1))
    [ $i -ge "$limit" ] && { say "gave up waiting for $what"; return 1; }
    sleep 0.1
  done
}
background() {
  local name="$1"
  shift
  "$@" >"$state/$name.log" 2>&1 &
  echo $! >"$state/$name.pid"
}
clients() { cat /proc/asound/seq/clients; }
# The bridge's own ports, as pw-link lists them ("Midi-Bridge:NAME (capture)").
bridge_ports() { pw-link "$1" 2>/dev/null | grep '^Midi-Bridge:' || true; }
bridge_running() { grep -q 'PipeWire-RT-Event' /proc/asound/seq/clients &&
  awk '/^Client +[0-9]+ : "PipeWire-RT-Event"/ {c=1} c && /Connected|Connecting/ {f=1} END {exit !f}' /proc/asound/seq/clients; }

session_bus() {
  background dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_for "the session bus" 100 test -S "$state/bus"
}

pipewire_up() {
  session_bus
  background pipewire pipewire
  wait_for "PipeWire's socket" 300 test -S "$XDG_RUNTIME_DIR/pipewire-0"
  background wireplumber wireplumber
  wait_for "PipeWire's MIDI bridge" 600 sh -c "pw-link -o 2>/dev/null | grep -q '^Midi-Bridge:'"
}

wake() {
  local out in
  wait_for "a bridge output port" 300 sh -c "pw-link -o | grep -q '^Midi-Bridge:'"
  out="$(bridge_ports -o | head -1)"
  in="$(bridge_ports -i | head -1)"
  [ -n "$out" ] && [ -n "$in" ] || { say "no bridge ports to link"; return 1; }
  pw-link "$out" "$in" 2>/dev/null || true
  wait_for "the bridge to subscribe" 300 bridge_running
}

jack_up() {
  background jackd jackd --no-realtime "$@" -d dummy -r 48000 -p 4096
  # Its files come before it takes clients.
  wait_for "jackd" 300 sh -c "jack_wait -c | grep -qx running"
}

# jackd's raw MIDI driver opens every raw MIDI device there is at its start;
# the gadget's side of the USB cable (the amplifier's own end, another
# machine in truth) is held meanwhile unless the amplifier already has it.
jack_raw_up() {
  local d card holders=()
  for d in /sys/class/sound/midiC*D*; do
    case "$(readlink -f "$d")" in
    # Held by a process of its own (jackd must not inherit it); one that is
    # open already is the amplifier's.
    */dummy_udc.*)
      card="${d##*/midiC}"
      grep -q 'Owner PID' "/proc/asound/card${card%D*}/midi0" ||
        { sleep 600 <>"/dev/snd/${d##*/}" & holders+=($!); } ;;
    esac
  done
  jack_up -X alsarawmidi
  wait_for "jackd's raw MIDI ports" 300 grep -q 'JackALSARawMidiDriver::Attach' "$state/jackd.log"
  [ ${#holders[@]} -eq 0 ] || kill "${holders[@]}"
}

# The stack still reaches the port named $1: PipeWire's bridge lists it (and
# a woken one is subscribed to it), a2jmidid is subscribed to it, jackd holds
# its raw device.
bridged() {
  local client
  client="$(awk -v p="\"$1\"" '/^Client/ {c = $2} /^  Port/ && index($0, p) {print c; exit}' /proc/asound/seq/clients)"
  [ -n "$client" ] || { say "no port $1"; return 1; }
  case "$(cat "$state/stack")" in
  pipewire-idle | pipewire-woken-later) pw-link -o | grep -q "^Midi-Bridge:.*$1" ;;
  pipewire-woken) grep -A3 '"PipeWire-RT-Event"' /proc/asound/seq/clients | grep -q "Connecting To:.* $client:0" ;;
  # a2jmidid tries a port once, when it appears: only an updater that holds
  # the raw device no longer than a block leaves it that chance.
  a2jmidid) grep -A3 '"a2jmidid"' /proc/asound/seq/clients | grep -q "Connecting To:.* $client:0" ;;
  # A card's kernel clients are numbered from 16, four to a card.
  jackd-raw) grep -q "Owner PID *: $(cat "$state/jackd.pid")\$" "/proc/asound/card$(((client - 16) / 4))/midi0" ;;
  esac
}

case "${1:-}" in
none) ;;
pipewire-idle | pipewire-woken | pipewire-woken-later | a2jmidid | jackd-raw)
  rm -rf "$state" && mkdir -p "$state" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  echo "$1" >"$state/stack"
  case "$1" in
  pipewire-*) pipewire_up ;;
  a2jmidid)
    jack_up
    background a2jmidid a2jmidid -e
    wait_for "a2jmidid on the sequencer" 300 grep -q '"a2jmidid"' /proc/asound/seq/clients
    ;;
  jackd-raw) jack_raw_up ;;
  esac
  if [ "$1" = pipewire-woken ]; then wake; fi
  ;;
wake) wake ;;
bridged) bridged "${2:?port}" ;;
restart)
  stack="$(cat "$state/stack" 2>/dev/null || echo none)"
  "$0" stop
  exec "$0" "$stack"
  ;;
stop)
  for p in a2jmidid wireplumber pipewire jackd dbus; do
    [ -f "$state/$p.pid" ] || continue
    pid="$(cat "$state/$p.pid")"
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$state"
  ;;
*)
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
  ;;
esac
