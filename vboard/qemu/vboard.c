// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The virtual board: QEMU's virt machine (processor, interrupt controller,
 * UART, RAM) with the board's devices at the board's physical addresses.
 *
 *   0xFFC04000 +0x100   I2C controller 0, the accelerometer on its bus
 *   0xFFD08000 +0x800   system manager (pin multiplexing)
 *   0xFF200000 +0x200000 the lightweight bridge's window (models/lwbridge.h):
 *   0xFF200000 +0x5000  pushbutton and switch ports
 *   0xFF210000          the fabric's design, when there is one (fabric.c)
 *   0x0B000000 +0x1000  control page: the outside world, for the guest
 *   0x0B100000 +0xF00000 mailbox: the work of a run
 *
 * The numbers live in models/board.h and models/lwbridge.h (the board's
 * windows) and control_page.h (the control page and the mailbox); the
 * machine shows a host program what it needs of them as read-only
 * properties (inputs.c: bridge-base, bridge-size, mailbox-size, ...).
 *
 * The devices are the project's models (board_bridge.h); board time is the
 * virtual clock, brought up to date before every access and at each event
 * the models announce (a byte done, a sample due), when the interrupt
 * lines are brought up to date: I2C controller 0 on SPI 10, the sensor's
 * INT1 pin on SPI 11 (free in virt's map). The device tree describes both
 * devices as a board's would, so Linux's own drivers bind to them. Guest
 * mistakes the models notice go to QEMU's guest-error log (-d
 * guest_errors); the board's state migrates and snapshots with VMState.
 *
 * This file wires the machine: its windows, device tree, reset and saved
 * state. What a person does to the board and the machine's properties are
 * in inputs.c, the control page in control.c, what they share in vboard.h.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/log.h"
#include "migration/vmstate.h"
#include "hw/arm/fdt.h"
#include "hw/irq.h"
#include "hw/qdev-properties.h"
#include "hw/sysbus.h"
#include "sysemu/device_tree.h"
#include "sysemu/runstate.h"
#include "qemu/error-report.h"
#include "qemu/timer.h"
#include "qemu/units.h"
#include "exec/address-spaces.h"
#include "hw/arm/virt.h"
#include "hw/boards.h"
#include "hw/block/flash.h"
#include "sysemu/reset.h"
#include "sysemu/cpu-timers.h"

#include "vboard.h"

uint64_t vboard_sync(VBoardMachineState *s)
{
	uint64_t now_ns = qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL);

	bm_sync(s->board, now_ns);
	vboard_play_sync(s, now_ns);
	return now_ns;
}

/* Interrupt lines as the board stands now, and a wake-up at its next event. */
void vboard_update(VBoardMachineState *s)
{
	uint64_t next;

	if (!s->event_timer)
		return;
	vboard_sync(s);
	qemu_set_irq(s->i2c0_irq, bm_i2c0_irq(s->board));
	qemu_set_irq(s->sensor_int1, bm_sensor_int1(s->board));
	next = bm_next_event_ns(s->board);
	/* Re-arming kicks the processor out of its loop: only on a change. */
	if (next == UINT64_MAX || next > INT64_MAX)
		timer_del(s->event_timer);
	else if (!timer_pending(s->event_timer) ||
		 timer_expire_time_ns(s->event_timer) != (int64_t)next)
		timer_mod(s->event_timer, next);
}

static void vboard_event(void *opaque)
{
	vboard_update(opaque);
}

static void vboard_guest_error(const char *device, const char *what, uint32_t offset,
			       uint32_t value)
{
	qemu_log_mask(LOG_GUEST_ERROR, "vboard %s: %s (offset/register 0x%x, value 0x%x)\n", device,
		      what, offset, value);
}

/* --- the board's windows ------------------------------------------------ */

/* Records a load of I2C controller 0; true when it repeats, since the last
 * store to a window, an earlier load of the same register and value. */
static bool repeats_recent_load(VBoardMachineState *s, uint32_t offset, uint32_t value)
{
	unsigned i, slot;

	for (i = 0; i < s->polls; i++) {
		if (s->poll_offset[i] == offset) {
			bool same = s->poll_value[i] == value;

			s->poll_value[i] = value;
			return same;
		}
	}
	slot = s->polls < VBOARD_POLL_SLOTS ? s->polls++ : offset / 4 % VBOARD_POLL_SLOTS;
	s->poll_offset[slot] = offset;
	s->poll_value[slot] = value;
	return false;
}

