# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# shellcheck disable=SC2154 # apt_dir, apt_arch, apt_sources: the caller's
# apt with state of its own, so that packages are fetched without touching
# the machine's apt. Sourced by fetch-kernel.sh and build-qemu.sh, which set
# first:
#   apt_dir      folder of the state: sources, lists, downloads
#   apt_arch     further apt options (architectures), may be empty
#   apt_sources  the lines of its sources.list
# and have a log function for progress messages. The package cache is kept
# even where the machine's configuration turns it off, as every query would
# parse the lists again.

apt_opts() {
	echo "-q $apt_arch" \
		"-o Dir::State::Lists=$apt_dir/lists -o Dir::State::status=$apt_dir/status" \
		"-o Dir::Etc::SourceList=$apt_dir/sources.list -o Dir::Etc::SourceParts=/dev/null" \
		"-o Dir::Cache=$apt_dir/cache -o Dir::Cache::pkgcache=pkgcache.bin" \
		"-o Dir::Cache::srcpkgcache=srcpkgcache.bin -o APT::Sandbox::User=root"
}

# The package lists are fetched once per run, and only when needed.
apt_updated=
apt_update() {
	[ -n "$apt_updated" ] && return 0
	mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
	: >"$apt_dir/status"
	printf '%s\n' "$apt_sources" >"$apt_dir/sources.list"
	log "updating the package lists"
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	apt-get $(apt_opts) update >&2
	apt_updated=1
}
