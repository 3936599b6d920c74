#!/bin/busybox sh
# /init of the guest's initramfs. It only builds the guest's root: the host's
# own / (read-only over virtio-9p) under a tmpfs overlay, so the guest runs the
# host's installed bluetoothd, btvirt and our freshly built programs while the
# host stays untouched. Everything else happens in the session script, which is
# read from the host's tree at boot so that changing it needs no new initramfs.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# The VM driver's check that this accelerator runs the guest at all.
case " $(cat /proc/cmdline) " in
  *" qvm.probe=1 "*) echo "QVM-PROBE-OK"; poweroff -f ;;
esac

# /modules.order lists the modules for virtio, 9p and overlay, dependencies
# first (the VM driver resolved them from modules.dep).
for m in $(cat /modules.order); do
  insmod "/modules/$m" || echo "qvm-init: insmod $m failed"
done

arg() { # the value of qvm.NAME= on the kernel command line
  for word in $(cat /proc/cmdline); do
    case "$word" in "qvm.$1="*) echo "${word#*=}" ;; esac
  done
}

die() {
  echo "qvm-init: $*"
  poweroff -f
}

mkdir -p /lower /rw /newroot
# msize: the 9p default (8 KiB) makes reading the host's programs slow.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /lower ||
  die "cannot mount the host's root"
mount -t tmpfs -o mode=755 rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
  die "cannot mount the overlay root"
# The root as it is before the guest mounts its own /dev, /tmp, /run and the
# rest over it: the session finds the checkout, the build and the cases there
# wherever they are on the host (a clone under /tmp or /dev/shm, say).
mkdir -p /newroot/qvm/root /newroot/qvm/results
mount --bind /newroot /newroot/qvm/root || die "cannot keep a view of the whole root"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /newroot/qvm/results ||
  die "cannot mount the results share"
mount --move /dev /newroot/dev

session=$(arg session)
[ -n "$session" ] || die "no qvm.session= on the kernel command line"
umount /proc /sys
exec switch_root /newroot /bin/bash "/qvm/root$session"