/*
 * Under -icount the guest's time comes from its instructions, and a driver
 * polling I2C controller 0 through a byte on the bus would pay for each of
 * its nanoseconds with emulated polls, each an I/O exit. A load that repeats
 * an earlier one is a poll: nothing in the window reads differently before
 * the controller's next event, so the guest's clock jumps there at once
 * (icount_skip, the project's patch to QEMU: never past a timer's deadline),
 * as it does while the processor idles, and the driver sees the same values
 * in fewer polls (models/board.h, board_poll_skip_until: the host tests'
 * simulated kernel skips the same polls). Without -icount time follows the
 * host's and nothing is skipped.
 */
static void skip_idle_poll(VBoardWindow *w, uint32_t offset, uint32_t value)
{
	VBoardMachineState *s = w->machine;
	uint64_t now, until;

	if (!icount_enabled() || !repeats_recent_load(s, offset, value))
		return;
	now = qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL);
	until = bm_poll_skip_until(s->board, w->id, offset);
	if (until > now && icount_skip(until - now) > 0)
		vboard_sync(s);
}

static MemTxResult vboard_window_read(void *opaque, hwaddr offset, uint64_t *data, unsigned size,
				      MemTxAttrs attrs)
{
	VBoardWindow *w = opaque;
	uint32_t value;
	bool ok;

	vboard_sync(w->machine);
	ok = bm_read(w->machine->board, w->id, offset, size, &value);
	*data = value;
	if (ok && w->id == BM_I2C0)
		skip_idle_poll(w, offset, value);
	vboard_update(w->machine);
	return ok ? MEMTX_OK : MEMTX_ERROR;
}

/*
 * Every access, store or load, brings the board clock up to date first. The
 * processor may pause between the stores of one access (translating code,
 * taking an interrupt); a controller that holds the bus when its queue runs
 * dry, as the board's does by default, then simply waits for the next word.
 */
static MemTxResult vboard_window_write(void *opaque, hwaddr offset, uint64_t value, unsigned size,
				       MemTxAttrs attrs)
{
	VBoardWindow *w = opaque;
	bool ok;

	vboard_sync(w->machine);
	w->machine->polls = 0;
	ok = bm_write(w->machine->board, w->id, offset, size, value);
	vboard_update(w->machine);
	return ok ? MEMTX_OK : MEMTX_ERROR;
}

/*
 * Registers are 32 bits wide. An unaligned access takes the processor's
 * alignment fault before it reaches the board (valid.unaligned false, with
 * the project's patch to QEMU's softmmu, vboard/qemu-patches/), as an
 * unaligned access to Device memory does on the board. A narrow access is
 * widened or refused as the board was built (the narrow-access property); a
 * refused access is a bus error, which the processor takes as an external
 * abort.
 */
static const MemoryRegionOps vboard_window_ops = {
	.read_with_attrs = vboard_window_read,
	.write_with_attrs = vboard_window_write,
	.endianness = DEVICE_LITTLE_ENDIAN,
	.valid = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
	.impl = {.min_access_size = 1, .max_access_size = 4, .unaligned = false},
};

/* --- machine ------------------------------------------------------------ */

static void vboard_reset(void *opaque)
{
	VBoardMachineState *s = opaque;

	bm_reset(s->board);
	memset(s->line, 0, sizeof(s->line));
	memset(s->message, 0, sizeof(s->message));
	s->status = CTL_STATUS_OK;
	vboard_modules_reset(s);
	vboard_update(s);
}

static int vboard_pre_load(void *opaque)
{
	vboard_play_pre_load(opaque);
	return 0;
}

static int vboard_post_load(void *opaque, int version_id)
{
	vboard_update(opaque);
	return 0;
}

/*
 * The models' state is one plain structure without pointers (board.h), so
 * it travels as one buffer; a build whose structure differs in size is
 * refused rather than misread. A recording playing and the guest's module
 * table come in subsections, which a board saved before them goes without.
 */
