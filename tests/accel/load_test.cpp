// SPDX-License-Identifier: GPL-2.0-or-later
// Module load and unload: registration order, every step failing, a null
// mapping, a controller that never changes state, and the module reference
// an open file holds.
#include "accel_fixture.h"
#include "load_fault.h"

namespace {

using namespace models;

// A window's base, as the simulated kernel's records print it.
std::string base(uint32_t phys)
{
	char text[16];
	snprintf(text, sizeof(text), "0x%08X", phys);
	return text;
}

class Load : public AccelTest {
protected:
	void SetUp() override
	{
		sim::reset();
	}
};

TEST_F(Load, NodeAppearsOnlyOnceTheHardwareIsSetUp)
{
	std::vector<std::string> at_node;
	sim::set_call_hook([&](const std::string &call) {
		if (call != "cdev_add" && call != "device_create accel")
			return;
		sim::with_board([&](models::Board &b) {
			char state[96];
			snprintf(state, sizeof(state), "%s: routed %d enabled %u words %u mg %d",
				 call.c_str(), models::sensor_bus_routed(&b.sysmgr),
				 models::i2c0_read(&b, models::I2C_ENABLE_STATUS), b.i2c0.words,
				 mg_per_LSB);
			at_node.push_back(state);
		});
	});
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	unsigned words = (FULL_VARIANT ? 26 : 14) + 7; // initialisation, stale sample dropped
	EXPECT_EQ(at_node,
		  (std::vector<std::string>{"cdev_add: routed 1 enabled 1 words " +
						    std::to_string(words) + " mg 31",
					    "device_create accel: routed 1 enabled 1 words " +
						    std::to_string(words) + " mg 31"}));
	// Loaded: both windows mapped, the device and its node registered.
	const std::string held = sim::held();
	for (const std::string &item :
	     {"mapping " + base(models::I2C0_BASE), "mapping " + base(models::SYSMGR_BASE),
	      std::string("class accel"), std::string("node /dev/accel")})
		EXPECT_NE(held.find(item), std::string::npos) << item << " in " << held;
	EXPECT_EQ(sim::log().size(), 0u);
}

TEST_F(Load, UnloadReleasesInOrderAndWritesNoRegister)
{
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	size_t calls = sim::calls().size(), accesses = sim::trace_size();
	ASSERT_EQ(sim::rmmod(ACCEL), 0);
	std::vector<std::string> all = sim::calls();
	std::vector<std::string> unload(all.begin() + calls, all.end());
	EXPECT_EQ(unload, (std::vector<std::string>{"iounmap " + base(models::I2C0_BASE),
						    "iounmap " + base(models::SYSMGR_BASE),
						    "device_destroy", "cdev_del", "class_destroy",
						    "unregister_chrdev_region"}));
	EXPECT_EQ(sim::trace_size(), accesses);
	EXPECT_EQ(sim::open("/dev/accel"), -ENOENT);
}

TEST_F(Load, OpenFileHoldsTheModule)
{
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	int fd = sim::open("/dev/accel", O_RDONLY);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(sim::rmmod(ACCEL), -EBUSY);
	settle();
	next_sample();
	EXPECT_EQ(read_text(fd), rest_record(true));
	EXPECT_EQ(sim::close(fd), 0);
	EXPECT_EQ(sim::rmmod(ACCEL), 0);
}

TEST_F(Load, WritesAndSeeksAreRefusedByTheKernel)
{
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	int fd = sim::open("/dev/accel", O_RDWR);
	fds_.push_back(fd);
	EXPECT_EQ(sim::lseek(fd, 0, SEEK_SET), -ESPIPE);
#ifdef ACCEL_VARIANT_BASIC
	EXPECT_EQ(sim::write(fd, "init\n", 5), -EINVAL);
#endif
}

TEST_F(Load, ReloadStartsFromPowerOnState)
{
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	settle();
	next_sample();
	int fd = sim::open("/dev/accel", O_RDONLY);
	read_text(fd);
	EXPECT_NE(XYZ[2], 0);
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_DATA_FORMAT, ADXL_FORMAT_FULL_RES | 3), 0);
	sim::close(fd);
	ASSERT_EQ(sim::rmmod(ACCEL), 0);

	ASSERT_EQ(sim::insmod(ACCEL), 0);
	fd = open_accel();
	EXPECT_EQ(read_text(fd).substr(FULL_VARIANT ? 3 : 2), "0000 0000 0000 31\n");
	advance_ms(2);
	EXPECT_EQ(models::sensor_peek(&sim::board(), ADXL_DATA_FORMAT), 3); // 16 g, 10 bits
}

