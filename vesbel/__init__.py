"""vesbel: AirPlay-to-Xiaomi home audio.

The compiled ``group_bridge`` extension is built into this folder; the other
modules are small stand-ins for the host application's own components.
"""
