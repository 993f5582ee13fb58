#!/usr/bin/env python3
"""The far end of a serial line for the Windows tests under Wine.

Creates a pseudo-terminal, links its slave as the given path (a COM port in
a Wine prefix's dosdevices folder) and echoes every byte it receives. The
byte 0x01 makes it vanish: it closes the pty and removes the link, as an
unplugged adapter would. It also leaves after 60 s without traffic.
"""
import fcntl
import os
import select
import signal
import sys
import termios
import tty


def main():
    link = sys.argv[1]
    master, slave = os.openpty()
    tty.setraw(master)
    name = os.ttyname(slave)
    # Make the pty our own controlling terminal, so that no other session
    # (the Wine server opening it) takes it and gets its hang-up signal.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        os.setsid()
    except OSError:
        pass
    try:
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    except OSError:
        pass
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(name, link)
    try:
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                return
            try:
                data = os.read(master, 4096)
            except OSError:
                continue  # the slave is not open just now
            if b"\x01" in data:
                head = data.split(b"\x01", 1)[0]
                if head:
                    os.write(master, head)
                return
            os.write(master, data)
    finally:
        os.close(master)
        os.close(slave)
        if os.path.lexists(link):
            os.unlink(link)


if __name__ == "__main__":
    main()
