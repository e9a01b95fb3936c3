/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Start-up and exception entry of the DACR test: it runs at PL1 (SVC), as
 * QEMU starts a bare ELF image. An abort records its fault status and
 * returns: a data abort to the instruction after the access, a prefetch
 * abort to where call_code() resumes, with -1 as the call's value.
 */
	.syntax unified
	.arm
	.section .text.start, "ax"
	.global _start
_start:
	cpsid	aif
	cps	#0x17			@ abort mode: its stack
	ldr	sp, =abort_stack_top
	cps	#0x13			@ back to supervisor mode
	ldr	sp, =stack_top
	ldr	r0, =vectors
	mcr	p15, 0, r0, c12, c0, 0	@ VBAR
	isb
	bl	main
1:	b	1b

	.balign	32
vectors:
	b	.			@ reset
	b	.			@ undefined instruction
	b	.			@ supervisor call
	b	prefetch_abort
	b	data_abort
	b	.
	b	.			@ IRQ
	b	.			@ FIQ

data_abort:
	push	{r0, r1}
	mrc	p15, 0, r0, c5, c0, 0	@ DFSR
	ldr	r1, =fault_status
	str	r0, [r1]
	pop	{r0, r1}
	subs	pc, lr, #4

prefetch_abort:
	mrc	p15, 0, r0, c5, c0, 1	@ IFSR
	ldr	r1, =fault_status
	str	r0, [r1]
	mvn	r0, #0
	ldr	lr, =call_resume
	ldr	lr, [lr]
	movs	pc, lr

/* int call_code(uintptr_t address): the code's value, or -1 if it aborts */
	.global call_code
call_code:
	push	{r4, lr}
	ldr	r4, =call_resume
	adr	r1, 1f
	str	r1, [r4]
	blx	r0
1:	pop	{r4, pc}

/* void semihosting(int op, uintptr_t arg) */
	.global semihosting
semihosting:
	svc	#0x123456
	bx	lr

	.bss
	.balign	8
	.space	1024
abort_stack_top:
	.space	4096
stack_top:
	.global call_resume
call_resume:
	.space	4
.section .note.GNU-stack,"",%progbits
