// SPDX-License-Identifier: GPL-2.0-or-later
// The board's pushbutton and switch ports as logic of the fabric, for
// vboard/run --fabric-ports rtl: the registers of the ports' C++ model
// (models/panel_ports.cpp, offsets in models/panel_ports_regs.h) on the
// fabric's AXI4-Lite port, at the board's address.
//
//   0x40  switch data, read-only
//   0x50  pushbuttons held down, read-only
//   0x58  pushbutton interrupt mask, 4 bits
//   0x5C  pushbutton edge capture: a press sets its bit, writing 1 clears it
//
// Other offsets read 0 and ignore stores; every transfer answers OKAY. No
// interrupt line, as on the model. 15 address bits: 0x8000 bytes, the whole
// window the model answers.
module panel_ports (
    input clk,
    input rst_n,

    input      [14:0] s_axi_awaddr,
    input             s_axi_awvalid,
    output            s_axi_awready,
    input      [31:0] s_axi_wdata,
    input      [ 3:0] s_axi_wstrb,
    input             s_axi_wvalid,
    output            s_axi_wready,
    output     [ 1:0] s_axi_bresp,
    output reg        s_axi_bvalid,
    input             s_axi_bready,
    input      [14:0] s_axi_araddr,
    input             s_axi_arvalid,
    output            s_axi_arready,
    output reg [31:0] s_axi_rdata,
    output     [ 1:0] s_axi_rresp,
    output reg        s_axi_rvalid,
    input             s_axi_rready,

    input [ 3:0] key,
    input [11:0] sw
);
  localparam [14:0] SWITCH_DATA = 15'h40, KEY_DATA = 15'h50, KEY_IRQ_MASK = 15'h58,
      KEY_EDGE = 15'h5C;
  localparam [1:0] OKAY = 2'b00;

  reg [3:0] key_mask, key_edges, key_before;

  // A store: address and data accepted together, answered the cycle after.
  wire store = s_axi_awvalid && s_axi_wvalid && !s_axi_bvalid;
  assign s_axi_awready = store;
  assign s_axi_wready = store;
  assign s_axi_bresp = OKAY;
  wire [14:0] store_at = {s_axi_awaddr[14:2], 2'b00};

  // A load: the address accepted, the word answered the cycle after.
  wire load = s_axi_arvalid && !s_axi_rvalid;
  assign s_axi_arready = load;
  assign s_axi_rresp = OKAY;

  function [31:0] register(input [14:0] at);
    case ({at[14:2], 2'b00})
      SWITCH_DATA: register = {20'b0, sw};
      KEY_DATA: register = {28'b0, key};
      KEY_IRQ_MASK: register = {28'b0, key_mask};
      KEY_EDGE: register = {28'b0, key_edges};
      default: register = 32'b0;
    endcase
  endfunction

  wire [3:0] pressed = key & ~key_before;
  wire clear_edges = store && store_at == KEY_EDGE && s_axi_wstrb[0];

  always @(posedge clk) begin
    if (!rst_n) begin
      s_axi_bvalid <= 1'b0;
      s_axi_rvalid <= 1'b0;
      s_axi_rdata <= 32'b0;
      key_mask <= 4'b0;
      key_edges <= 4'b0;
      key_before <= key;
    end else begin
      key_before <= key;
      // A press in the cycle of a clearing store stays captured.
      key_edges <= (clear_edges ? key_edges & ~s_axi_wdata[3:0] : key_edges) | pressed;
      if (store && store_at == KEY_IRQ_MASK && s_axi_wstrb[0]) key_mask <= s_axi_wdata[3:0];

      if (store) s_axi_bvalid <= 1'b1;
      else if (s_axi_bready) s_axi_bvalid <= 1'b0;

      if (load) begin
        s_axi_rvalid <= 1'b1;
        s_axi_rdata <= register(s_axi_araddr);
      end else if (s_axi_rready) s_axi_rvalid <= 1'b0;
    end
  end
endmodule