TEST_F(Load, ReloadWhileTheBusIsHeldLeavesTheControllerWorking)
{
	// Each unload leaves an access open (on a controller that holds the
	// bus, it stays held); once someone else has also cleared the enable
	// bit, so that the abort bit alone does not count.
	for (int cycle = 0; cycle < 3; cycle++) {
		SCOPED_TRACE(cycle);
		ASSERT_EQ(sim::insmod(ACCEL), 0);
		settle();
		next_sample();
		int fd = sim::open("/dev/accel", O_RDONLY);
		EXPECT_EQ(read_text(fd), rest_record(true));
		sim::close(fd);
		sim::with_board([&](models::Board &b) {
			models::i2c0_write(&b, models::I2C_DATA_CMD,
					   models::I2C_CMD_RESTART | models::ADXL_DATAX0);
			models::board_advance(&b, 1000000);
			if (cycle == 1)
				models::i2c0_write(&b, models::I2C_ENABLE, 0);
		});
		ASSERT_EQ(sim::rmmod(ACCEL), 0);
	}
	ASSERT_EQ(sim::insmod(ACCEL), 0);
	settle();
	next_sample();
	int fd = open_accel();
	EXPECT_EQ(read_text(fd), rest_record(true));
	EXPECT_EQ(log_texts(), std::vector<std::string>{});
}

// Both windows are mapped before the registration begins.
const LoadFault MAPPING_FAULTS[] = {
	{sim::Step::ioremap, 0, -ENOMEM, "ioremap_nocache returned NULL"},
	{sim::Step::ioremap, 0, -ENOMEM, "ioremap_nocache returned NULL"},
};

TEST_F(Load, EveryFailingStepUnwindsAndALaterLoadSucceeds)
{
	std::vector<std::pair<LoadFault, unsigned>> faults; // and which call of the step
	for (unsigned window = 1; window <= 2; window++)
		faults.push_back({MAPPING_FAULTS[window - 1], window});
	for (const LoadFault &f : REGISTRATION_FAULTS)
		faults.push_back({f, 1});
	for (const auto &fault : faults) {
		const LoadFault &f = fault.first;
		const std::string message = f.step == sim::Step::ioremap
						    ? std::string(f.call) + "\n"
						    : std::string(f.call) + " failed\n";
		SCOPED_TRACE(message);
		sim::reset();
		sim::fail_next(f.step, f.err, fault.second);
		EXPECT_EQ(sim::insmod(ACCEL), f.result);
		EXPECT_EQ(log_texts(), std::vector<std::string>{"3 /dev/accel: " + message});
		EXPECT_EQ(sim::held(), "");
		EXPECT_EQ(sim::problems(), std::vector<std::string>{});
		EXPECT_EQ(sim::open("/dev/accel"), -ENOENT);
		if (f.step == sim::Step::ioremap) {
			EXPECT_EQ(sim::trace_size(), 0u)
				<< "no register touched without both windows";
		}

		ASSERT_EQ(sim::insmod(ACCEL), 0);
		int fd = sim::open("/dev/accel", O_RDONLY);
		settle();
		next_sample();
		EXPECT_EQ(read_text(fd), rest_record(true));
		sim::close(fd);
		EXPECT_EQ(sim::rmmod(ACCEL), 0);
		EXPECT_EQ(sim::held(), "");
	}
}

TEST_F(Load, ControllerThatNeverChangesStateFailsTheLoad)
{
	for (bool stuck_enabled : {true, false}) {
		sim::reset();
		sim::with_board([&](models::Board &b) {
			if (stuck_enabled)
				b.i2c0.stuck_enabled = true;
			else
				b.i2c0.stuck_disabled = true;
		});
		EXPECT_EQ(sim::insmod(ACCEL), -ETIMEDOUT);
		EXPECT_EQ(log_texts(),
			  std::vector<std::string>{
				  stuck_enabled ? "3 /dev/accel: I2C0 controller did not stop\n"
						: "3 /dev/accel: I2C0 controller did not start\n"});
		EXPECT_EQ(sim::held(), "");
		EXPECT_EQ(sim::problems(), std::vector<std::string>{});

		sim::with_board([](models::Board &b) {
			b.i2c0.stuck_enabled = b.i2c0.stuck_disabled = false;
		});
		EXPECT_EQ(sim::insmod(ACCEL), 0);
		EXPECT_EQ(sim::rmmod(ACCEL), 0);
	}
}

} // namespace
