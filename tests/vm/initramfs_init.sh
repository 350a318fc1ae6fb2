#!/bin/busybox sh
# The initramfs's first process: mounts the host's root file system (shared read-only over 9p)
# under an overlay whose writes stay in the guest's memory, puts the rig's kernel modules at
# /lib/modules, and hands over to the rig's guest start script on that root.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
echo "initramfs: start at $(cat /proc/uptime)"
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "initramfs: cannot load $module"
done
for word in $(cat /proc/cmdline); do
  case $word in
    kavo.init=*) start=${word#kavo.init=} ;;
    kavo.modules=*) modules=${word#kavo.modules=} ;;
  esac
done
mkdir -p /lower /upper /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=mmap,msize=512000 hostroot /lower || exec sh
mount -t tmpfs -o mode=0755 upper /upper
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work root /newroot || exec sh
mkdir -p /newroot/lib/modules
mount --bind "/newroot$modules" /newroot/lib/modules
umount /proc /sys /dev
exec switch_root /newroot /bin/sh "$start"
