#!/bin/sh
# /init of the guest system. Mounts what zkboot and efibootmgr need, runs
# what a system start runs (zkboot-once.service), then takes commands from
# the console: "ZKCMD N TEXT" runs TEXT and answers with its output between
# "ZKOUT N begin" and "ZKOUT N end rc=STATUS".
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /etc/modules); do
  insmod "/lib/modules/$m" || echo "ZKGUEST insmod $m failed"
done
mount -t efivarfs efivarfs /sys/firmware/efi/efivars || echo "ZKGUEST efivarfs mount failed"
# The hard drive's second partition keeps /var/lib/zkboot across boots.
i=0
while [ ! -b /dev/vda2 ] && [ $i -lt 200 ]; do
  sleep 0.05
  i=$((i + 1))
done
mount -t ext4 -o sync /dev/vda2 /var/lib/zkboot || echo "ZKGUEST state mount failed"
stty -echo 2>/dev/null
if [ -e /var/lib/zkboot/once ]; then
  zkboot clear --once > /tmp/once.out 2>&1
  echo "ZKGUEST once rc=$? $(cat /tmp/once.out | tr '\n' ' ')"
fi
echo "ZKGUEST up system=$(cat /etc/zkguest-system)"
while read -r tag n cmd; do
  [ "$tag" = ZKCMD ] || continue
  sh -c "$cmd" > /tmp/out 2>&1 < /dev/null
  rc=$?
  echo "ZKOUT $n begin"
  cat /tmp/out
  echo "ZKOUT $n end rc=$rc"
done
echo "ZKGUEST console closed"
