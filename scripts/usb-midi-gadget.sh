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
host_up() { grep -q '"Kolva Amp MIDI 1"' /proc/asound/seq/clients; }
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
  ;;
unplug) unplug ;;
plug) plug ;;
replug)
  unplug
  sleep "${KOLVA_USB_LATE_S:-0}"
  # The amplifier listens before the host has enumerated it, as a device
  # that comes up once it has booted: the link moves as soon as the gadget's
  # side is there, and the host side follows on its own.
  [ -n "$(cat $g/UDC)" ] || echo $udc >$g/UDC
  wait_for raw >/dev/null
  ln -sfn "$(raw)" "${KOLVA_AMP_LINK:?}"
  ;;
raw) raw ;;
slow)
  rate="${2:?rate}" capture="${3:?capture}"
  mkdir -p /dev/gadget
  mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget
  file="$(ls /dev/gadget | grep -m1 '^dummy_udc')"
  log="$capture.log"
  "${KOLVA_SLOW_GADGET:-$here/build/tests/kernel/kolva-slow-gadget}" "/dev/gadget/$file" "$rate" "$capture" >"$log" 2>&1 &
  pid=$!
  wait_for grep -q configured "$log"
  wait_for grep -q '"Slow MIDI MIDI 1"' /proc/asound/seq/clients
  echo $pid
  ;;
*)
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
  ;;
esac
