// SPDX-License-Identifier: GPL-2.0-or-later
// An example peripheral for the virtual board's fabric: a timer of fabric
// cycles that interrupts at a programmed period, with the board's LEDs and
// six digits as registers, and the pushbuttons and switches to read.
// Registers (timer_regs.h), on the fabric's AXI4-Lite port:
//
//   0x00 CTRL     bit 0 RUN: count cycles; bit 1 IRQ_EN: interrupt on EXPIRED
//   0x04 PERIOD   cycles per period (0 counts as 1)
//   0x08 COUNT    cycles into the current period
//   0x0C STATUS   bit 0 EXPIRED: a period ended; write 1 to clear
//   0x10 PERIODS  periods ended since RUN was set
//   0x14 LEDR     the ten LEDs, bit n lit LEDR n
//   0x18 HEX_LO   digits hex0 (bits 6:0) to hex3 (bits 30:24), a lit segment 0
//   0x1C HEX_HI   digits hex4 and hex5
//   0x20 INPUTS   switches in bits 9:0, pushbuttons in bits 19:16
//   0x24 CYCLES   cycles since reset
//
// Stores to the read-only registers answer SLVERR, transfers at offsets
// without a register DECERR: a bus error for the processor. Byte stores
// to LEDR and the digits change only their bytes (the write strobes).
module timer (
    input clk,
    input rst_n,

    input      [11:0] s_axi_awaddr,
    input             s_axi_awvalid,
    output            s_axi_awready,
    input      [31:0] s_axi_wdata,
    input      [ 3:0] s_axi_wstrb,
    input             s_axi_wvalid,
    output            s_axi_wready,
    output reg [ 1:0] s_axi_bresp,
    output reg        s_axi_bvalid,
    input             s_axi_bready,
    input      [11:0] s_axi_araddr,
    input             s_axi_arvalid,
    output            s_axi_arready,
    output reg [31:0] s_axi_rdata,
    output reg [ 1:0] s_axi_rresp,
    output reg        s_axi_rvalid,
    input             s_axi_rready,

    output irq,
    input [3:0] key,
    input [9:0] sw,
    output [9:0] ledr,
    output [6:0] hex0,
    output [6:0] hex1,
    output [6:0] hex2,
    output [6:0] hex3,
    output [6:0] hex4,
    output [6:0] hex5
);
  localparam [9:0] CTRL = 0, PERIOD = 1, COUNT = 2, STATUS = 3, PERIODS = 4, LEDR = 5,
      HEX_LO = 6, HEX_HI = 7, INPUTS = 8, CYCLES = 9;
  localparam [1:0] OKAY = 2'b00, SLVERR = 2'b10, DECERR = 2'b11;
  localparam [6:0] DARK = 7'h7F;

  reg run, irq_en, expired;
  reg [31:0] period, count, periods, cycles;
  reg [9:0] leds;
  reg [31:0] hex_lo;
  reg [15:0] hex_hi;

  assign irq = expired && irq_en;
  assign ledr = leds;
  assign {hex3, hex2, hex1, hex0} = {hex_lo[30:24], hex_lo[22:16], hex_lo[14:8], hex_lo[6:0]};
  assign {hex5, hex4} = {hex_hi[14:8], hex_hi[6:0]};

  // A store: address and data accepted together, answered the cycle after.
  wire store = s_axi_awvalid && s_axi_wvalid && !s_axi_bvalid;
  assign s_axi_awready = store;
  assign s_axi_wready = store;
  wire [9:0] store_reg = s_axi_awaddr[11:2];
  wire [31:0] data = s_axi_wdata;
  wire [3:0] strb = s_axi_wstrb;

  // A load: the address accepted, the word answered the cycle after.
  wire load = s_axi_arvalid && !s_axi_rvalid;
  assign s_axi_arready = load;

  // The bytes of old that the strobes select replaced by data's.
  function [31:0] merge(input [31:0] old, input [31:0] new_data, input [3:0] lanes);
    integer i;
    for (i = 0; i < 4; i = i + 1) merge[i*8+:8] = lanes[i] ? new_data[i*8+:8] : old[i*8+:8];
  endfunction

  function [1:0] store_response(input [9:0] r);
    case (r)
      CTRL, PERIOD, STATUS, LEDR, HEX_LO, HEX_HI: store_response = OKAY;
      COUNT, PERIODS, INPUTS, CYCLES: store_response = SLVERR;
      default: store_response = DECERR;
    endcase
  endfunction

  wire [31:0] leds_stored = merge({22'd0, leds}, data, strb);
  wire [31:0] hex_hi_stored = merge({16'd0, hex_hi}, data, strb);
  wire period_end = run && count + 1 >= (period == 0 ? 32'd1 : period);
  wire clear_expired = store && store_reg == STATUS && strb[0] && data[0];

  always @(posedge clk) begin
    if (!rst_n) begin
      run <= 1'b0;
      irq_en <= 1'b0;
      expired <= 1'b0;
      period <= 32'd0;
      count <= 32'd0;
      periods <= 32'd0;
      cycles <= 32'd0;
      leds <= 10'd0;
      hex_lo <= {4{1'b0, DARK}};
      hex_hi <= {2{1'b0, DARK}};
      s_axi_bvalid <= 1'b0;
      s_axi_bresp <= OKAY;
      s_axi_rvalid <= 1'b0;
      s_axi_rresp <= OKAY;
      s_axi_rdata <= 32'd0;
    end else begin
      cycles <= cycles + 1;
      if (run) count <= period_end ? 32'd0 : count + 1;
      if (period_end) periods <= periods + 1;
      // A period ending as the guest clears EXPIRED sets it again.
      expired <= (expired && !clear_expired) || period_end;

      if (store) begin
        s_axi_bvalid <= 1'b1;
        s_axi_bresp <= store_response(store_reg);
        case (store_reg)
          CTRL:
          if (strb[0]) begin
            run <= data[0];
            irq_en <= data[1];
            if (data[0] && !run) begin
              count <= 32'd0;
              periods <= 32'd0;
            end
          end
          PERIOD: period <= merge(period, data, strb);
          LEDR: leds <= leds_stored[9:0];
          HEX_LO: hex_lo <= merge(hex_lo, data, strb);
          HEX_HI: hex_hi <= hex_hi_stored[15:0];
          default: ;
        endcase
      end else if (s_axi_bready) s_axi_bvalid <= 1'b0;

      if (load) begin
        s_axi_rvalid <= 1'b1;
        s_axi_rresp <= OKAY;
        case (s_axi_araddr[11:2])
          CTRL: s_axi_rdata <= {30'd0, irq_en, run};
          PERIOD: s_axi_rdata <= period;
          COUNT: s_axi_rdata <= count;
          STATUS: s_axi_rdata <= {31'd0, expired};
          PERIODS: s_axi_rdata <= periods;
          LEDR: s_axi_rdata <= {22'd0, leds};
          HEX_LO: s_axi_rdata <= hex_lo;
          HEX_HI: s_axi_rdata <= {16'd0, hex_hi};
          INPUTS: s_axi_rdata <= {12'd0, key, 6'd0, sw};
          CYCLES: s_axi_rdata <= cycles;
          default: begin
            s_axi_rdata <= 32'd0;
            s_axi_rresp <= DECERR;
          end
        endcase
      end else if (s_axi_rready) s_axi_rvalid <= 1'b0;
    end
  end
endmodule