static const VMStateDescription vmstate_vboard = {
	.name = "vboard",
	.version_id = 2,
	.minimum_version_id = 2,
	.pre_load = vboard_pre_load,
	.post_load = vboard_post_load,
	.fields =
		(VMStateField[]){
			VMSTATE_UINT32_EQUAL(board_size, VBoardMachineState, NULL),
			VMSTATE_VBUFFER_UINT32(board, VBoardMachineState, 1, NULL, board_size),
			VMSTATE_UINT8_ARRAY(line, VBoardMachineState, CTL_TEXT_SIZE),
			VMSTATE_BUFFER(message, VBoardMachineState),
			VMSTATE_UINT32(status, VBoardMachineState), VMSTATE_END_OF_LIST()},
	.subsections =
		(const VMStateDescription *[]){&vmstate_vboard_play, &vmstate_vboard_modules, NULL},
};

/* The controller with its input clock and interrupt, the sensor on its bus. */
static void vboard_fdt(VBoardMachineState *s)
{
	VirtMachineState *vms = VIRT_MACHINE(s);
	void *fdt = MACHINE(s)->fdt;
	const struct bm_window *win = &bm_windows[BM_I2C0];
	uint32_t clk = qemu_fdt_alloc_phandle(fdt);
	g_autofree char *bus = g_strdup_printf("/i2c@%x", win->base);
	g_autofree char *sensor =
		g_strdup_printf("%s/accelerometer@%x", bus, VBOARD_SENSOR_ADDRESS);

	qemu_fdt_add_subnode(fdt, "/i2c0-clk");
	qemu_fdt_setprop_string(fdt, "/i2c0-clk", "compatible", "fixed-clock");
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "#clock-cells", 0);
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "clock-frequency", bm_i2c0_clock_hz());
	qemu_fdt_setprop_string(fdt, "/i2c0-clk", "clock-output-names", "i2c0_clk");
	qemu_fdt_setprop_cell(fdt, "/i2c0-clk", "phandle", clk);

	qemu_fdt_add_subnode(fdt, bus);
	qemu_fdt_setprop_string(fdt, bus, "compatible", "snps,designware-i2c");
	qemu_fdt_setprop_sized_cells(fdt, bus, "reg", 2, win->base, 2, win->span);
	qemu_fdt_setprop_cell(fdt, bus, "interrupt-parent", vms->gic_phandle);
	qemu_fdt_setprop_cells(fdt, bus, "interrupts", GIC_FDT_IRQ_TYPE_SPI, VBOARD_I2C0_SPI,
			       GIC_FDT_IRQ_FLAGS_LEVEL_HI);
	qemu_fdt_setprop_cell(fdt, bus, "clocks", clk);
	qemu_fdt_setprop_cell(fdt, bus, "clock-frequency", VBOARD_I2C0_BUS_HZ);
	qemu_fdt_setprop_cell(fdt, bus, "#address-cells", 1);
	qemu_fdt_setprop_cell(fdt, bus, "#size-cells", 0);

	qemu_fdt_add_subnode(fdt, sensor);
	qemu_fdt_setprop_string(fdt, sensor, "compatible", "adi,adxl345");
	qemu_fdt_setprop_cell(fdt, sensor, "reg", VBOARD_SENSOR_ADDRESS);
	qemu_fdt_setprop_cell(fdt, sensor, "interrupt-parent", vms->gic_phandle);
	qemu_fdt_setprop_cells(fdt, sensor, "interrupts", GIC_FDT_IRQ_TYPE_SPI,
			       VBOARD_SENSOR_INT1_SPI, GIC_FDT_IRQ_FLAGS_LEVEL_HI);
}

/* --- the fabric ---------------------------------------------------------- */

/*
 * A design of the fabric at base: its window, as wide as its address ports
 * reach, must lie in the bridge's, aligned to its span (as the bridge's
 * decoder passes the offset), clear of the board's ports unless it stands in
 * their place. Here is where that is checked: vboard/run passes these
 * messages on to its user, so they name its option, --fabric-base.
 */
