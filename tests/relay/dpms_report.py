#!/usr/bin/python3
"""Drives DPMS through python-xlib on the display of argv[1] and prints what it learns, one
line per step, so that two displays can be compared (the state is set first, so repeated runs
against one relay print the same)."""
import sys

import Xlib.display


def main():
    d = Xlib.display.Display(sys.argv[1])
    errors = []
    d.set_error_handler(lambda error, request: errors.append(type(error).__name__))
    v = d.dpms_get_version()
    print("version %d.%d" % (v.major_version, v.minor_version))
    d.dpms_enable()
    d.dpms_set_timeouts(600, 600, 600)
    print("capable %d" % d.dpms_capable().capable)
    t = d.dpms_get_timeouts()
    print("timeouts %d %d %d" % (t.standby_timeout, t.suspend_timeout, t.off_timeout))
    d.dpms_set_timeouts(100, 200, 300)
    t = d.dpms_get_timeouts()
    print("timeouts %d %d %d" % (t.standby_timeout, t.suspend_timeout, t.off_timeout))
    d.dpms_force_level(1)
    i = d.dpms_info()
    print("info %d %d" % (i.power_level, i.state))
    d.dpms_disable()
    i = d.dpms_info()
    print("info %d %d" % (i.power_level, i.state))
    d.dpms_force_level(2)
    d.get_input_focus()  # a round trip: the force's error has arrived
    print("force while disabled: %s" % (" ".join(errors) or "no error"))
    d.dpms_enable()
    d.dpms_set_timeouts(600, 600, 600)
    d.dpms_force_level(0)
    d.get_input_focus()
    d.close()


if __name__ == "__main__":
    main()
