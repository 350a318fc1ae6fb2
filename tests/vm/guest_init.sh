#!/bin/sh
# The guest's start on the host's root: the usual mounts, the USB and serial drivers, udev
# (without replaying the events of the devices already there, which costs 15-20 s under
# emulation and finds nothing the tests need), and the agent on its virtio serial port.

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777 shm /dev/shm
mount -t tmpfs -o mode=0755 run /run
# /tmp stays the host's (written through the overlay): a checkout or build under /tmp must be
# there for the guest to run it.
mkdir -p /run/lock /run/udev
chmod 1777 /run/lock
hostname kavo-vm
echo "guest: mounted at $(cat /proc/uptime)"
modprobe -a virtio_console xhci_pci ftdi_sio usb_storage sd_mod vfat nls_cp437 nls_iso8859_1
/lib/systemd/systemd-udevd --daemon
agent=""
tries=0
while [ -z "$agent" ] && [ $tries -lt 100 ]; do
  for port in /sys/class/virtio-ports/*; do
    if [ "$(cat "$port/name" 2>/dev/null)" = agent ] && [ -e "/dev/${port##*/}" ]; then
      agent=/dev/${port##*/}
    fi
  done
  [ -n "$agent" ] || sleep 0.1
  tries=$((tries + 1))
done
echo "guest: agent starts at $(cat /proc/uptime)"
# Stay the guest's first process: when the agent ends, so does the machine.
exec python3 "$(dirname "$0")/agent.py" "$agent"