static VBoardFabric *vboard_fabric_new(VBoardMachineState *s, const char *library, uint64_t base,
				       bool ports)
{
	DeviceState *dev = qdev_new(TYPE_VBOARD_FABRIC);
	VBoardFabric *f = VBOARD_FABRIC(dev);
	const struct bm_window *model = &bm_windows[BM_PORTS];
	const char *top;
	uint64_t span, ports_end;

	qdev_prop_set_string(dev, "library", library);
	if (!ports && s->fabric_folder)
		qdev_prop_set_string(dev, "folder", s->fabric_folder);
	if (!ports && s->fabric_trace) {
		qdev_prop_set_string(dev, "trace", s->fabric_trace);
		qdev_prop_set_uint64(dev, "trace-from", s->fabric_trace_from_ns);
		qdev_prop_set_uint64(dev, "trace-for", s->fabric_trace_for_ns);
	}
	qdev_prop_set_uint64(dev, "clock-hz", s->fabric_clock_hz);
	sysbus_realize_and_unref(SYS_BUS_DEVICE(dev), &error_fatal);
	span = vboard_fabric_span(f);
	top = vboard_fabric_top(f);
	ports_end = model->base +
		    MAX(model->span, s->fabric_ports ? vboard_fabric_span(s->fabric_ports) : 0);
	if (base < BOARD_LWBRIDGE_BASE || span > BOARD_LWBRIDGE_SIZE ||
	    base - BOARD_LWBRIDGE_BASE > BOARD_LWBRIDGE_SIZE - span) {
		error_report("vboard: the design %s spans 0x%" PRIX64 " to 0x%" PRIX64
			     ", outside the bridge window 0x%X to 0x%X (--fabric-base)",
			     top, base, base + span - 1, BOARD_LWBRIDGE_BASE,
			     BOARD_LWBRIDGE_BASE + BOARD_LWBRIDGE_SIZE - 1);
		exit(1);
	}
	if (base & (span - 1)) {
		error_report("vboard: the design %s spans 0x%" PRIX64
			     " bytes: --fabric-base must be a multiple of that",
			     top, span);
		exit(1);
	}
	if (!ports && base < ports_end && model->base < base + span) {
		error_report("vboard: the design %s at 0x%" PRIX64 " to 0x%" PRIX64
			     " overlaps the board's ports at 0x%X to 0x%" PRIX64 " (--fabric-base)",
			     top, base, base + span - 1, model->base, ports_end - 1);
		exit(1);
	}
	sysbus_mmio_map(SYS_BUS_DEVICE(dev), 0, base);
	vboard_fabric_set_inputs(f, bm_held(s->board), bm_switches(s->board));
	return f;
}

/* One's own design: its window and, when it has one, its interrupt on
 * VBOARD_FABRIC_SPI, in a node of its own that the fabric's UIO driver
 * binds to. */
static void vboard_fabric_init(VBoardMachineState *s)
{
	VirtMachineState *vms = VIRT_MACHINE(s);
	void *fdt = MACHINE(s)->fdt;
	g_autofree char *node = g_strdup_printf("/fabric@%" PRIx64, s->fabric_base);

	s->fabric = vboard_fabric_new(s, s->fabric_library, s->fabric_base, false);
	qemu_fdt_add_subnode(fdt, node);
	qemu_fdt_setprop_string(fdt, node, "compatible", "boardio,fabric");
	qemu_fdt_setprop_sized_cells(fdt, node, "reg", 2, s->fabric_base, 2,
				     vboard_fabric_span(s->fabric));
	if (vboard_fabric_has_irq(s->fabric)) {
		sysbus_connect_irq(SYS_BUS_DEVICE(s->fabric), 0,
				   qdev_get_gpio_in(vms->gic, VBOARD_FABRIC_SPI));
		qemu_fdt_setprop_cell(fdt, node, "interrupt-parent", vms->gic_phandle);
		qemu_fdt_setprop_cells(fdt, node, "interrupts", GIC_FDT_IRQ_TYPE_SPI,
				       VBOARD_FABRIC_SPI, GIC_FDT_IRQ_FLAGS_LEVEL_HI);
	}
}

/* RAM, from virt's base up, must end below the lowest window. */
static void vboard_check_ram(VBoardMachineState *s, MachineState *ms)
{
	hwaddr ram_base = VIRT_MACHINE(s)->memmap[VIRT_MEM].base;
	hwaddr lowest = UINT32_MAX;
	unsigned i;

	for (i = 0; i < BM_WINDOWS; i++)
		lowest = MIN(lowest, bm_windows[i].base);
	if (ms->maxram_size > ms->ram_size) {
		error_report("vboard: the board has no memory hotplug (maxmem, slots)");
		exit(1);
	}
	if (ram_base + ms->ram_size > lowest) {
		error_report("vboard: %" PRIu64 " MiB of RAM would reach the board's windows"
			     " at 0x%" HWADDR_PRIx "; at most %" PRIu64 " MiB",
			     (uint64_t)(ms->ram_size / MiB), lowest,
			     (uint64_t)((lowest - ram_base) / MiB));
		exit(1);
	}
}

