// The serial host transports: the server serves a master as a unit (slave) of the device link.
//
//   "COM,port,baud,bits,parity,stop"      a serial port of its own (port 1 .. 4); the port's reader
//                                          thread feeds the unit, the host poll serves its commands
//   "COM_MODEM,port,baud,bits,parity,stop" the same behind a modem: "AT" CR and HOST MODEM_SETUP at
//                                          open, HOST MODEM_HANGUP and MODEM_HANGUP_END at close
//   "IO,id,sub_id,hook,on,idle"           on the link port, shared with the devices: each host poll
//                                          announces (id - 1) OR 0x80 and sub_id, then waits hook ms
//                                          (0 -> 15) for a master and serves it until released
//
// The unit is addressed by name (EOT ENQ, answered with ACK alone). Answers carry the 8-bit check
// sum and bytes with bit 7 bare on 8-bit COM lines; on 7-bit COM lines and on the link port they go
// with SI escapes and the 7-bit sum.
//
// IO timing in seconds without a served master (the slot's idle counter, counted by the tick):
// below the on time (0 -> 30) every poll announces; from then on the host stays silent until
// on + idle (with on time 0: 31) and then announces once, so once per idle time.
#pragma once

#include "server/hosts/hostslot.h"

extern const HostTransport host_transport_com;
extern const HostTransport host_transport_com_modem;
extern const HostTransport host_transport_io;

// The pauses of the modem dialogue (5 ms after each byte, 1000 ms around the set-up and the
// hang-up, 10 ms after detaching). Null restores the real sleep; tests record them instead.
using SerialHostSleep = void (*)(int ms);
void serialhost_set_sleep(SerialHostSleep sleep);
