// SPDX-License-Identifier: GPL-2.0-or-later
// A design for the fabric's host tests: one register of each kind the bus
// must carry. Loads take a cycle to accept the address (arready follows
// arvalid a cycle late), stores are accepted at once (ready follows valid
// combinationally).
//
//   0x00 CYCLES   cycles since reset, sampled as the load's address is taken
//   0x04 SCRATCH  read-write, by byte lanes; ledr its bits 9:0, hex0 its
//                 bits 6:0, hex5 its bits 14:8
//   0x08          answers SLVERR
//   0x0C          answers DECERR
//   0x10          takes the address and never answers
//   0x14 INPUTS   key in bits 19:16, sw in bits 11:0
//   0x18 COMPARE  irq while CYCLES >= COMPARE, COMPARE not 0
//   0x1C HALT     a store ends the simulation as a design's own checks do:
//                 1 $stop, 2 $finish, 3 $fatal, 4 a failed assertion
//   0x20 ROM      four words, from probe.hex (a path relative to this file)
module probe (
    input clk,
    input rst_n,
    input [7:0] s_axi_awaddr,
    input s_axi_awvalid,
    output s_axi_awready,
    input [31:0] s_axi_wdata,
    input [3:0] s_axi_wstrb,
    input s_axi_wvalid,
    output s_axi_wready,
    output reg [1:0] s_axi_bresp,
    output reg s_axi_bvalid,
    input s_axi_bready,
    input [7:0] s_axi_araddr,
    input s_axi_arvalid,
    output reg s_axi_arready,
    output reg [31:0] s_axi_rdata,
    output reg [1:0] s_axi_rresp,
    output reg s_axi_rvalid,
    input s_axi_rready,
    output irq,
    input [3:0] key,
    input [11:0] sw,
    output [9:0] ledr,
    output [6:0] hex0,
    output [6:0] hex5,
    output [3:0] spare
);
  reg [31:0] cycles, scratch, compare;
  reg [31:0] rom[0:3];
  initial $readmemh("probe.hex", rom);
  assign irq = compare != 0 && cycles >= compare;
  assign ledr = scratch[9:0];
  assign hex0 = scratch[6:0];
  assign hex5 = scratch[14:8];
  assign spare = 4'b0;

  wire store = s_axi_awvalid && s_axi_wvalid && !s_axi_bvalid;
  assign s_axi_awready = store;
  assign s_axi_wready = store;

  function [1:0] response(input [7:0] at);
    case (at[7:2])
      2: response = 2'b10;
      3: response = 2'b11;
      default: response = 2'b00;
    endcase
  endfunction

  integer i;
  always @(posedge clk) begin
    if (!rst_n) begin
      cycles <= 0;
      scratch <= 0;
      compare <= 0;
      s_axi_bvalid <= 0;
      s_axi_bresp <= 0;
      s_axi_arready <= 0;
      s_axi_rvalid <= 0;
      s_axi_rresp <= 0;
      s_axi_rdata <= 0;
    end else begin
      cycles <= cycles + 1;
      if (store) begin
        if (s_axi_awaddr[7:2] != 4) s_axi_bvalid <= 1;
        s_axi_bresp <= response(s_axi_awaddr);
        if (s_axi_awaddr[7:2] == 1)
          for (i = 0; i < 4; i = i + 1) if (s_axi_wstrb[i]) scratch[i*8+:8] <= s_axi_wdata[i*8+:8];
        if (s_axi_awaddr[7:2] == 6) compare <= s_axi_wdata;
        if (s_axi_awaddr[7:2] == 7)
          case (s_axi_wdata)
            1: $stop;
            2: $finish;
            3: $fatal(1, "halt %0d requested", s_axi_wdata);
            4: assert (s_axi_wdata != 4) else $error("store of %0d", s_axi_wdata);
            default: ;
          endcase
      end else if (s_axi_bready) s_axi_bvalid <= 0;

      s_axi_arready <= s_axi_arvalid && !s_axi_arready && !s_axi_rvalid;
      if (s_axi_arvalid && s_axi_arready) begin
        s_axi_rvalid <= s_axi_araddr[7:2] != 4;
        s_axi_rresp <= response(s_axi_araddr);
        case (s_axi_araddr[7:2])
          0: s_axi_rdata <= cycles;
          1: s_axi_rdata <= scratch;
          5: s_axi_rdata <= {12'b0, key, 4'b0, sw};
          6: s_axi_rdata <= compare;
          8, 9, 10, 11: s_axi_rdata <= rom[s_axi_araddr[3:2]];
          default: s_axi_rdata <= 0;
        endcase
      end else if (s_axi_rready) s_axi_rvalid <= 0;
    end
  end
endmodule
