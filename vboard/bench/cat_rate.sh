# Records per second that cat in a loop reads from /dev/accel, over 5 s:
#   vboard/run [--kernel 6.12] --script vboard/bench/cat_rate.sh
insmod /modules/accel.ko || exit 1

# now: uptime in hundredths of a second (/proc/uptime has two decimals),
# read without a subshell so the loop costs only the cat.
tick() {
	read -r up _ </proc/uptime
	now=${up%.*}${up#*.}
	# Leading zeros (uptime under ten seconds) would read as octal.
	while [ "${now#0}" != "$now" ]; do now=${now#0}; done
}

tick
start=$now
n=0
while tick && [ "$now" -lt $((start + 500)) ]; do
	cat /dev/accel >/dev/null || exit 1
	n=$((n + 1))
done
elapsed=$((now - start))
echo "cat /dev/accel: $n records in $((elapsed / 100)).$((elapsed % 100)) s," \
	"$((n * 100 / elapsed)) per second"
