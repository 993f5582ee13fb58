#pragma once
// A simulated module on a pseudo-terminal (POSIX only).
//
// Start creates a pty pair in raw mode and serves the module on its own
// thread: the program under test opens the slave side like any serial
// port. What the program writes is fed to the module with the line speed
// the program set on the port (custom speeds included), and the module's
// output chunks are written when they are due. Optionally the slave is
// linked as comN in a folder, KELVO_PORTS_DIR or a Wine prefix's
// dosdevices, so that the program finds it as COM port N.
//
// When the module vanishes in the middle of a reply the pty is closed and
// its link removed, as when an adapter is unplugged.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "uByteString.h"
#include "uSimModule.h"

namespace kelvo {

struct TSimPtyOptions {
    // Folder for the comN link; empty: no link.
    std::string LinkDir;
    // N of comN; 0: the lowest number from 1 up that is free in LinkDir.
    // An existing link of that name is replaced (never a file or folder).
    unsigned PortNumber = 0;
    // Close the pty (and remove the link) once the module is gone.
    bool HangUpWhenGone = true;
    // Every piece of traffic: Received true for bytes from the program,
    // false for bytes sent to it. Runs on the serving thread.
    std::function<void(bool Received, const RawByteString& Bytes)> OnTraffic;
};

class TSimPty {
public:
    // The module must outlive the pty; tests read its logs while it runs.
    explicit TSimPty(TSimModule& Module);
    ~TSimPty();
    TSimPty(const TSimPty&) = delete;
    TSimPty& operator=(const TSimPty&) = delete;

    // Creates the pty, the link, and starts serving. Raises kelvo::Exception
    // with the reason when something cannot be set up (nothing is left
    // behind then). Starting a running pty raises too.
    void Start(const TSimPtyOptions& Options = {});
    // Stops serving, closes the pty and removes the link. Safe to repeat.
    void Stop();

    // Between Start and Stop (also after a hang-up).
    bool Running() const;
    // True once the pty was closed because the module vanished.
    bool HungUp() const;
    // The slave's device node ("/dev/pts/5"); empty when not started.
    std::string SlaveName() const;
    // The comN link ("" when none) and its number (0 when none).
    std::string LinkPath() const;
    unsigned PortNumber() const;

private:
    void Serve();
    void HangUp();
    void RemoveLink();
    void CloseAll();

    TSimModule& FModule;
    TSimPtyOptions FOptions;
    mutable std::mutex FLock;  // guards the names below
    std::string FSlaveName;
    std::string FLinkPath;
    unsigned FPortNumber = 0;
    int FMaster = -1;
    int FSlave = -1;     // held open so that the master never sees a hang-up between host sessions
    int FWake[2] = {-1, -1};
    std::thread FThread;
    std::atomic<bool> FRunning{false};
    std::atomic<bool> FHungUp{false};
};

// The line speed set on a terminal, in bit/s: the kernel's arbitrary-speed
// field where it has one, else the standard speed constants; 0 when it
// cannot be read.
uint32_t SimTerminalSpeed(int Fd);

}  // namespace kelvo
