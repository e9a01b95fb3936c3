// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * memaccess: one load or store of 8, 16 or 32 bits at a physical address,
 * aligned or not, through /dev/mem, as a program of one's own makes it.
 * busybox's devmem makes aligned accesses only; the guest tests use this to
 * show that an unaligned one faults.
 *
 *   memaccess ADDRESS BITS           load, prints the value (0x%08X)
 *   memaccess ADDRESS BITS VALUE     store
 *
 * The access is one plain load or store instruction of that width (the
 * pointer is volatile, so the compiler neither splits nor merges it).
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 3 && argc != 4) {
		fprintf(stderr, "usage: memaccess ADDRESS BITS [VALUE]\n");
		return 2;
	}
	uint32_t phys = strtoul(argv[1], NULL, 0);
	unsigned bits = strtoul(argv[2], NULL, 0);
	uint32_t value = argc == 4 ? strtoul(argv[3], NULL, 0) : 0;
	long page = sysconf(_SC_PAGESIZE);
	uint32_t base = phys & ~(uint32_t)(page - 1);
	int fd = open("/dev/mem", O_RDWR | O_SYNC);
	if (fd < 0) {
		perror("memaccess: /dev/mem");
		return 1;
	}
	/* Two pages: an access may straddle the end of the first. */
	volatile uint8_t *map = mmap(NULL, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, base);
	if (map == MAP_FAILED) {
		perror("memaccess: mmap");
		return 1;
	}
	volatile uint8_t *p = map + (phys - base);
	switch (bits) {
	case 8:
		if (argc == 4)
			*p = value;
		else
			value = *p;
		break;
	case 16:
		if (argc == 4)
			*(volatile uint16_t *)p = value;
		else
			value = *(volatile uint16_t *)p;
		break;
	case 32:
		if (argc == 4)
			*(volatile uint32_t *)p = value;
		else
			value = *(volatile uint32_t *)p;
		break;
	default:
		fprintf(stderr, "memaccess: BITS is 8, 16 or 32\n");
		return 2;
	}
	if (argc == 3)
		printf("0x%08X\n", value);
	return 0;
}
