#pragma once
// The simulated D2XX library: a shared library (libkelvo-ftd2xx-sim.so;
// ftd2xx.dll for the Windows tests) exporting the FT_* entry points the
// program's binding uses, serving simulated modules instead of FTDI chips.
// Nothing loads it unless KELVO_FTD2XX names it (or, on Windows, it is
// placed beside the program as ftd2xx.dll).
//
// Its devices are the entries usb-<serial> of the folder KELVO_PORTS_DIR,
// listed in ascending order of their names: creating an entry plugs a
// device in, removing it unplugs it (an open device then fails with
// FT_IO_ERROR). An entry is a text file of key=value lines describing the
// device and its module, every key optional:
//
//   description=Kelvo USB module   what the driver reports (at most 63 bytes)
//   model=usb                      usb, eth, rs, tarnel or foreign
//   speed=115200                   the module's line speed (its speed code too)
//   address=1  serial=256  product=42  user=Hala 3  reply-delay=0
//   channel=2:name=Teplota,unit=C  as kelvo-sim --channel (repeatable)
//   faults=slow,chunks:8,silent,stray-byte,bad-checksum,unstable,every-second,vanish-after:N
//   unplug-after-reads=N           FT_Read number N+1 fails with FT_IO_ERROR and
//                                  the entry goes: an unplug in the middle of a read
//   short-reads=N                  FT_Read returns at most N bytes a call
//   unplug-status=N                the status calls on the device return once it is
//                                  unplugged (default 4, FT_IO_ERROR; real drivers
//                                  also say 1, FT_INVALID_HANDLE, or 2, FT_DEVICE_NOT_FOUND)
//   close-refusals=N               the first N FT_Close calls of each open fail with
//                                  FT_OTHER_ERROR (18) and leave the device open in the driver
//   write=1E0102...                added by the library for every write the module
//                                  applied, replayed when the device is next opened
//                                  in a program, so settings survive as in a module
//
// The environment variable KELVO_FTD2XX_SIM_COUNT_STATUS, when set to a
// number, makes FT_ListDevices fail with that status.
//
// The module hears a request only at its own line speed with 8 data bits,
// no parity and one stop bit; replies become readable when the model's
// schedule says, and then the notification event is set. On Linux the
// event is the driver's condition-variable record: by default the library
// sets its iVar and signals, and with KELVO_FTD2XX_SIM_EVENTS=signal (read
// when FT_SetEventNotification is called) it only signals the condition
// variable, as the D2XX library for Linux does; a signal then reaches only
// a thread that waits at that moment.
//
// FT_Read blocks as the real driver does without FT_SetTimeouts: asked for
// more bytes than are queued, it waits until that many are (or the device
// is unplugged or closed). The real driver would wait for ever; the
// simulation waits at most KELVO_FTD2XX_SIM_READ_CAP_MS (default 10000),
// then says so on standard error, counts the read (KelvoSimD2XX_OverReads)
// and returns what is queued, so a program that reads more than
// FT_GetQueueStatus reported fails its tests instead of hanging them.

#include <cstdint>

namespace kelvo::simd2xx {

// Backend (uSimD2XX_posix.cpp, uSimD2XX_win32.cpp): sets the event the
// program gave FT_SetEventNotification (a Windows event; on Linux the
// driver's condition-variable record: iVar set and signalled, or only
// signalled when SignalOnly).
void SignalDriverEvent(void* Param, bool SignalOnly);

}  // namespace kelvo::simd2xx

extern "C" {
// For benchmarks: when reply bytes were last queued for the program to
// read, in microseconds of the steady clock the program sees too.
#ifdef _WIN32
__declspec(dllexport)
#endif
int64_t KelvoSimD2XX_LastQueuedMicros();
// For tests: how many FT_Read calls asked for more bytes than came within
// the cap (each one would have hung the real driver).
#ifdef _WIN32
__declspec(dllexport)
#endif
int64_t KelvoSimD2XX_OverReads();
}
