# Short demonstration of the virtual board, run when there is no terminal.
set -e
show() {
	echo "vboard# $*"
	sh -c "$*"
}
show insmod /modules/accel.ko
show insmod /modules/panelio.ko
show cat /dev/accel
show 'echo rate 25 > /dev/accel'
show 'dmesg | tail -n 2'
show board tilt 0 707 707
show 'sleep 0.1; cat /dev/accel'
show 'board press 5; cat /dev/KEY'
show 'board switches 2a5; cat /dev/SW'
show 'echo | linefan | wc -c'
show rmmod accel panelio
