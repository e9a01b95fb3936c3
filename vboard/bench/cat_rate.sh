# Records per second that cat in a loop reads from /dev/accel, over 5 s:
#   vboard/run [--kernel 6.12] --script vboard/bench/cat_rate.sh
insmod /modules/accel.ko || exit 1
read -r up _ </proc/uptime
end=$((${up%.*} + 5))
n=0
while read -r up _ </proc/uptime && [ "${up%.*}" -lt "$end" ]; do
	cat /dev/accel >/dev/null || exit 1
	n=$((n + 1))
done
echo "cat /dev/accel: $n records in 5 s, $((n / 5)) per second"
