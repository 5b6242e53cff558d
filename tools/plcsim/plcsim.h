// The simulated PLC: its application (Modbus ASCII) and its bootloader (bare
// commands, CRC-checked blocks), with fault injection. `Plc` is pure
// behaviour, bytes in and bytes out; `SimLink` puts it behind the link seam
// on a virtual clock for in-process tests; `Pacer` times it for a server in
// real time; the plcsim program serves it on a pseudo-terminal.
#pragma once
#include "faults.h"
#include "pacer.h"
#include "plc.h"
#include "simlink.h"
