#!/usr/bin/env bash
# The amplifier as a USB MIDI device, inside the kernel MIDI VM: a configfs
# gadget with one f_midi function on the dummy host controller's first device
# side. The host sees a snd-usb-audio card whose sequencer port is
# "Kolva Amp MIDI 1"; the gadget side is a card "KolvaGadget" whose raw MIDI
# device is the amplifier's end of the cable.
#
#   scripts/usb-midi-gadget.sh up       make it and plug it in; prints the
#                                       kernel tests' environment for it
#   scripts/usb-midi-gadget.sh unplug   pull the cable
#   scripts/usb-midi-gadget.sh plug     plug it in again
#   scripts/usb-midi-gadget.sh replug   unplug, wait KOLVA_USB_LATE_S seconds
#                                       (default 0), plug, and point the link
#                                       KOLVA_AMP_LINK at the new raw device
#   scripts/usb-midi-gadget.sh raw      the gadget side's raw MIDI device
#   scripts/usb-midi-gadget.sh slow RATE CAPTURE
#                                       the tests' own slow device on the
#                                       second device side ($KOLVA_SLOW_GADGET,
#                                       default build/tests/kernel/
#                                       kolva-slow-gadget) in the background;
#                                       prints its pid once the host has it
set -euo pipefail
g=/sys/kernel/config/usb_gadget/kolva
udc=dummy_udc.0
here="$(cd "$(dirname "$0")/.." && pwd)"

raw() {
  local card
  card="$(awk '/\[KolvaGadget/ {print $1; exit}' /proc/asound/cards)"
  [ -n "$card" ] && [ -e "/dev/snd/midiC${card}D0" ] && echo "/dev/snd/midiC${card}D0"
}
# The sequencer's kernel clients for the host's side only: the gadget's side
# is the amplifier's own end (another machine, in truth), and a sound
# server's bridge on this one would otherwise take its raw device.
# So nothing is bound on its own (set before a device is plugged in), and
# each host-side device is bound here.
no_autoprobe() { echo 0 >/sys/bus/snd_seq/drivers_autoprobe; }
bind_host_side() {
  local d
  for d in /sys/bus/snd_seq/devices/*; do
    [ -e "$d" ] && [ ! -e "$d/driver" ] || continue
    case "$(readlink -f "$d")" in
    */dummy_hcd.*) echo "${d##*/}" >/sys/bus/snd_seq/drivers/snd_seq_midi/bind 2>/dev/null || true ;;
    esac
  done
}
listening() { grep -q 'Owner PID' "/proc/asound/card$(raw | sed 's/.*midiC\([0-9]*\)D.*/\1/')/midi0"; }
host_up() { bind_host_side; grep -q '"Kolva Amp MIDI 1"' /proc/asound/seq/clients; }
slow_up() { bind_host_side; grep -q '"Slow MIDI MIDI 1"' /proc/asound/seq/clients; }
host_gone() { ! grep -q '"Kolva Amp MIDI 1"' /proc/asound/seq/clients; }
wait_for() {
  local i=0
  until "$@"; do
    i=$((i + 1))
    [ $i -ge 200 ] && { echo "usb-midi-gadget: gave up waiting for $*" >&2; return 1; }
    sleep 0.05
  done
}
plug() {
  no_autoprobe
  [ -n "$(cat $g/UDC)" ] || echo $udc >$g/UDC
  wait_for raw >/dev/null
  wait_for host_up
}
unplug() {
  [ -z "$(cat $g/UDC)" ] || echo "" >$g/UDC
  wait_for host_gone
}

case "${1:-}" in
up)
  if [ ! -d $g ]; then
    mkdir $g
    echo 0x1209 >$g/idVendor
    echo 0x0001 >$g/idProduct
    mkdir $g/strings/0x409
    echo Kolva >$g/strings/0x409/manufacturer
    echo "Kolva Amp" >$g/strings/0x409/product
    echo 0001 >$g/strings/0x409/serialnumber
    mkdir $g/functions/midi.usb0
    echo 1 >$g/functions/midi.usb0/in_ports
    echo 1 >$g/functions/midi.usb0/out_ports
    echo KolvaGadget >$g/functions/midi.usb0/id
    mkdir $g/configs/c.1
    ln -s $g/functions/midi.usb0 $g/configs/c.1/
  fi
  plug
  me="$here/scripts/usb-midi-gadget.sh"
  echo "KOLVA_AMP_RAW=$(raw)"
  echo "KOLVA_AMP_PORT=Kolva Amp MIDI 1"
  echo "KOLVA_AMP_PORT_AFTER=Kolva Amp MIDI 1"
  echo "KOLVA_AMP_CLIENT=Kolva Amp"
  echo "KOLVA_AMP_REPLUG=$me replug"
  echo "KOLVA_AMP_PLUG_BACK=$me plug"
  echo "KOLVA_AMP_UNPLUG=$me unplug"
  echo "KOLVA_AMP_UDC=$g/UDC"
  ;;
unplug) unplug ;;
plug) plug ;;
replug)
  unplug
  sleep "${KOLVA_USB_LATE_S:-0}"
  # The link moves as soon as the gadget's side is there.
  no_autoprobe
  [ -n "$(cat $g/UDC)" ] || echo $udc >$g/UDC
  wait_for raw >/dev/null
  ln -sfn "$(raw)" "${KOLVA_AMP_LINK:?}"
  # Its port comes up once it listens: the gadget drops what the host sends
  # while its raw device is closed, where a real device's USB interface
  # holds the host off until its firmware reads.
  (wait_for listening && wait_for host_up) </dev/null >/dev/null 2>&1 &
  ;;
raw) raw ;;
slow)
  rate="${2:?rate}" capture="${3:?capture}"
  no_autoprobe
  mkdir -p /dev/gadget
  mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget
  file="$(ls /dev/gadget | grep -m1 '^dummy_udc')"
  log="$capture.log"
  "${KOLVA_SLOW_GADGET:-$here/build/tests/kernel/kolva-slow-gadget}" "/dev/gadget/$file" "$rate" "$capture" >"$log" 2>&1 &
  pid=$!
  wait_for grep -q configured "$log"
  wait_for slow_up
  echo $pid
  ;;
*)
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
  ;;
esac
