// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * busloop: COUNT 32-bit loads, or stores of VALUE, at a physical address
 * through /dev/mem, as fast as the processor makes them, for the fabric's
 * benchmark (vboard/bench/fabric.sh). Prints the guest's time they took.
 *
 *   busloop ADDRESS COUNT load
 *   busloop ADDRESS COUNT store VALUE
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv)
{
	if (argc < 4 || (strcmp(argv[3], "load") && argc != 5)) {
		fprintf(stderr, "usage: busloop ADDRESS COUNT load|store VALUE\n");
		return 2;
	}
	uint32_t phys = strtoul(argv[1], NULL, 0);
	unsigned long count = strtoul(argv[2], NULL, 0);
	int store = !strcmp(argv[3], "store");
	uint32_t value = argc == 5 ? strtoul(argv[4], NULL, 0) : 0, sum = 0;
	long page = sysconf(_SC_PAGESIZE);
	int fd = open("/dev/mem", O_RDWR | O_SYNC);
	if (fd < 0) {
		perror("busloop: /dev/mem");
		return 1;
	}
	volatile uint32_t *map = mmap(NULL, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
				      phys & ~(uint32_t)(page - 1));
	if (map == MAP_FAILED) {
		perror("busloop: mmap");
		return 1;
	}
	volatile uint32_t *reg = map + (phys & (page - 1)) / 4;
	long long start = now_ns();
	for (unsigned long i = 0; i < count; i++) {
		if (store)
			*reg = value;
		else
			sum += *reg;
	}
	printf("%lu %ss in %lld ns of guest time (%x)\n", count, argv[3], now_ns() - start, sum);
	return 0;
}
