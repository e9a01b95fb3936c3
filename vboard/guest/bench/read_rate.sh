# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Guest half of vboard/bench/read_rate.sh: records per second a tight reader
# (readrate) gets from each node. $1 (from the host) is the time per figure.
seconds=${1:-3}

rate() { # usage: rate LABEL NODE
	printf '%s ' "$1"
	readrate "$2" "$seconds" || exit 1
}

for variant in accel accel_cmd accel_basic; do
	insmod /modules/$variant.ko || exit 1
	sleep 0.2
	rate "$variant@12.5Hz" /dev/accel
	if [ $variant != accel_basic ]; then
		echo rate 25 >/dev/accel || exit 1
		sleep 0.1
		rate "$variant@25Hz" /dev/accel
	fi
	rmmod $variant || exit 1
done

insmod /modules/panelio.ko || exit 1
rate KEY /dev/KEY
rate SW /dev/SW
rmmod panelio
