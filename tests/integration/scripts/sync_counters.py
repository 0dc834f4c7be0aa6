"""Prints how many SYNC counters the clients of the server hold (the server's own system
counters left out), as the server's X-Resource extension counts them.
Usage: sync_counters.py DISPLAY"""
import sys

from Xlib import display

d = display.Display(sys.argv[1])
counter_type = d.intern_atom("SyncCounter")
total = 0
for client in d.res_query_clients().clients:
    if client.resource_base == 0:
        continue
    for entry in d.res_query_client_resources(client.resource_base).types:
        if entry.resource_type == counter_type:
            total += entry.count
print(total)
