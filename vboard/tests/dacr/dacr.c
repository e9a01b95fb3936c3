// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The Domain Access Control Register on the board's processor, without a
 * kernel: a bare image (QEMU starts it at PL1, its MMU off) maps pages in
 * a domain of their own and checks that what the DACR's field for that
 * domain allows holds at once after every write, for reads and writes at
 * PL1, unprivileged reads (LDRT) and code, in whatever the emulator still
 * holds from before the write: its TLB entries, however many, and the TBs
 * its jump cache finds, under any number of DACR values. Linux's software
 * PAN writes the DACR on every entry to the kernel and around every access
 * to user memory, so QEMU patches that make those writes cheap are held
 * to the architecture here.
 *
 * Reports TAP lines through semihosting; exits 0 if every check passed.
 */
#include <stdint.h>

enum { SEMIHOSTING_WRITE0 = 0x04, SEMIHOSTING_EXIT = 0x18 };
enum { EXIT_SUCCESS_REASON = 0x20026, EXIT_FAILURE_REASON = 0x20023 };

void semihosting(int op, uintptr_t arg);
int call_code(uintptr_t address);

volatile uint32_t fault_status;

/* DACR fields */
enum { NO_ACCESS = 0, CLIENT = 1, MANAGER = 3 };
/* Fault status (DFSR/IFSR FS bits) */
enum { FS_MASK = 0x40f, FS_DOMAIN_PAGE = 0xb, FS_PERMISSION_PAGE = 0xf };

#define RAM_BASE 0x40000000u
#define RAM_SECTIONS 64 /* 1 MiB each, identity-mapped, domain 0 */
#define TEST_VA 0x50000000u
#define TEST_DOMAIN 1
/* More pages than QEMU lists for an MMU index. */
#define TEST_PAGES 80
#define PAGE_SIZE 4096u
#define RW_PAGE 0
#define RO_PAGE 1
#define CODE_OFFSET 0x800u
#define MARKER 0x5a000000u

static uint32_t l1[4096] __attribute__((aligned(16384)));
static uint32_t l2[256] __attribute__((aligned(1024)));
static uint8_t backing[TEST_PAGES][PAGE_SIZE] __attribute__((aligned(PAGE_SIZE)));

static int checks, failures;

static void print(const char *s)
{
	semihosting(SEMIHOSTING_WRITE0, (uintptr_t)s);
}

static void print_number(unsigned n)
{
	char digits[12];
	int i = sizeof(digits) - 1;

	digits[i] = 0;
	do {
		digits[--i] = (char)('0' + n % 10);
		n /= 10;
	} while (n && i > 0);
	print(&digits[i]);
}

static void check(int ok, const char *what)
{
	checks++;
	if (!ok) {
		failures++;
		print("not ");
	}
	print("ok ");
	print_number((unsigned)checks);
	print(" - ");
	print(what);
	print("\n");
}

static uintptr_t page_va(int page)
{
	return TEST_VA + (uintptr_t)page * PAGE_SIZE;
}

static void set_dacr(uint32_t dacr)
{
	__asm__ volatile("mcr p15, 0, %0, c3, c0, 0\n\tisb" : : "r"(dacr) : "memory");
}

/* Domain 0 (everything else) client; the test domain as given; the other
 * two fields make the value differ where a test needs distinct values. */
static uint32_t dacr(int test_field, int other)
{
	return CLIENT | (uint32_t)test_field << (2 * TEST_DOMAIN) | (uint32_t)(other & 0xf) << 4;
}

/* A read at PL1: the value, and whether it faulted with status fs. */
static uint32_t read_pl1(uintptr_t va, uint32_t *fs)
{
	uint32_t value = 0;

	fault_status = 0;
	__asm__ volatile("ldr %0, [%1]" : "+r"(value) : "r"(va) : "memory");
	*fs = fault_status & FS_MASK;
	return value;
}

static uint32_t read_unprivileged(uintptr_t va, uint32_t *fs)
{
	uint32_t value = 0;

	fault_status = 0;
	__asm__ volatile("ldrt %0, [%1]" : "+r"(value) : "r"(va) : "memory");
	*fs = fault_status & FS_MASK;
	return value;
}

static uint32_t write_pl1(uintptr_t va, uint32_t value)
{
	fault_status = 0;
	__asm__ volatile("str %0, [%1]" : : "r"(value), "r"(va) : "memory");
	return fault_status & FS_MASK;
}

static int run_code(uint32_t *fs)
{
	int value;

	fault_status = 0;
	value = call_code(page_va(RW_PAGE) + CODE_OFFSET);
	*fs = fault_status & FS_MASK;
	return value;
}

static int reads_marker(int page, uint32_t test_field)
{
	uint32_t fs;

	set_dacr(dacr(test_field, 0));
	return read_pl1(page_va(page), &fs) == MARKER + (uint32_t)page && fs == 0;
}

static int read_faults(int page)
{
	uint32_t fs;

	read_pl1(page_va(page), &fs);
	return fs == FS_DOMAIN_PAGE;
}

