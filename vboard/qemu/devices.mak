# SPDX-License-Identifier: GPL-2.0-or-later
# Devices of the virtual board's QEMU: the virt machine, which the board
# machine extends, and nothing else. The processor code also needs the M
# profile's interrupt controller to link.
CONFIG_ARM_VIRT=y
CONFIG_ARM_V7M=y
# The front panel's console and reader ports (vboard/panel/): virtio-serial.
CONFIG_VIRTIO_SERIAL=y
