/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The FPGA fabric's C interface: what the virtual board's QEMU
 * (vboard/qemu/fabric.c) and the host tests see of a design that
 * vboard/fabric/build.sh compiled with Verilator into a shared library. The
 * library exports one symbol, FABRIC_ENTRY, a function that returns the
 * design's operations; nothing of Verilator shows through.
 *
 * Time is the caller's clock in nanoseconds (QEMU's virtual clock). The
 * design's clock runs at the rate given to create(): every operation that
 * takes a time first runs the design for the cycles due since it last ran,
 * so a counter in the design follows the caller's clock. A bus transfer then
 * takes the design's cycles of its own, which run the design ahead of the
 * caller's clock until that catches up: by the cycles of one transfer while
 * transfers are farther apart than they take.
 *
 * Not thread-safe: the caller serialises the calls (QEMU's global lock).
 */
#ifndef VBOARD_FABRIC_ABI_H
#define VBOARD_FABRIC_ABI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Changes whenever anything below changes meaning. */
#define FABRIC_ABI_VERSION 3
#define FABRIC_ENTRY "boardio_fabric_entry"

/* A transfer the design has not completed within this many of its cycles
 * (address, data and response handshakes together) ends with
 * FABRIC_TIMEOUT. */
#define FABRIC_TRANSFER_CYCLES 256
/* rst_n is held low for this many cycles by reset(), before time begins. */
#define FABRIC_RESET_CYCLES 4
/* A press holds key high for this many cycles, then releases it. */
#define FABRIC_PRESS_CYCLES 16
/* For a design with an interrupt output, next_ns() is at most this far
 * ahead, so that an interrupt the design raises by itself is seen within
 * it. Each poll stops the processor's emulation (some 20 us of host time
 * under -icount), so it is not made shorter: 20000 polls a second of
 * guest time cost a fifth of the time without a fabric. */
#define FABRIC_POLL_NS 50000
#define FABRIC_HEX_DIGITS 6

/* The AXI4-Lite responses, and the bus's own verdict on a silent design. */
enum fabric_status {
	FABRIC_OKAY = 0,
	FABRIC_EXOKAY = 1,
	FABRIC_SLVERR = 2,
	FABRIC_DECERR = 3,
	FABRIC_TIMEOUT = 4,
};

/* What the design's top module has; a width of 0: no such port. */
struct fabric_design {
	const char *top;    /* the top module's name */
	const char *id;	    /* hash of what the library was built from */
	unsigned addr_bits; /* of s_axi_awaddr and s_axi_araddr: span 1 << addr_bits */
	unsigned key_bits, sw_bits, ledr_bits;
	unsigned hex_digits; /* bit n: the design drives hexN */
	bool irq;
};

/* The design's outputs to the board, as it drives them now. */
struct fabric_outputs {
	bool irq;
	uint32_t ledr;			/* bit n: LEDR n lit */
	uint8_t hex[FABRIC_HEX_DIGITS]; /* 7 segments, a in bit 0, lit = 0 */
};

struct fabric;

struct fabric_ops {
	uint32_t abi_version; /* FABRIC_ABI_VERSION */
	const struct fabric_design *design;
	/* A design clocked at clock_hz, in reset; NULL for a rate of 0. Its
	 * initial blocks run in folder (NULL: the process's own), so that a
	 * $readmemh or $readmemb path is relative to the design's file. */
	struct fabric *(*create)(uint64_t clock_hz, const char *folder);
	void (*destroy)(struct fabric *f);
	/* Resets the design (rst_n low for FABRIC_RESET_CYCLES cycles); its
	 * cycle 0 is at now_ns. The inputs keep their values. */
	void (*reset)(struct fabric *f, uint64_t now_ns);
	/* Runs the cycles due by now_ns. */
	void (*sync)(struct fabric *f, uint64_t now_ns);
	/* A word at a byte offset (its two low bits are ignored), and a store
	 * of the bytes strb selects (bit n: byte lane n). */
	enum fabric_status (*read)(struct fabric *f, uint64_t now_ns, uint32_t addr,
				   uint32_t *data);
	enum fabric_status (*write)(struct fabric *f, uint64_t now_ns, uint32_t addr, uint32_t data,
				    uint32_t strb);
	/* The board's pushbuttons held down (pressed = 1) and switches, from
	 * now_ns on; press() adds the buttons in mask for FABRIC_PRESS_CYCLES. */
	void (*set_inputs)(struct fabric *f, uint64_t now_ns, uint32_t key, uint32_t sw);
	void (*press)(struct fabric *f, uint64_t now_ns, uint32_t mask);
	void (*outputs)(struct fabric *f, struct fabric_outputs *out);
	/* Cycles run since the reset, transfers included. */
	uint64_t (*cycles)(struct fabric *f);
	/* When the design should run next: a release of a press or, for a
	 * design with an interrupt output, FABRIC_POLL_NS after the cycles run
	 * so far; UINT64_MAX for never. */
	uint64_t (*next_ns)(struct fabric *f);
	/* The whole state (the design's, its time and inputs) as bytes that
	 * stay valid until the next call on f; restore() takes them back into
	 * a fabric of the same library and rate, false when they do not fit. */
	const void *(*save)(struct fabric *f, size_t *size);
	bool (*restore)(struct fabric *f, const void *data, size_t size);
	/* Why the design halted ("FILE:LINE: MESSAGE": its $stop, $fatal,
	 * $finish or a failed assertion), NULL while it runs. A halted design
	 * runs no cycles, answers every transfer with FABRIC_TIMEOUT at once,
	 * keeps its outputs but the interrupt, which drops, until reset()
	 * starts it again from a new model (its initial blocks run again, in
	 * create()'s folder). */
	const char *(*halted)(struct fabric *f);
	/* A trace of the design's signals into path (FST, in picoseconds of
	 * the caller's time) and of its bus transfers and interrupt changes
	 * into path + ".log", for what happens from from_ns until until_ns
	 * (UINT64_MAX: no end); false, with errno, when a file cannot be
	 * written. A NULL path ends the trace; so do a restore and a reset
	 * that starts a new model. */
	bool (*trace)(struct fabric *f, const char *path, uint64_t from_ns, uint64_t until_ns);
};

typedef const struct fabric_ops *(*fabric_entry_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* VBOARD_FABRIC_ABI_H */