static void map(void)
{
	uint32_t i;

	for (i = 0; i < 4096; i++)
		l1[i] = 0;
	/* Sections: AP[1:0] 0b11 (full access), domain 0, normal memory. */
	for (i = 0; i < RAM_SECTIONS; i++)
		l1[(RAM_BASE >> 20) + i] = (RAM_BASE + (i << 20)) | 3u << 10 | 1u << 12 | 2u;
	/* A second-level table in the test domain. */
	l1[TEST_VA >> 20] = (uint32_t)(uintptr_t)l2 | TEST_DOMAIN << 5 | 1u;
	for (i = 0; i < 256; i++) {
		uint32_t ap = 3u << 4; /* full access */

		if (i == RO_PAGE)
			ap |= 1u << 9; /* AP[2]: read-only */
		l2[i] = i < TEST_PAGES ? (uint32_t)(uintptr_t)backing[i] | ap | 1u << 6 | 2u : 0;
	}
	for (i = 0; i < TEST_PAGES; i++)
		*(volatile uint32_t *)backing[i] = MARKER + i;
	/* mov r0, #42; bx lr */
	((volatile uint32_t *)(backing[RW_PAGE] + CODE_OFFSET))[0] = 0xe3a0002a;
	((volatile uint32_t *)(backing[RW_PAGE] + CODE_OFFSET))[1] = 0xe12fff1e;

	set_dacr(dacr(CLIENT, 0));
	__asm__ volatile("mcr p15, 0, %0, c2, c0, 2\n\t" /* TTBCR: short descriptors, TTBR0 only */
			 "mcr p15, 0, %1, c2, c0, 0\n\t" /* TTBR0 */
			 "mcr p15, 0, %0, c8, c7, 0\n\t" /* TLBIALL */
			 "mcr p15, 0, %0, c7, c5, 0\n\t" /* ICIALLU */
			 "dsb\n\tisb\n\t"
			 "mrc p15, 0, r0, c1, c0, 0\n\t"
			 "orr r0, r0, #1\n\t" /* SCTLR.M */
			 "mcr p15, 0, r0, c1, c0, 0\n\t"
			 "isb"
			 :
			 : "r"(0), "r"((uint32_t)(uintptr_t)l1)
			 : "r0", "memory");
}

int main(void)
{
	uint32_t fs;
	int page, i, ok;

	map();
	print("TAP version 13\n");

	/* Reads at PL1: a field that takes access away is felt at once, the
	 * first time (nothing learnt yet) and afterwards. */
	check(reads_marker(RW_PAGE, CLIENT), "client: the page reads");
	set_dacr(dacr(NO_ACCESS, 0));
	check(read_faults(RW_PAGE), "no access: a domain fault");
	check(reads_marker(RW_PAGE, CLIENT), "client again: the page reads");
	set_dacr(dacr(NO_ACCESS, 0));
	check(read_faults(RW_PAGE), "no access again: a domain fault");

	/* Unprivileged reads: the PL0 view, from PL1. */
	set_dacr(dacr(CLIENT, 0));
	ok = read_unprivileged(page_va(RW_PAGE), &fs) == MARKER && fs == 0;
	set_dacr(dacr(NO_ACCESS, 0));
	read_unprivileged(page_va(RW_PAGE), &fs);
	ok = ok && fs == FS_DOMAIN_PAGE;
	set_dacr(dacr(CLIENT, 0));
	ok = ok && read_unprivileged(page_va(RW_PAGE), &fs) == MARKER && fs == 0;
	check(ok, "LDRT: reads under client, faults under no access");

	/* Manager ignores the page's permissions, client checks them. */
	set_dacr(dacr(MANAGER, 0));
	ok = write_pl1(page_va(RO_PAGE), MARKER + RO_PAGE) == 0;
	set_dacr(dacr(CLIENT, 0));
	check(ok && write_pl1(page_va(RO_PAGE), 0) == FS_PERMISSION_PAGE &&
		      *(volatile uint32_t *)backing[RO_PAGE] == MARKER + RO_PAGE,
	      "manager writes a read-only page; client then may not");

	/* Code: run twice (the emulator finds it again by address), then
	 * taken away, then given back. */
	__asm__ volatile("mcr p15, 0, %0, c7, c5, 0\n\tdsb\n\tisb" : : "r"(0) : "memory");
	ok = run_code(&fs) == 42 && fs == 0 && run_code(&fs) == 42 && fs == 0;
	check(ok, "client: the page's code runs");
	set_dacr(dacr(NO_ACCESS, 0));
	check(run_code(&fs) == -1 && fs == FS_DOMAIN_PAGE,
	      "no access: its code takes a prefetch abort");
	set_dacr(dacr(CLIENT, 0));
	check(run_code(&fs) == 42 && fs == 0, "client again: its code runs");

	/* More pages than are listed: every one of them faults. */
	ok = 1;
	for (page = 0; page < TEST_PAGES; page++)
		ok = ok && reads_marker(page, CLIENT);
	set_dacr(dacr(NO_ACCESS, 0));
	for (page = 0; page < TEST_PAGES; page++)
		ok = ok && read_faults(page);
	check(ok, "each of many pages read under client faults under no access");

	/* More DACR values than the emulator tells apart at once: the code
	 * run under each, then taken away under each of them in turn. */
	ok = 1;
	for (i = 0; i < 12; i++) {
		set_dacr(dacr(CLIENT, i));
		ok = ok && run_code(&fs) == 42 && fs == 0;
	}
	for (i = 0; i < 12; i++) {
		set_dacr(dacr(NO_ACCESS, i));
		ok = ok && run_code(&fs) == -1 && fs == FS_DOMAIN_PAGE && read_faults(RW_PAGE);
		set_dacr(dacr(CLIENT, i));
		ok = ok && run_code(&fs) == 42 && fs == 0;
	}
	check(ok, "code and data under twelve DACR values, taken away under each");

	print("1..");
	print_number((unsigned)checks);
	print("\n");
	semihosting(SEMIHOSTING_EXIT, failures ? EXIT_FAILURE_REASON : EXIT_SUCCESS_REASON);
	return 0;
}