/*
 * virt's two flash banks hold firmware; the board boots its kernel directly
 * and never uses them. Left out of the saved state, their 128 MiB of zeros
 * cost a restored machine nothing (the stream would carry them as zero
 * pages, each checked when loaded).
 */
static void vboard_unsave_flash(VBoardMachineState *s)
{
	VirtMachineState *vms = VIRT_MACHINE(s);
	unsigned i;

	for (i = 0; i < ARRAY_SIZE(vms->flash); i++)
		vmstate_unregister_ram(pflash_cfi01_get_memory(vms->flash[i]),
				       DEVICE(vms->flash[i]));
}

static void vboard_init(MachineState *ms)
{
	VBoardMachineState *s = VBOARD_MACHINE(ms);
	unsigned i;

	VBOARD_MACHINE_GET_CLASS(s)->parent_init(ms);
	vboard_check_ram(s, ms);
	vboard_unsave_flash(s);

	for (i = 0; i < BM_WINDOWS; i++) {
		VBoardWindow *w = &s->window[i];

		/* The ports as logic stand in place of their model. */
		if (i == BM_PORTS && s->fabric_ports_library)
			continue;
		w->machine = s;
		w->id = i;
		memory_region_init_io(&w->mr, OBJECT(s), &vboard_window_ops, w, bm_windows[i].name,
				      bm_windows[i].span);
		memory_region_add_subregion(get_system_memory(), bm_windows[i].base, &w->mr);
	}
	vboard_control_init(s);

	s->i2c0_irq = qdev_get_gpio_in(VIRT_MACHINE(s)->gic, VBOARD_I2C0_SPI);
	s->sensor_int1 = qdev_get_gpio_in(VIRT_MACHINE(s)->gic, VBOARD_SENSOR_INT1_SPI);
	s->event_timer = timer_new_ns(QEMU_CLOCK_VIRTUAL, vboard_event, s);
	bm_set_guest_error_hook(vboard_guest_error);
	vboard_fdt(s);
	if (s->fabric_ports_library)
		s->fabric_ports = vboard_fabric_new(s, s->fabric_ports_library,
						    bm_windows[BM_PORTS].base, true);
	if (s->fabric_library)
		vboard_fabric_init(s);
	vmstate_register(NULL, VMSTATE_INSTANCE_ID_ANY, &vmstate_vboard, s);
	qemu_register_reset(vboard_reset, s);
}

static void vboard_instance_init(Object *obj)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	/* A 32-bit board: nothing above 4 GiB. */
	VIRT_MACHINE(obj)->highmem = false;
	s->board_size = bm_board_size();
	s->board = g_malloc0(s->board_size);
	bm_reset(s->board);
	s->fabric_base = VBOARD_FABRIC_BASE;
	s->fabric_clock_hz = VBOARD_FABRIC_CLOCK_HZ;
}

static void vboard_instance_finalize(Object *obj)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	if (s->event_timer)
		timer_free(s->event_timer);
	vboard_play_pre_load(s);
	vboard_modules_reset(s);
	g_free(s->board);
	g_free(s->mailbox_file);
	g_free(s->image);
	g_free(s->fabric_library);
	g_free(s->fabric_ports_library);
	g_free(s->fabric_folder);
	g_free(s->fabric_trace);
}

static void vboard_class_init(ObjectClass *oc, void *data)
{
	MachineClass *mc = MACHINE_CLASS(oc);
	VBoardMachineClass *vbc = VBOARD_MACHINE_CLASS(oc);

	vbc->parent_init = mc->init;
	mc->init = vboard_init;
	mc->desc = "Virtual board: virt with the board's devices at their addresses";

	vboard_class_add_properties(oc);
	vboard_control_class_init(oc);
	vboard_class_add_play_properties(oc);
	vboard_class_add_module_properties(oc);
}

static const TypeInfo vboard_machine_info = {
	.name = TYPE_VBOARD_MACHINE,
	.parent = TYPE_VIRT_MACHINE,
	.instance_size = sizeof(VBoardMachineState),
	.instance_init = vboard_instance_init,
	.instance_finalize = vboard_instance_finalize,
	.class_size = sizeof(VBoardMachineClass),
	.class_init = vboard_class_init,
};

static void vboard_register_types(void)
{
	type_register_static(&vboard_machine_info);
}
type_init(vboard_register_types);
